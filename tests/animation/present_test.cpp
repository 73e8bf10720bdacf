#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include <drm_fourcc.h>
#include <gtest/gtest.h>

#include "animation/present.h"
#include "buffer/bo.h"
#include "display/display.h"
#include "sim/sim.h"
#include "tests/support/atomic_adds.h"
#include "tests/support/capture.h"
#include "tests/support/card.h"
#include "tests/support/seam.h"

// Seams over libdrm for the cases a kernel never produces: the product's calls reach these
// definitions first; each forwards to libdrm unless the test asked for a change.
namespace seam
{
std::string rename_from, rename_to; // property name shown differently
uint32_t mode_id_flags = 0;         // non-zero: the flags "MODE_ID" reports
uint32_t blob_length = 0;           // non-zero: blobs report this length
} // namespace seam

extern "C" drmModePropertyPtr drmModeGetProperty(int fd, uint32_t id)
{
	drmModePropertyPtr p = SEAM_NEXT(drmModeGetProperty)(fd, id);
	if (p && !seam::rename_from.empty() && seam::rename_from == p->name)
		snprintf(p->name, sizeof p->name, "%s", seam::rename_to.c_str());
	if (p && seam::mode_id_flags && strcmp(p->name, "MODE_ID") == 0)
		p->flags = seam::mode_id_flags;
	return p;
}

extern "C" drmModePropertyBlobPtr drmModeGetPropertyBlob(int fd, uint32_t id)
{
	drmModePropertyBlobPtr b = SEAM_NEXT(drmModeGetPropertyBlob)(fd, id);
	if (b && seam::blob_length)
		b->length = seam::blob_length;
	return b;
}

namespace
{

// An HDMI monitor on the second of two CRTCs at 128x96; the primary plane offers no RG24, the
// first overlay neither, the next two do.
sim::topology two_crtc_card()
{
	sim::topology t = lit_hdmi_card(
	        {test_mode(128, 96)},
	        {test_plane(DRM_PLANE_TYPE_PRIMARY, {DRM_FORMAT_XRGB8888}, 0x3),
	         test_plane(DRM_PLANE_TYPE_OVERLAY, {DRM_FORMAT_ARGB8888, DRM_FORMAT_XRGB8888},
	                    0x3),
	         test_plane(DRM_PLANE_TYPE_OVERLAY, {DRM_FORMAT_XRGB8888, DRM_FORMAT_RGB888}, 0x3),
	         test_plane(DRM_PLANE_TYPE_OVERLAY, {DRM_FORMAT_RGB888}, 0x3),
	         test_plane(DRM_PLANE_TYPE_CURSOR, {DRM_FORMAT_ARGB8888}, 0x3)});
	t.encoders[0].possible_crtcs = 0x3;
	t.crtcs.insert(t.crtcs.begin(), sim::crtc_def{});
	return t;
}

std::vector<std::pair<std::string, uint64_t>> plane_commit(uint32_t crtc, uint32_t fb, uint32_t w,
                                                           uint32_t h, uint32_t mw, uint32_t mh)
{
	return {{"CRTC_ID", crtc},
	        {"FB_ID", fb},
	        {"SRC_X", 0},
	        {"SRC_Y", 0},
	        {"SRC_W", uint64_t(w) << 16},
	        {"SRC_H", uint64_t(h) << 16},
	        {"CRTC_X", 0},
	        {"CRTC_Y", 0},
	        {"CRTC_W", mw},
	        {"CRTC_H", mh}};
}

// The additions the call made, in order, by property name. (libdrm sorts a request by object and
// property id before the kernel sees it, so the order is checked here, the result on the card.)
std::vector<std::pair<std::string, uint64_t>> additions(int fd, uint32_t object)
{
	std::vector<std::pair<std::string, uint64_t>> out;
	for (const auto &a : atomic_adds::adds) {
		EXPECT_EQ(a.object_id, object);
		property_holder prop(drmModeGetProperty(fd, a.prop_id));
		out.emplace_back(prop ? std::string(prop->name) : "#" + std::to_string(a.prop_id),
		                 a.value);
	}
	return out;
}

// What the card received, in its (sorted) order, compared as a set with the expectation.
void expect_received(const sim::commit_record &c, uint32_t object,
                     std::vector<std::pair<std::string, uint64_t>> expected)
{
	std::vector<std::pair<std::string, uint64_t>> got;
	for (const auto &t : c.props) {
		EXPECT_EQ(t.object_id, object);
		got.emplace_back(t.name, t.value);
	}
	std::sort(got.begin(), got.end());
	std::sort(expected.begin(), expected.end());
	EXPECT_EQ(got, expected);
}

class Present : public ::testing::Test
{
protected:
	void SetUp() override
	{
		seam::rename_from.clear();
		seam::mode_id_flags = 0;
		seam::blob_length = 0;
		atomic_adds::reset();
	}
	void TearDown() override
	{
		release_frame();
		install_card(sim::topology{});
		EXPECT_EQ(sim::live().dumb_buffers, 0);
	}

