#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

#include <drm_fourcc.h>
#include <gtest/gtest.h>

#include "animation/boot_config.h"
#include "animation/player.h"
#include "display/display.h"
#include "sim/sim.h"
#include "tests/support/capture.h"
#include "tests/support/card.h"
#include "tests/support/jpeg_file.h"

// The player's pause: recorded instead of slept, together with what the card holds and shows
// at that moment (the frame has just been presented).
namespace pause_seam
{
struct pause {
	useconds_t us;
	int framebuffers;
	sim::image screen;
};
std::vector<pause> pauses;
bool capture_screen = false;
} // namespace pause_seam

extern "C" int usleep(useconds_t us)
{
	pause_seam::pause p{us, sim::live().framebuffers, {}};
	if (pause_seam::capture_screen)
		p.screen = sim::screen(0);
	pause_seam::pauses.push_back(std::move(p));
	return 0;
}

namespace
{

constexpr int k_mode_w = 128, k_mode_h = 96;

sim::topology card()
{
	return lit_hdmi_card(
	        {test_mode(k_mode_w, k_mode_h)},
	        {test_plane(DRM_PLANE_TYPE_PRIMARY, {DRM_FORMAT_XRGB8888, DRM_FORMAT_RGB888})});
}

struct slot_view {
	bool has_buf;
	std::string path;
};

class Player : public ::testing::Test
{
protected:
	void SetUp() override
	{
		dir = make_temp_dir();
		ASSERT_FALSE(dir.empty());
		install_card(card());
		ASSERT_TRUE(open_and_discover(&fd));
		snprintf(mBootAnimPath, sizeof mBootAnimPath, "%s", dir.c_str());
		mFps = 15;
		mImageCount = 0;
		pause_seam::pauses.clear();
		pause_seam::capture_screen = false;
		sim::clear_records();
	}
	void TearDown() override
	{
		empty_ring();
		install_card(sim::topology{});
		sim::live_counts live = sim::live();
		EXPECT_EQ(live.dumb_buffers, 0);
		EXPECT_EQ(live.framebuffers, 0);
		EXPECT_EQ(live.mappings, 0);
		remove_tree(dir);
	}

	std::string frame(int k, const char *ext = ".jpg", int w = 64, int h = 48)
	{
		std::string path = dir + "/" + std::to_string(k) + ext;
		EXPECT_TRUE(write_jpeg(path, test_picture(w, h, k)));
		return path;
	}

	std::string play()
	{
		output_capture cap;
		play_boot_animation(fd);
		return cap.stop();
	}

	std::vector<slot_view> ring() const
	{
		std::vector<slot_view> out;
		for (const auto &slot : mSfJpegBufInfo) {
			// Everything after the terminator must be zero: paths are whole copies.
			size_t len = strnlen(slot.mPath, sizeof slot.mPath);
			for (size_t i = len; i < sizeof slot.mPath; i++)
				EXPECT_EQ(slot.mPath[i], 0)
				        << "stale byte at " << i << " of " << slot.mPath;
			out.push_back({slot.mBuf != nullptr, slot.mPath});
		}
		return out;
	}