	// The frame of an earlier start, on the card it was made on.
	void release_frame()
	{
		if (!b)
			return;
		bo_release(b);
		b = nullptr;
	}

	// Installs `t`, discovers the display as the entry does and registers a w x h RG24 frame
	// whose pixel (x, y) holds red x, green y, blue 7.
	void start(const sim::topology &t, uint32_t w = 64, uint32_t h = 48)
	{
		release_frame();
		install_card(t);
		present_new_run();
		open_and_discover(&fd); // some cards here have no encoder to find
		ASSERT_TRUE(g_drm_mode_res);
		b = registered_bo(fd, DRM_FORMAT_RGB888, w, h);
		ASSERT_NE(b, nullptr);
		for (uint32_t y = 0; y < h; y++)
			for (uint32_t x = 0; x < w; x++) {
				uint8_t *px = b->ptr + y * b->pitch + 3 * x;
				px[0] = uint8_t(x);
				px[1] = uint8_t(y);
				px[2] = 7;
			}
		sim::clear_records();
	}

	std::string present()
	{
		atomic_adds::adds.clear();
		output_capture cap;
		present_frame(fd, b);
		return cap.stop();
	}

	// The call made one commit, accepted, of exactly the ten properties showing the frame on
	// plane `plane` of CRTC `crtc` from a w x h source, added in that order.
	void expect_one_commit(int plane, int crtc, uint32_t w, uint32_t h)
	{
		auto commits = sim::commits();
		ASSERT_EQ(commits.size(), 1u);
		EXPECT_EQ(commits[0].error, 0);
		auto expected = plane_commit(sim::crtc_id(crtc), b->fb_id, w, h, 128, 96);
		EXPECT_EQ(additions(fd, sim::plane_id(plane)), expected);
		expect_received(commits[0], sim::plane_id(plane), expected);
	}