	int fd = -1;
	std::string dir;
};

bool operator==(const slot_view &a, const slot_view &b)
{
	return a.has_buf == b.has_buf && a.path == b.path;
}

void PrintTo(const slot_view &s, std::ostream *os)
{
	*os << (s.has_buf ? "bo " : "-- ") << '"' << s.path << '"';
}

// Nearest-neighbour stretch of libjpeg's own decode over the mode, with red and blue exchanged
// as a DRM-conforming scan-out of RG24 shows them.
sim::image expected_screen(const std::string &jpeg)
{
	rgb_picture p = decode_jpeg(jpeg);
	sim::image img;
	img.width = k_mode_w;
	img.height = k_mode_h;
	img.rgb.resize(size_t(k_mode_w) * k_mode_h * 3);
	for (int y = 0; y < k_mode_h; y++)
		for (int x = 0; x < k_mode_w; x++) {
			const uint8_t *src = &p.data[(size_t(y * p.height / k_mode_h) * p.width +
			                              x * p.width / k_mode_w) *
			                             3];
			uint8_t *dst = &img.rgb[(size_t(y) * k_mode_w + x) * 3];
			dst[0] = src[2];
			dst[1] = src[1];
			dst[2] = src[0];
		}
	return img;
}

// The lines of `paths[0 .. n-1]` played in a row from an empty ring: each frame's, and from the
// fourth on the release of the frame three before.
std::string played(const std::vector<std::string> &paths, int n)
{
	std::string out;
	for (int k = 0; k < n; k++) {
		out += "picPath: " + paths[k] + " \n";
		if (k >= 3)
			out += "free: mSfJpegBufInfo[0].mPath " + paths[k - 3] + " \n";
	}
	return out;
}

TEST_F(Player, FiveFramesShownInOrderWithPausesReleasesAndRing)
{
	std::vector<std::string> paths;
	for (int k = 0; k < 5; k++)
		paths.push_back(frame(k));
	mImageCount = 5;
	pause_seam::capture_screen = true;
	EXPECT_EQ(play(), played(paths, 5));

	// One commit per frame, each with the frame's own framebuffer, all accepted.
	auto commits = sim::commits();
	ASSERT_EQ(commits.size(), 5u);
	for (auto &c : commits) {
		EXPECT_EQ(c.error, 0);
		EXPECT_EQ(c.flags, uint32_t(DRM_MODE_ATOMIC_ALLOW_MODESET));
	}

	ASSERT_EQ(pause_seam::pauses.size(), 5u);
	for (int k = 0; k < 5; k++) {
		SCOPED_TRACE(k);
		EXPECT_EQ(pause_seam::pauses[k].us, 66666u);
		EXPECT_LE(pause_seam::pauses[k].framebuffers, 3);
		EXPECT_EQ(pause_seam::pauses[k].framebuffers, std::min(k + 1, 3));
		sim::image want = expected_screen(paths[k]);
		const sim::image &got = pause_seam::pauses[k].screen;
		ASSERT_EQ(got.width, want.width);
		ASSERT_EQ(got.height, want.height);
		EXPECT_TRUE(got.rgb == want.rgb);
	}

	EXPECT_EQ(ring(),
	          (std::vector<slot_view>{
	                  {false, ""}, {true, paths[4]}, {true, paths[3]}, {true, paths[2]}}));
	// The last frame stays on screen.
	EXPECT_TRUE(sim::screen(0).rgb == expected_screen(paths[4]).rgb);
	EXPECT_EQ(sim::live().framebuffers, 3);
	EXPECT_EQ(sim::live().dumb_buffers, 3);
}

TEST_F(Player, JpegFilesAndGapsAndJpgBeforeJpeg)
{
	std::string f0 = frame(0, ".jpeg");
	std::string f1 = frame(1, ".jpg");
	frame(1, ".jpeg"); // .jpg wins
	std::string f3 = frame(3, ".jpeg");
	mImageCount = 4;
	std::string out = play();
	EXPECT_EQ(out, "picPath: " + f0 + " \npicPath: " + f1 +
	                       " \nbootAnimation: can't access file " + dir +
	                       "/2.jpeg \npicPath: " + f3 + " \n");
	// No pause for the missing frame.
	EXPECT_EQ(pause_seam::pauses.size(), 3u);
	EXPECT_EQ(ring(),
	          (std::vector<slot_view>{{false, ""}, {true, f3}, {true, f1}, {true, f0}}));
}

TEST_F(Player, SecondRunStartsFromTheRingTheFirstLeft)
{
	std::string f0 = frame(0), f1 = frame(1);
	mImageCount = 2;
	EXPECT_EQ(play(), "picPath: " + f0 + " \npicPath: " + f1 + " \n");
	EXPECT_EQ(play(), "picPath: " + f0 + " \npicPath: " + f1 +
	                          " \nfree: mSfJpegBufInfo[0].mPath " + f0 + " \n");
	EXPECT_EQ(ring(),
	          (std::vector<slot_view>{{false, ""}, {true, f1}, {true, f0}, {true, f1}}));
	EXPECT_EQ(sim::live().framebuffers, 3);
}

TEST_F(Player, SingleFrameAndRates)
{
	std::string f0 = frame(0);
	mImageCount = 1;
	for (int fps : {0, -5, 7, 1000000, 2000000}) {
		mFps = fps;
		pause_seam::pauses.clear();
		play();
		if (fps <= 0) {
			EXPECT_TRUE(pause_seam::pauses.empty()) << fps;
		} else {
			ASSERT_EQ(pause_seam::pauses.size(), 1u) << fps;
			EXPECT_EQ(pause_seam::pauses[0].us, useconds_t(1000000 / fps)) << fps;
		}
	}
	EXPECT_EQ(ring()[1], (slot_view{true, f0}));
}

TEST_F(Player, NoFramesConfigured)
{
	frame(0);
	for (int count : {0, -1}) {
		mImageCount = count;
		EXPECT_EQ(play(), "");
	}
	EXPECT_TRUE(sim::requests().empty());
	EXPECT_TRUE(pause_seam::pauses.empty());
}

TEST_F(Player, FrameOfSizeZeroIsSkippedAfterItsLine)
{
	std::string bad = dir + "/0.jpg";
	std::ofstream(bad) << "\x89PNG\r\n\x1a\n not a jpeg at all";
	std::string f1 = frame(1);
	mImageCount = 2;
	output_capture err(2);
	std::string out = play();
	std::string errors = err.stop();
	EXPECT_EQ(out, "picPath: " + bad + " \npicPath: " + f1 + " \n");
	EXPECT_FALSE(errors.empty()); // the library's own message
	EXPECT_EQ(pause_seam::pauses.size(), 1u);
	EXPECT_EQ(ring()[1], (slot_view{true, f1}));
	EXPECT_EQ(ring()[2], (slot_view{false, ""}));
}

TEST_F(Player, BufferCreationFailingAtFrameFiveEndsTheRun)
{
	std::vector<std::string> paths;
	for (int k = 0; k < 10; k++)
		paths.push_back(frame(k));
	mImageCount = 10;
	sim::fail_request("MODE_CREATE_DUMB", ENOMEM, 6); // frame 5 is the sixth buffer
	output_capture err(2);
	std::string out = play();
	EXPECT_EQ(err.stop(), "failed to create dumb buffer: Cannot allocate memory\n");
	EXPECT_EQ(out, played(paths, 6) + "failed to bo_create fb: Cannot allocate memory\n");
	EXPECT_EQ(ring(), (std::vector<slot_view>{
	                          {false, ""}, {true, paths[4]}, {true, paths[3]}, {false, ""}}));
	EXPECT_EQ(pause_seam::pauses.size(), 5u);
}

// A DisplayPort output lit on the first CRTC, where the frames go, and the HDMI monitor the
// display chose on the second: RG24 on the planes of one of them only. The frames' format is
// the one the first CRTC shows.
TEST_F(Player, TheFormatIsTheOneTheCrtcTheFramesGoOnShows)
{
	struct format_case {
		uint32_t first_crtc_format, second_crtc_format;
		uint32_t format;
		const char *line;
	};
	const format_case cases[] = {
	        {DRM_FORMAT_RGB888, DRM_FORMAT_XRGB8888, DRM_FORMAT_RGB888, ""},
	        {DRM_FORMAT_XRGB8888, DRM_FORMAT_RGB888, DRM_FORMAT_XRGB8888,
	         "bootAnimation: frames are XR24: no plane shows RG24 \n"},
	};
	const std::string f0 = frame(0);
	mImageCount = 1;
	for (const format_case &c : cases) {
		SCOPED_TRACE(c.line);
		sim::topology t;
		t.crtcs = {{.active = true, .mode = test_mode(k_mode_w, k_mode_h)},
		           {.active = true, .mode = test_mode(k_mode_w, k_mode_h)}};
		t.connectors = {{.type = DRM_MODE_CONNECTOR_DisplayPort,
		                 .modes = {test_mode(k_mode_w, k_mode_h)},
		                 .encoders = {0}},
		                {.modes = {test_mode(k_mode_w, k_mode_h)}, .encoders = {1}}};
		t.encoders = {{.possible_crtcs = 0x1, .crtc = 0},
		              {.possible_crtcs = 0x2, .crtc = 1}};
		t.planes = {test_plane(DRM_PLANE_TYPE_PRIMARY,
		                       {DRM_FORMAT_XRGB8888, c.first_crtc_format}, 0x1),
		            test_plane(DRM_PLANE_TYPE_PRIMARY,
		                       {DRM_FORMAT_XRGB8888, c.second_crtc_format}, 0x2)};
		empty_ring();
		install_card(t);
		ASSERT_TRUE(open_and_discover(&fd));
		ASSERT_EQ(g_drm_encoder.get()->crtc_id, sim::crtc_id(1));
		EXPECT_EQ(play(), "picPath: " + f0 + " \n" + c.line);
		ASSERT_NE(mSfJpegBufInfo[1].mBuf, nullptr);
		EXPECT_EQ(mSfJpegBufInfo[1].mBuf->format, c.format);
		EXPECT_EQ(sim::property_value(sim::plane_id(0), "FB_ID"),
		          mSfJpegBufInfo[1].mBuf->fb_id);
	}
}

// Only the card's refusal of the 24-bit dumb buffer itself makes the frames XR24, and only for
// that run: the next run asks for RG24 again.
TEST_F(Player, ARefused24BitBufferMakesThatRunXr24)
{
	struct refusal_case {
		const char *request;
		const char *out, *err; // the first run's, after its picPath line
		uint32_t format;       // its frame's; 0: none shown
	};
	const refusal_case cases[] = {
	        {"MODE_CREATE_DUMB",
	         "bootAnimation: frames are XR24: the card refuses 24-bit buffers \n",
	         "failed to create dumb buffer: Invalid argument\n", DRM_FORMAT_XRGB8888},
	        {"MODE_MAP_DUMB", "failed to bo_create fb: Invalid argument\n",
	         "failed to map buffer: Invalid argument\n", 0},
	};
	const std::string f0 = frame(0);
	mImageCount = 1;
	for (const refusal_case &c : cases) {
		SCOPED_TRACE(c.request);
		empty_ring();
		sim::fail_request(c.request, EINVAL, 1);
		output_capture err(2);
		EXPECT_EQ(play(), "picPath: " + f0 + " \n" + c.out);
		EXPECT_EQ(err.stop(), c.err);
		EXPECT_EQ(mSfJpegBufInfo[1].mBuf ? mSfJpegBufInfo[1].mBuf->format : 0, c.format);
		EXPECT_EQ(play(), "picPath: " + f0 + " \n");
		ASSERT_NE(mSfJpegBufInfo[1].mBuf, nullptr);
		EXPECT_EQ(mSfJpegBufInfo[1].mBuf->format, uint32_t(DRM_FORMAT_RGB888));
	}
}

TEST_F(Player, FramebufferRefusedTearsTheBufferDown)
{
	std::string f0 = frame(0), f1 = frame(1), f2 = frame(2);
	mImageCount = 3;
	sim::fail_request("MODE_ADDFB2", EINVAL, 2);
	std::string out = play();
	EXPECT_EQ(out, "picPath: " + f0 + " \npicPath: " + f1 +
	                       " \nfailed to add fb: Invalid argument\npicPath: " + f2 + " \n");
	EXPECT_EQ(pause_seam::pauses.size(), 2u);
	EXPECT_EQ(ring(),
	          (std::vector<slot_view>{{false, ""}, {true, f2}, {true, f0}, {false, ""}}));
	EXPECT_EQ(sim::live().dumb_buffers, 2);
	EXPECT_EQ(sim::live().framebuffers, 2);
}

TEST_F(Player, FrameThatCannotBeShownStillEntersTheRing)
{
	std::string f0 = frame(0);
	mImageCount = 1;
	sim::fail_request("MODE_ATOMIC", EINVAL);
	// Refused stretched, placed, and in a buffer of the mode's size, which then takes the
	// frame's place; each fallback reported once.
	EXPECT_EQ(play(), "picPath: " + f0 +
	                          " \natomic: couldn't commit new state: Invalid argument\n"
	                          "present: no plane scales or places 64x48 on 128x96, the frames "
	                          "are decoded centred into buffers of the mode's size\n"
	                          "atomic: couldn't commit new state: Invalid argument\n"
	                          "present: no plane accepts the frames\n");
	EXPECT_EQ(pause_seam::pauses.size(), 1u);
	EXPECT_EQ(ring()[1], (slot_view{true, f0}));
	ASSERT_NE(mSfJpegBufInfo[1].mBuf, nullptr);
	EXPECT_EQ(mSfJpegBufInfo[1].mBuf->width, 128u);
	EXPECT_EQ(sim::live().dumb_buffers, 1);
}

// No RG24 plane on the encoder's CRTC (only on another), no scaling, no placing (a simple
// display pipe): the frames are XR24, decoded centred into buffers of the mode's size, black
// around them, and each choice is told once. A card that takes no framebuffer smaller than its
// mode (simpledrm) gets those buffers from the first frame on, without a refusal.
TEST_F(Player, WithoutRg24OrScalingTheFramesAreXr24BuffersOfTheModesSize)
{
	const std::string f0 = frame(0), f1 = frame(1);
	for (bool min_is_mode : {false, true}) {
		SCOPED_TRACE(min_is_mode);
		sim::topology t = lit_hdmi_card(
		        {test_mode(k_mode_w, k_mode_h)},
		        {test_plane(DRM_PLANE_TYPE_PRIMARY, {DRM_FORMAT_XRGB8888}),
		         test_plane(DRM_PLANE_TYPE_OVERLAY, {DRM_FORMAT_RGB888}, 0x2)});
		t.crtcs.push_back({});
		t.driver.can_scale = false;
		t.driver.can_position = false;
		if (min_is_mode) {
			t.driver.min_width = k_mode_w;
			t.driver.min_height = k_mode_h;
		}
		install_card(t);
		ASSERT_TRUE(open_and_discover(&fd));
		sim::clear_records();
		mImageCount = 2;
		pause_seam::pauses.clear();
		pause_seam::capture_screen = true;
		const std::string choice =
		        min_is_mode ? "present: the card takes no framebuffer smaller than 128x96, "
		                      "the frames are decoded centred into buffers of the mode's "
		                      "size\n"
		                    : "atomic: couldn't commit new state: Numerical result out of "
		                      "range\npresent: no plane scales or places 64x48 on 128x96, "
		                      "the frames are decoded centred into buffers of the mode's "
		                      "size\n";
		EXPECT_EQ(play(),
		          "picPath: " + f0 +
		                  " \nbootAnimation: frames are XR24: no plane shows RG24 \n" +
		                  choice + "picPath: " + f1 + " \n");
		ASSERT_EQ(pause_seam::pauses.size(), 2u);
		for (int k = 0; k < 2; k++) {
			SCOPED_TRACE(k);
			const rgb_picture pic = decode_jpeg(k ? f1 : f0);
			const sim::image &img = pause_seam::pauses[size_t(k)].screen;
			ASSERT_EQ(img.width, uint32_t(k_mode_w));
			ASSERT_EQ(img.height, uint32_t(k_mode_h));
			int wrong = 0;
			for (uint32_t y = 0; y < img.height; y++)
				for (uint32_t x = 0; x < img.width; x++) {
					const bool inside = x >= 32 && x < 96 && y >= 24 && y < 72;
					const uint8_t *want =
					        inside ? &pic.data[((y - 24) * 64 + (x - 32)) * 3]
					               : nullptr;
					for (int c = 0; c < 3; c++)
						wrong += img.pixel(x, y)[c] != (want ? want[c] : 0);
				}
			EXPECT_EQ(wrong, 0);
		}
		// Only the buffers of the mode's size are left: a refused first one went at once.
		EXPECT_EQ(sim::live().dumb_buffers, 2);
		empty_ring();
	}
}

TEST_F(Player, FramePathTooLongIsSkipped)
{
	// 121 characters of directory leave room for "/9.jpg" (127 in all) but not "/10.jpg".
	std::string deep = dir;
	while (deep.size() < 117)
		deep += "/d";
	deep.resize(121, 'x');
	ASSERT_EQ(deep.size(), 121u);
	std::string cmd = "mkdir -p " + deep;
	ASSERT_EQ(system(cmd.c_str()), 0);
	snprintf(mBootAnimPath, sizeof mBootAnimPath, "%s", deep.c_str());
	std::string f9 = deep + "/9.jpg";
	ASSERT_TRUE(write_jpeg(f9, test_picture(64, 48, 9)));
	ASSERT_TRUE(write_jpeg(deep + "/10.jpg", test_picture(64, 48, 10)));
	mImageCount = 11;
	// A missing frame's ".jpeg" fallback is one character too long already.
	std::string expected;
	for (int k = 0; k < 9; k++)
		expected += "bootAnimation: frame path too long " + deep + "/" + std::to_string(k) +
		            ".jpeg \n";
	EXPECT_EQ(play(), expected + "picPath: " + f9 + " \nbootAnimation: frame path too long " +
	                          deep + "/10.jpg \n");
	EXPECT_EQ(ring()[1], (slot_view{true, f9}));
}

// SOI, a baseline frame header claiming 65500 x 65500 with three components, and a scan header:
// 35 bytes that would ask for a 12.9 GB buffer.
const unsigned char k_forged_header[] = {0xff, 0xd8, 0xff, 0xc0, 0x00, 0x11, 0x08, 0xff, 0xdc,
                                         0xff, 0xdc, 0x03, 0x01, 0x22, 0x00, 0x02, 0x11, 0x00,
                                         0x03, 0x11, 0x00, 0xff, 0xda, 0x00, 0x0c, 0x03, 0x01,
                                         0x00, 0x02, 0x11, 0x03, 0x11, 0x00, 0x3f, 0x00};

// Also one pixel wider or higher than the card's limit; the limit itself is shown.
TEST_F(Player, FrameLargerThanTheCardIsSkippedBeforeAnyBuffer)
{
	sim::topology t = card();
	t.driver.max_width = 64;
	t.driver.max_height = 48;
	install_card(t);
	ASSERT_TRUE(open_and_discover(&fd));
	sim::clear_records();
	static_assert(sizeof k_forged_header == 35);
	std::string bad = dir + "/0.jpg";
	std::ofstream(bad, std::ios::binary)
	        .write(reinterpret_cast<const char *>(k_forged_header), sizeof k_forged_header);
	const std::string f1 = frame(1), f2 = frame(2, ".jpg", 65, 48),
	                  f3 = frame(3, ".jpg", 64, 49);
	mImageCount = 4;
	const std::string larger = " \nbootAnimation: frame ";
	EXPECT_EQ(play(), "picPath: " + bad + larger + "65500x65500 larger than the card's 64x48 " +
	                          "\npicPath: " + f1 + " \npicPath: " + f2 + larger +
	                          "65x48 larger than the card's 64x48 \npicPath: " + f3 + larger +
	                          "64x49 larger than the card's 64x48 \n");
	EXPECT_EQ(requests_named("MODE_CREATE_DUMB").size(), 1u);
	EXPECT_EQ(ring()[1], (slot_view{true, f1}));
	EXPECT_EQ(ring()[2], (slot_view{false, ""}));
}

TEST_F(Player, OnlyRegularFilesAreFrames)
{
	std::string fifo = dir + "/0.jpg", subdir = dir + "/1.jpg", device = dir + "/2.jpeg";
	ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
	ASSERT_EQ(mkdir(subdir.c_str(), 0755), 0);
	// A character device where mknod is allowed, else the same device through a link.
	if (mknod(device.c_str(), S_IFCHR | 0644, makedev(1, 3)) != 0) {
		ASSERT_EQ(symlink("/dev/null", device.c_str()), 0);
	}
	std::string f3 = frame(3);
	mImageCount = 4;
	EXPECT_EQ(play(), "bootAnimation: not a regular file " + fifo +
	                          " \nbootAnimation: not a regular file " + subdir +
	                          " \nbootAnimation: not a regular file " + device +
	                          " \npicPath: " + f3 + " \n");
	EXPECT_EQ(pause_seam::pauses.size(), 1u);
	EXPECT_EQ(ring()[1], (slot_view{true, f3}));
}

TEST_F(Player, LongRunOfMissingFramesEndsTheAnimation)
{
	// Frames 0 to 2, a gap of 16 (3 to 18) that is still played through, frame 19, then
	// nothing more of a count that would take hours to walk.
	std::string expected;
	for (int k = 0; k < 20; k++) {
		if (k < 3 || k == 19)
			expected += "picPath: " + frame(k) + " \n";
		else
			expected += "bootAnimation: can't access file " + dir + "/" +
			            std::to_string(k) + ".jpeg \n";
		if (k == 19)
			expected += "free: mSfJpegBufInfo[0].mPath " + dir + "/0.jpg \n";
	}
	mImageCount = 2147483647;
	for (int k = 20; k < 37; k++)
		expected += "bootAnimation: can't access file " + dir + "/" + std::to_string(k) +
		            ".jpeg \n";
	expected += "bootAnimation: 17 frames missing in a row, animation ends \n";
	EXPECT_EQ(play(), expected);
	EXPECT_EQ(mImageCount, 2147483647);
	EXPECT_EQ(pause_seam::pauses.size(), 4u);
}

} // namespace