	int fd = -1;
	bo *b = nullptr;
};

TEST_F(Present, CommitsTenPlanePropertiesOnTheFirstRg24PlaneAndStretchesThePicture)
{
	start(two_crtc_card());
	EXPECT_EQ(present(), "");
	expect_one_commit(2, 1, 64, 48);
	EXPECT_EQ(sim::commits().at(0).flags, uint32_t(DRM_MODE_ATOMIC_ALLOW_MODESET));

	// The 64x48 picture covers the whole 128x96 mode, each pixel doubled. RG24 is scanned out
	// as DRM defines it, so the byte written first (red here) shows as blue.
	sim::image img = sim::screen(1);
	ASSERT_EQ(img.width, 128u);
	ASSERT_EQ(img.height, 96u);
	for (uint32_t y = 0; y < 96; y += 5)
		for (uint32_t x = 0; x < 128; x += 3) {
			const uint8_t *px = img.pixel(x, y);
			ASSERT_EQ(px[0], 7) << x << "," << y;
			ASSERT_EQ(px[1], y / 2) << x << "," << y;
			ASSERT_EQ(px[2], x / 2) << x << "," << y;
		}
	EXPECT_TRUE(sim::screen(0).rgb.empty());
}

TEST_F(Present, ThePrimaryPlaneIsUsedWhenItIsTheFirstToOfferTheFormat)
{
	sim::topology t = two_crtc_card();
	t.planes[0].formats = {DRM_FORMAT_XRGB8888, DRM_FORMAT_RGB888};
	start(t, 128, 96);
	EXPECT_EQ(present(), "");
	expect_one_commit(0, 1, 128, 96);
}

TEST_F(Present, APlaneThatMayNotBeOnTheActiveCrtcIsPassedOver)
{
	// The first RG24 overlay belongs to CRTC 0 alone; the next one may be on CRTC 1.
	sim::topology t = two_crtc_card();
	t.planes[2].possible_crtcs = 0x1;
	start(t);
	EXPECT_EQ(present(), "");
	expect_one_commit(3, 1, 64, 48);
	EXPECT_EQ(sim::screen(1).pixel(2, 2)[0], 7);

	// No RG24 plane may be on it: nothing is committed.
	t.planes[3].possible_crtcs = 0x1;
	start(t);
	EXPECT_EQ(present(), "no plane offers format RG24 (0x34324752)\n");
	EXPECT_TRUE(sim::commits().empty());
}

TEST_F(Present, TheFirstFrameTakesTheConsoleOffWhereItWouldCoverTheFrames)
{
	// The console lights CRTC 1 on its primary plane; the frames go on the overlay at 2.
	sim::topology t = two_crtc_card();
	t.driver.fbdev = true;
	t.planes[0].possible_crtcs = 0x2;
	start(t);
	const uint64_t console = sim::property_value(sim::plane_id(0), "FB_ID").value_or(0);
	ASSERT_NE(console, 0u);

	// Primaries lie below overlays: the console stays where it is.
	EXPECT_EQ(present(), "");
	expect_one_commit(2, 1, 64, 48);
	EXPECT_EQ(sim::property_value(sim::plane_id(0), "FB_ID"), console);

	// With a "zpos" that puts the primary on top (the plane type read in its place), the
	// first frame's commit also takes the console's plane off; later frames leave it be.
	start(t);
	seam::rename_from = "type";
	seam::rename_to = "zpos";
	for (int frame = 0; frame < 2; frame++) {
		SCOPED_TRACE(frame);
		sim::clear_records();
		EXPECT_EQ(present(), "");
		auto commits = sim::commits();
		ASSERT_EQ(commits.size(), 1u);
		EXPECT_EQ(commits[0].error, 0);
		using props = std::vector<std::pair<std::string, uint64_t>>;
		props on_console;
		for (const auto &p : commits[0].props)
			if (p.object_id == sim::plane_id(0))
				on_console.emplace_back(p.name, p.value);
		std::sort(on_console.begin(), on_console.end());
		const props off = {{"CRTC_ID", 0}, {"FB_ID", 0}};
		EXPECT_EQ(on_console, frame == 0 ? off : props{});
		EXPECT_EQ(commits[0].props.size(), 10u + on_console.size());
		EXPECT_EQ(sim::property_value(sim::plane_id(0), "FB_ID"), 0u);
		EXPECT_EQ(sim::property_value(sim::plane_id(2), "FB_ID"), b->fb_id);
	}
}

TEST_F(Present, TheModeComesFromTheEncodersCrtcThePlaneGoesToTheActiveOne)
{
	sim::topology t = two_crtc_card();
	// Both CRTCs run; the first active one in the list is CRTC 0 at 96x64, while the
	// encoder drives CRTC 1 at 128x96.
	t.crtcs[0] = {.active = true, .mode = test_mode(96, 64)};
	t.encoders[0].possible_crtcs = 0x2;
	t.connectors.push_back({.type = DRM_MODE_CONNECTOR_DisplayPort,
	                        .modes = {test_mode(96, 64)},
	                        .encoders = {1},
	                        .bound_encoder = 1});
	t.encoders.push_back({.possible_crtcs = 0x1});
	start(t);
	ASSERT_EQ(g_drm_encoder.get()->crtc_id, sim::crtc_id(1));
	EXPECT_EQ(present(), "");
	expect_one_commit(2, 0, 64, 48);
}

TEST_F(Present, NoActiveCrtc)
{
	sim::topology t = two_crtc_card();
	t.crtcs[1].active = false;
	start(t);
	EXPECT_EQ(present(), "failed to find usable crtc props\n");
	EXPECT_TRUE(sim::commits().empty());
}

TEST_F(Present, UnreadableCrtcsArePassedOver)
{
	sim::topology t = two_crtc_card();
	start(t);
	// The active CRTC is the last one; its properties cannot be read.
	sim::fail_request("MODE_OBJ_GETPROPERTIES", EACCES, 0, sim::crtc_id(1));
	EXPECT_EQ(present(), "failed to found props crtc[" + std::to_string(sim::crtc_id(1)) +
	                             "] Permission denied\nfailed to find usable crtc props\n");
	EXPECT_TRUE(sim::commits().empty());

	// A CRTC that cannot be fetched is reported and the next one is looked at.
	sim::clear_faults();
	sim::fail_request("MODE_GETCRTC", ENOENT, 0, sim::crtc_id(0));
	EXPECT_EQ(present(), "Could not get crtc " + std::to_string(sim::crtc_id(0)) +
	                             ": No such file or directory\n");
	ASSERT_EQ(sim::commits().size(), 1u);
	EXPECT_EQ(sim::commits()[0].error, 0);
}

TEST_F(Present, PlanePropertiesUnreadable)
{
	start(two_crtc_card());
	sim::fail_request("MODE_OBJ_GETPROPERTIES", EIO, 0, sim::plane_id(2));
	EXPECT_EQ(present(), "failed to found props plane[" + std::to_string(sim::plane_id(2)) +
	                             "] Input/output error\n");
	EXPECT_TRUE(sim::commits().empty());
}

TEST_F(Present, ModeIdThatIsNotABlobRunsOnWithoutLineEnd)
{
	start(two_crtc_card());
	seam::mode_id_flags = DRM_MODE_PROP_RANGE | DRM_MODE_PROP_ATOMIC;
	EXPECT_EQ(present(), "drmmode_getproperty:line=78,is not blob");
	EXPECT_TRUE(sim::commits().empty());

	// The pending and immutable bits do not change the type.
	seam::mode_id_flags = DRM_MODE_PROP_BLOB | DRM_MODE_PROP_PENDING | DRM_MODE_PROP_IMMUTABLE;
	EXPECT_EQ(present(), "");
	EXPECT_EQ(sim::commits().size(), 1u);
}

TEST_F(Present, ModeBlobMissingOrShort)
{
	start(two_crtc_card());
	sim::fail_request("MODE_GETPROPBLOB", ENOENT, 1);
	EXPECT_EQ(present(), "drmmode_getproperty:line=89, blob is null\n");
	EXPECT_TRUE(sim::commits().empty());

	seam::blob_length = sizeof(drmModeModeInfo) - 1;
	EXPECT_EQ(present(), "drmmode_getproperty:line=89, blob is null\n");
	EXPECT_TRUE(sim::commits().empty());
}

TEST_F(Present, EncoderCrtcWithoutModeIdEndsSilently)
{
	start(two_crtc_card());
	seam::rename_from = "MODE_ID";
	seam::rename_to = "MODE_ID_";
	EXPECT_EQ(present(), "");
	EXPECT_TRUE(sim::commits().empty());
}

TEST_F(Present, AFailedAdditionRunsOnAndTheOthersAreCommitted)
{
	start(two_crtc_card());
	atomic_adds::fail_at = 5; // SRC_W
	std::string out = present();
	auto commits = sim::commits();
	// The message runs on into the next output; without SRC_W the plane's source keeps width
	// 0, which the card refuses as a kernel would; the next RG24 plane then takes the frame.
	ASSERT_EQ(commits.size(), 3u);
	EXPECT_NE(commits[0].error, 0);
	EXPECT_EQ(out, "Failed to add prop[4194304] to [" + std::to_string(sim::plane_id(2)) +
	                       "]atomic: couldn't commit new state: " + strerror(commits[0].error) +
	                       "\npresent: plane " + std::to_string(sim::plane_id(2)) +
	                       " cannot show 64x48 over 128x96, plane " +
	                       std::to_string(sim::plane_id(3)) + " stretches it\n");
	// All ten were asked for; the card got the nine that went in.
	auto expected = plane_commit(sim::crtc_id(1), b->fb_id, 64, 48, 128, 96);
	ASSERT_GE(atomic_adds::adds.size(), expected.size());
	atomic_adds::adds.resize(expected.size()); // the refused commit's
	EXPECT_EQ(additions(fd, sim::plane_id(2)), expected);
	expected.erase(expected.begin() + 4);
	expect_received(commits[0], sim::plane_id(2), expected);
}

TEST_F(Present, APlaneWithoutSrcXGetsPropertyIdZero)
{
	start(two_crtc_card());
	seam::rename_from = "SRC_X";
	seam::rename_to = "SRC_XX";
	std::string out = present();
	// The addition is made with property id 0 all the same, in its place.
	ASSERT_EQ(atomic_adds::adds.size(), 10u);
	EXPECT_EQ(atomic_adds::adds[2].prop_id, 0u);
	EXPECT_EQ(atomic_adds::adds[2].value, 0u);
	// libdrm refuses a property id of 0, so that addition fails and says so (running on into
	// the next output); the other nine are committed.
	EXPECT_EQ(out, "Failed to add prop[0] to [" + std::to_string(sim::plane_id(2)) + "]");
	auto commits = sim::commits();
	ASSERT_EQ(commits.size(), 1u);
	EXPECT_EQ(commits[0].error, 0);
	auto expected = plane_commit(sim::crtc_id(1), b->fb_id, 64, 48, 128, 96);
	expected.erase(expected.begin() + 2);
	expect_received(commits[0], sim::plane_id(2), expected);
}

TEST_F(Present, FailedCommit)
{
	// Every commit refused: the fallbacks are asked in turn, quietly, and the last says so.
	start(two_crtc_card());
	sim::fail_request("MODE_ATOMIC", EINVAL);
	EXPECT_EQ(present(), "atomic: couldn't commit new state: Invalid argument\n"
	                     "present: no plane scales or places 64x48 on 128x96, the frames are "
	                     "decoded centred into buffers of the mode's size\n");
	EXPECT_EQ(present_fit(), frame_fit::padded);
	uint32_t w = 0, h = 0;
	ASSERT_TRUE(present_padded_size(&w, &h));
	EXPECT_EQ(w, 128u);
	EXPECT_EQ(h, 96u);
}

// The run's fit after the stretched commit on the first RG24 plane (index 2) is refused, and
// what a second frame then costs: one commit, no refusal, no line.
struct fit_case {
	const char *name;
	bool refuse_2, refuse_3, position; // planes 2 and 3 refuse scaling; planes may be placed
	uint32_t w, h;                     // the frame; the mode is 128x96
	frame_fit fit;
	int plane; // index of the plane that shows the frame; -1: none yet
	std::vector<std::pair<std::string, uint64_t>> rect; // SRC_X .. CRTC_H shown
	const char *line;
	int refusal = EINVAL; // the errno of planes 2 and 3 refusing to scale
};

TEST_F(Present, AfterTheFirstRefusalTheRunsFitIsChosenOnce)
{
	const auto r = [](uint32_t sx, uint32_t sy, uint32_t sw, uint32_t sh, uint32_t cx,
	                  uint32_t cy, uint32_t cw, uint32_t ch) {
		return std::vector<std::pair<std::string, uint64_t>>{{"SRC_X", uint64_t(sx) << 16},
		                                                     {"SRC_Y", uint64_t(sy) << 16},
		                                                     {"SRC_W", uint64_t(sw) << 16},
		                                                     {"SRC_H", uint64_t(sh) << 16},
		                                                     {"CRTC_X", cx},
		                                                     {"CRTC_Y", cy},
		                                                     {"CRTC_W", cw},
		                                                     {"CRTC_H", ch}};
	};
	const fit_case cases[] = {
	        {"next plane scales", true, false, true, 64, 48, frame_fit::stretched, 3,
	         r(0, 0, 64, 48, 0, 0, 128, 96),
	         "present: plane P2 cannot show 64x48 over 128x96, plane P3 stretches it\n"},
	        {"smaller, placed", true, true, true, 64, 48, frame_fit::positioned, 2,
	         r(0, 0, 64, 48, 32, 24, 64, 48),
	         "present: no plane scales 64x48 to 128x96, plane P2 shows the frames at their own "
	         "size, centred\n"},
	        {"smaller, placed, ENOTSUPP", true, true, true, 64, 48, frame_fit::positioned, 2,
	         r(0, 0, 64, 48, 32, 24, 64, 48),
	         "present: no plane scales 64x48 to 128x96, plane P2 shows the frames at their own "
	         "size, centred\n",
	         524},
	        {"larger, cropped", true, true, true, 255, 193, frame_fit::positioned, 2,
	         r(63, 48, 128, 96, 0, 0, 128, 96),
	         "present: no plane scales 255x193 to 128x96, plane P2 shows the frames at their "
	         "own size, centred\n"},
	        {"no plane placed",
	         true,
	         true,
	         false,
	         64,
	         48,
	         frame_fit::padded,
	         -1,
	         {},
	         "present: no plane scales or places 64x48 on 128x96, the frames are decoded "
	         "centred into buffers of the mode's size\n"},
	};
	for (const fit_case &c : cases) {
		SCOPED_TRACE(c.name);
		sim::topology t = two_crtc_card();
		t.planes[2].refuses_scaling = c.refuse_2;
		t.planes[3].refuses_scaling = c.refuse_3;
		t.planes[2].scaling_refusal = t.planes[3].scaling_refusal = c.refusal;
		for (sim::plane_def &p : t.planes)
			p.can_position = c.position;
		start(t, c.w, c.h);
		std::string line = c.line;
		for (int i : {2, 3})
			if (size_t at = line.find("P" + std::to_string(i)); at != std::string::npos)
				line.replace(at, 2, std::to_string(sim::plane_id(i)));
		EXPECT_EQ(present(), std::string("atomic: couldn't commit new state: ") +
		                             strerror(c.refusal) + "\n" + line);
		EXPECT_EQ(present_fit(), c.fit);
		if (c.plane < 0)
			continue;
		const uint32_t plane = sim::plane_id(size_t(c.plane));
		ASSERT_FALSE(sim::commits().empty());
		EXPECT_EQ(sim::commits().back().error, 0);
		std::vector<std::pair<std::string, uint64_t>> shown;
		for (const auto &[name, value] : c.rect)
			shown.emplace_back(name, sim::property_value(plane, name).value_or(~0ull));
		EXPECT_EQ(shown, c.rect);

		sim::clear_records();
		EXPECT_EQ(present(), "");
		ASSERT_EQ(sim::commits().size(), 1u);
		EXPECT_EQ(sim::commits()[0].error, 0);
		EXPECT_EQ(sim::commits()[0].props.front().object_id, plane);
	}
}

// A refusal that no plane, placement or buffer size would meet: the monitor's CRTC switched
// off between the lookups and the commit (as the hot-plug handler does), or another errno
// than the plane checks give. It is reported; the run's fit is not chosen.
TEST_F(Present, ARefusalNoFitMeetsLeavesTheFitUnchosen)
{
	const auto switch_off = [] {
		atomic_holder req(drmModeAtomicAlloc());
		const uint32_t conn = sim::connector_id(0), crtc = sim::crtc_id(1);
		const int card = g_drm_fd.load();
		drmModeAtomicAddProperty(req.get(), conn,
		                         uint32_t(find_property_id(
		                                 card, conn, DRM_MODE_OBJECT_CONNECTOR, "CRTC_ID")),
		                         0);
		for (const char *name : {"MODE_ID", "ACTIVE"})
			drmModeAtomicAddProperty(
			        req.get(), crtc,
			        uint32_t(find_property_id(card, crtc, DRM_MODE_OBJECT_CRTC, name)),
			        0);
		drmModeAtomicCommit(card, req.get(), DRM_MODE_ATOMIC_ALLOW_MODESET, nullptr);
	};
	for (int err : {EINVAL, EACCES, EBUSY}) {
		SCOPED_TRACE(err);
		start(two_crtc_card());
		if (err == EINVAL) {
			atomic_adds::race_at = 1;
			atomic_adds::race = switch_off;
		} else {
			sim::fail_request("MODE_ATOMIC", err, 1);
		}
		EXPECT_EQ(present(), std::string("atomic: couldn't commit new state: ") +
		                             strerror(err) + "\n");
		EXPECT_EQ(present_fit(), frame_fit::stretched);
		EXPECT_EQ(requests_named("MODE_ATOMIC").size(), err == EINVAL ? 2u : 1u);
	}
}

TEST_F(Present, NoEncoder)
{
	start(two_crtc_card());
	g_drm_encoder.reset();
	EXPECT_EQ(present(), "g_drm_encoder nil\n");
	EXPECT_TRUE(sim::requests().empty());
}

TEST_F(Present, ResourcesFetchedForOneCallAreUsedThenReleased)
{
	start(two_crtc_card());
	g_drm_mode_res.reset();
	EXPECT_EQ(present(), "");
	EXPECT_EQ(sim::commits().size(), 1u);
	EXPECT_FALSE(g_drm_mode_res); // not stored

	sim::fail_request("MODE_GETRESOURCES", ENODEV, 1);
	EXPECT_EQ(present(), "Failed to get resources: No such device\n");
	EXPECT_EQ(sim::commits().size(), 1u);
}

TEST_F(Present, NoPlaneOffersTheFormat)
{
	sim::topology t = two_crtc_card();
	t.planes.erase(t.planes.begin() + 2, t.planes.begin() + 4);
	t.planes[0].formats.push_back(DRM_FORMAT_RGB888); // AddFB2 needs one plane with RG24
	start(t);
	// The only RG24 plane now cannot be read.
	sim::fail_request("MODE_GETPLANE", EIO, 0, sim::plane_id(0));
	EXPECT_EQ(present(), "no plane offers format RG24 (0x34324752)\n");
	EXPECT_TRUE(sim::commits().empty());
}

} // namespace
