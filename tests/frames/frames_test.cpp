// The frame tools on frames the tests make: prepare from PNG pictures and from one JPEG, check's
// report and exit status on the trees a device may hold, and prepared frames on the real player.
#include <gtest/gtest.h>

#include <cstdio>
#include <png.h>
#include <sstream>
#include <sys/stat.h>

#include "animation/boot_config.h"
#include "frames/frames.h"
#include "tests/e2e/e2e.h"
#include "tests/support/capture.h"
#include "tests/support/jpeg_file.h"

namespace
{

struct result {
	int status;
	std::string out;
};

result run(std::vector<std::string> args)
{
	args.insert(args.begin(), "bootanim-frames");
	std::vector<char *> argv;
	for (std::string &a : args)
		argv.push_back(a.data());
	output_capture capture;
	const int status = frames_main(int(argv.size()), argv.data());
	return {status, capture.stop()};
}

// The line of `out` equal to `want`, or starting with it when it ends in '='.
bool has_line(const std::string &out, const std::string &want)
{
	for (const std::string &l : harness::lines_of(out))
		if (want.back() == '=' ? l.rfind(want, 0) == 0 : l == want)
			return true;
	return false;
}

rgb_picture flat(int w, int h, uint8_t r, uint8_t g, uint8_t b)
{
	rgb_picture p;
	p.width = w;
	p.height = h;
	for (int i = 0; i < w * h; i++)
		p.data.insert(p.data.end(), {r, g, b});
	return p;
}

void write_png(const std::string &path, const rgb_picture &p)
{
	png_image png{};
	png.version = PNG_IMAGE_VERSION;
	png.width = png_uint_32(p.width);
	png.height = png_uint_32(p.height);
	png.format = PNG_FORMAT_RGB;
	ASSERT_TRUE(png_image_write_to_file(&png, path.c_str(), 0, p.data.data(), 0, nullptr))
	        << png.message;
}

bool exists(const std::string &path)
{
	struct stat st;
	return stat(path.c_str(), &st) == 0;
}

struct area {
	int x = 0, y = 0, w = -1, h = -1; // the whole picture where w is negative
};

// The mean colour of a decoded picture, or of an area of it, each channel rounded.
std::vector<int> mean_colour(const rgb_picture &p, area a = {})
{
	if (a.w < 0)
		a = {0, 0, p.width, p.height};
	std::vector<long> sum(3, 0);
	for (int y = a.y; y < a.y + a.h; y++)
		for (int x = a.x; x < a.x + a.w; x++)
			for (int c = 0; c < 3; c++)
				sum[size_t(c)] += p.data[(size_t(y) * p.width + x) * 3 + size_t(c)];
	const long n = long(a.w) * a.h;
	return {int((sum[0] + n / 2) / n), int((sum[1] + n / 2) / n), int((sum[2] + n / 2) / n)};
}

void paint(rgb_picture &p, area a, const std::vector<int> &rgb)
{
	for (int y = a.y; y < a.y + a.h; y++)
		for (int x = a.x; x < a.x + a.w; x++)
			for (int c = 0; c < 3; c++)
				p.data[(size_t(y) * p.width + x) * 3 + size_t(c)] =
				        uint8_t(rgb[size_t(c)]);
}

const std::vector<int> k_red = {220, 30, 30}, k_green = {30, 200, 60};

void expect_near(const std::vector<int> &got, const std::vector<int> &want, int tolerance = 4)
{
	ASSERT_EQ(got.size(), want.size());
	for (size_t c = 0; c < got.size(); c++)
		EXPECT_NEAR(got[c], want[c], tolerance) << "channel " << c;
}

const std::string k_conf3 = "cnt=3\npath=/mnt/bootanimation/frames\nfps=25\n";
const std::string k_conf1 = "cnt=1\npath=/mnt/bootanimation/frames\nfps=25\n";

class frames : public e2e::whole_program
{
protected:
	std::string tmp(const std::string &name) const
	{
		return dir_.path() + "/" + name;
	}
};

TEST_F(frames, PrepareFromPngDirectoryWritesNumberedFramesAndBootConf)
{
	mkdir(tmp("src").c_str(), 0755);
	// Name order, not writing order; other files are left alone.
	write_png(tmp("src/b.png"), flat(200, 100, 20, 200, 40));
	write_png(tmp("src/a.png"), flat(200, 100, 220, 30, 60));
	write_png(tmp("src/c.png"), flat(50, 30, 10, 50, 230));
	ASSERT_TRUE(write_file(tmp("src/notes.txt"), {'x', '\n'}));

	const result r = run({"prepare", tmp("src"), tmp("out"), "--size", "96x64", "--fps", "20"});
	ASSERT_EQ(r.status, 0) << r.out;
	EXPECT_TRUE(has_line(r.out, "frame 0: 0.jpg from " + tmp("src/a.png") + " 200x100"))
	        << r.out;
	EXPECT_TRUE(has_line(r.out, "boot.conf: cnt=3 path=/mnt/bootanimation/frames fps=20"));
	const std::vector<std::vector<int>> colours = {{220, 30, 60}, {20, 200, 40}, {10, 50, 230}};
	for (int k = 0; k < 3; k++) {
		const std::string frame = tmp("out/frames/" + std::to_string(k) + ".jpg");
		const jpeg_header h = read_jpeg_header(frame);
		EXPECT_EQ(h.width, 96) << k;
		EXPECT_EQ(h.height, 64) << k;
		EXPECT_EQ(h.sampling, "2x2 1x1 1x1") << k;
		EXPECT_TRUE(h.baseline) << k;
		expect_near(mean_colour(decode_jpeg(frame)), colours[size_t(k)]);
	}
	EXPECT_FALSE(exists(tmp("out/frames/3.jpg")));

	read_boot_config(fopen(tmp("out/boot.conf").c_str(), "r"));
	EXPECT_EQ(mImageCount, 3);
	EXPECT_STREQ(mBootAnimPath, "/mnt/bootanimation/frames");
	EXPECT_EQ(mFps, 20);
}

TEST_F(frames, PrepareFromOneJpegKeepsOrSwapsRedAndBlue)
{
	ASSERT_TRUE(write_jpeg(tmp("one.jpg"), flat(64, 48, 200, 90, 30), 95));
	for (const bool drm : {false, true}) {
		const std::string out = tmp(drm ? "drm" : "plain");
		std::vector<std::string> args = {"prepare", tmp("one.jpg"), out, "--size",
		                                 "160x120"};
		if (drm)
			args.push_back("--drm-order");
		const result r = run(args);
		ASSERT_EQ(r.status, 0) << r.out;
		const rgb_picture p = decode_jpeg(out + "/frames/0.jpg");
		EXPECT_EQ(p.width, 160);
		EXPECT_EQ(p.height, 120);
		expect_near(mean_colour(p),
		            drm ? std::vector<int>{30, 90, 200} : std::vector<int>{200, 90, 30});
		EXPECT_FALSE(exists(out + "/frames/1.jpg"));
		read_boot_config(fopen((out + "/boot.conf").c_str(), "r"));
		EXPECT_EQ(mImageCount, 1);
		EXPECT_EQ(mFps, 15);
	}
}

TEST_F(frames, PrepareTurnsThePictureSoItsTopLeftIsThePanelsTopLeft)
{
	// 4:3, its top-left corner marked.
	rgb_picture p = flat(80, 60, 30, 200, 60);
	paint(p, {0, 0, 16, 12}, k_red);
	write_png(tmp("corner.png"), p);
	struct turn {
		const char *option, *value, *size;
		int degrees;
		int corner; // where the mark lands: 0 top-left, then clockwise
	};
	const turn turns[] = {
	        {"--rotate", "0", "80x60", 0, 0},
	        {"--rotate", "90", "60x80", 90, 1},
	        {"--rotate", "180", "80x60", 180, 2},
	        {"--rotate", "270", "60x80", 270, 3},
	        {"--orientation", "Left Side Up", "60x80", 270, 3},
	        {"--orientation", "Right Side Up", "60x80", 90, 1},
	};
	for (const turn &t : turns) {
		const std::string out = tmp(std::string("turned-") + t.value);
		const result r = run(
		        {"prepare", tmp("corner.png"), out, "--size", t.size, t.option, t.value});
		ASSERT_EQ(r.status, 0) << r.out;
		EXPECT_EQ(has_line(r.out,
		                   "turned: " + std::to_string(t.degrees) + " degrees clockwise"),
		          t.degrees != 0)
		        << r.out;
		const rgb_picture f = decode_jpeg(out + "/frames/0.jpg");
		const bool right = t.corner == 1 || t.corner == 2, low = t.corner >= 2;
		expect_near(
		        mean_colour(f, {right ? f.width - 10 : 2, low ? f.height - 8 : 2, 8, 6}),
		        k_red, 12);
	}
}

TEST_F(frames, PrepareContainsWithBandsOrCoversWithTheMiddle)
{
	// 4:3 with red bands of 7 rows at the top and bottom, into 16:9.
	rgb_picture p = flat(80, 60, 30, 200, 60);
	paint(p, {0, 0, 80, 7}, k_red);
	paint(p, {0, 53, 80, 7}, k_red);
	write_png(tmp("bands.png"), p);

	result r = run({"prepare", tmp("bands.png"), tmp("contain"), "--size", "160x90", "--fit",
	                "contain", "--background", "2040C0"});
	ASSERT_EQ(r.status, 0) << r.out;
	EXPECT_TRUE(has_line(r.out, "fit: contain, background 2040c0")) << r.out;
	rgb_picture f = decode_jpeg(tmp("contain/frames/0.jpg"));
	// 120x90 in the middle, bands of 20 columns on either side.
	expect_near(mean_colour(f, {2, 30, 14, 30}), {32, 64, 192});
	expect_near(mean_colour(f, {60, 1, 40, 6}), k_red);

	r = run({"prepare", tmp("bands.png"), tmp("cover"), "--size", "160x90", "--fit", "cover"});
	ASSERT_EQ(r.status, 0) << r.out;
	EXPECT_TRUE(has_line(r.out, "fit: cover")) << r.out;
	// The middle 80x45 rows 7 to 51: neither the red bands nor any side band.
	f = decode_jpeg(tmp("cover/frames/0.jpg"));
	expect_near(mean_colour(f, {60, 1, 40, 6}), k_green);
	expect_near(mean_colour(f, {2, 30, 14, 30}), k_green);
}

// A 16x16 JPEG whose frame header says width x height: libjpeg reads it as that size, its
// missing rows given as gray (with a warning), and nothing needs that much memory up front.
std::vector<uint8_t> jpeg_claiming(int width, int height)
{
	std::vector<uint8_t> data = encode_jpeg(test_picture(16, 16, 0));
	for (size_t i = 0; i + 8 < data.size(); i++)
		if (data[i] == 0xff && data[i + 1] == 0xc0) {
			data[i + 5] = uint8_t(height >> 8);
			data[i + 6] = uint8_t(height);
			data[i + 7] = uint8_t(width >> 8);
			data[i + 8] = uint8_t(width);
			return data;
		}
	return {};
}

// Sizes are multiplied in 64 bits: 65500 x 21858 RGB is 4295097000 bytes, which a 32-bit size_t
// wraps to 129704.
TEST(frames_memory, HoldableTakesTheProductInSixtyFourBits)
{
	const bool wide = sizeof(size_t) == 8;
	EXPECT_TRUE(holdable(1920, 1080, 3));
	EXPECT_TRUE(holdable(30000, 20000, 3)); // 1.8e9 bytes
	EXPECT_EQ(holdable(65500, 21858, 3), wide);
	EXPECT_EQ(holdable(65500, 65500, 3 * sizeof(float)), wide);
	EXPECT_EQ(holdable(65500, 11000, 3), wide); // 2.16e9: within 4 GiB, past PTRDIFF_MAX
}

// On a 32-bit machine (armhf) these sizes wrapped in size_t: the buffers came out a fraction of
// what was written into them, and the tool wrote past them (a crash, or worse). A 64-bit machine
// would really make these buffers of gigabytes, so there the tests have nothing to show.
TEST_F(frames, PrepareRefusesFramesTooLargeForThisMachine)
{
	if (sizeof(size_t) > 4)
		GTEST_SKIP() << "a 64-bit size_t holds these sizes";
	ASSERT_TRUE(write_jpeg(tmp("one.jpg"), flat(16, 16, 200, 90, 30), 95));
	output_capture err(2);
	const result r = run({"prepare", tmp("one.jpg"), tmp("out"), "--size", "65500x21858"});
	EXPECT_EQ(err.stop(), "bootanim-frames: --size 65500x21858: frames too large for this "
	                      "machine's memory\n");
	EXPECT_EQ(r.status, 1) << r.out;
	EXPECT_FALSE(exists(tmp("out/frames/0.jpg")));
}

TEST_F(frames, PrepareRefusesAPictureTooLargeForThisMachine)
{
	if (sizeof(size_t) > 4)
		GTEST_SKIP() << "a 64-bit size_t holds these sizes";
	const std::vector<uint8_t> huge = jpeg_claiming(65500, 21858);
	ASSERT_FALSE(huge.empty());
	ASSERT_TRUE(write_file(tmp("huge.jpg"), huge));
	output_capture err(2);
	result r = run({"prepare", tmp("huge.jpg"), tmp("out"), "--size", "64x48"});
	EXPECT_EQ(err.stop(), "bootanim-frames: " + tmp("huge.jpg") +
	                              ": 65500x21858: too large for this machine's memory\n");
	EXPECT_EQ(r.status, 1) << r.out;

	// A picture this machine holds, but not its rows resized to a wide frame in floats.
	ASSERT_TRUE(write_jpeg(tmp("tall.jpg"), flat(16, 20000, 200, 90, 30), 95));
	output_capture err2(2);
	r = run({"prepare", tmp("tall.jpg"), tmp("out"), "--size", "30000x64"});
	EXPECT_EQ(err2.stop(), "bootanim-frames: " + tmp("tall.jpg") +
	                               ": 16x20000 resized to 30000 columns: too large for this "
	                               "machine's memory\n");
	EXPECT_EQ(r.status, 1) << r.out;
	EXPECT_FALSE(exists(tmp("out/frames/0.jpg")));
}

TEST(frames_memory, CheckTellsAFrameTooLargeForThisMachine)
{
	if (sizeof(size_t) > 4)
		GTEST_SKIP() << "a 64-bit size_t holds these sizes";
	harness::scratch_dir dir;
	const std::string frames = dir.path() + "/frames";
	mkdir(frames.c_str(), 0755);
	ASSERT_TRUE(write_file(dir.path() + "/boot.conf", {k_conf1.begin(), k_conf1.end()}));
	ASSERT_TRUE(write_file(frames + "/0.jpg", jpeg_claiming(65500, 11000)));
	const result r = run({"check", dir.path(), "--mode", "65500x11000"});
	EXPECT_EQ(r.status, 1) << r.out;
	EXPECT_TRUE(has_line(
	        r.out, "frame 0: 0.jpg 65500x11000 components=3 baseline mode=same cannot-show: "
	               "larger than this machine can hold"))
	        << r.out;
}

// The example of a player whose commit returns at the next vertical blank: at 30 frames per
// second on 60 Hz a frame takes three refreshes whether it decodes in 1 ms or in 15 ms, four
// from 17 ms on.
TEST(check_rate, EachFrameTakesWholeRefreshes)
{
	const double pause = 1000.0 / 30, commit = 0.5;
	EXPECT_DOUBLE_EQ(shown_ms(1 + commit + pause, 60), 50);
	EXPECT_DOUBLE_EQ(shown_ms(15 + commit + pause, 60), 50);
	EXPECT_NEAR(shown_ms(17 + commit + pause, 60), 66.67, 0.01);
}

// A tree as a device holds it: boot.conf (empty: none) and the frames by name, each a picture
// of 64x48 (or as its name says: "1.jpeg:32x24", "0.jpg:cmyk", "0.jpg:progressive",
// "0.jpg:dir").
struct check_case {
	const char *name;
	std::string conf;
	std::string files; // separated by blanks
	int status;
	std::string lines;   // each a line of the report
	std::string options; // after "--mode 64x48", separated by blanks
};

void PrintTo(const check_case &c, std::ostream *os)
{
	*os << c.name;
}

const check_case k_check_cases[] = {
        {"all_shown", k_conf3, "0.jpg 1.jpg 2.jpg", 0,
         "conf line 2: path=/mnt/bootanimation/frames\n"
         "cfg:  mImageCount=3 mBootAnimPath=/mnt/bootanimation/frames mFps 25\n"
         "cnt: 3\n"
         "fps: 25\n"
         "mode: 64x48\n"
         "frame 2: 2.jpg 64x48 components=3 baseline mode=same decode_ms=\n"
         "frames: found=3 missing=0 cannot-show=0 progressive=0 scaled=0\n"
         "rate: decode_ms_mean=\n"
         "result: ok"},
        {"missing_frame", k_conf3, "0.jpg 2.jpg", 1,
         "frame 1: missing (no 1.jpg, no 1.jpeg)\n"
         "frames: found=2 missing=1 cannot-show=0 progressive=0 scaled=0\n"
         "result: 1 frames missing (--allow-gaps accepts them)"},
        {"missing_frame_allowed", k_conf3, "0.jpg 2.jpg", 0,
         "refresh: 50 Hz, each frame shown for whole refreshes\n"
         "result: ok",
         "--allow-gaps --refresh 50"},
        {"other_aspect", k_conf3, "0.jpg 1.jpg 2.jpeg:32x24", 0,
         "aspect: 3 frames differ from the mode's aspect ratio by more than 1 % (frame 0: 64x48, "
         "1.333; mode 128x72, 1.778): the player stretches them\n"
         "fix: bootanim-frames prepare PICTURES OUT --size 128x72 --fps 25 --fit contain (or "
         "--fit cover: cropped, no bands)\n"
         "result: ok",
         "--mode 128x72"},
        {"sideways_panel", k_conf3, "0.jpg 1.jpg 2.jpg", 0,
         "fix: bootanim-frames prepare PICTURES OUT --size 48x64 --fps 25 --orientation NAME "
         "(the connector's \"panel orientation\")",
         "--mode 48x64"},
        {"jpeg_fallback_and_jpg_first", k_conf3, "0.jpeg 1.jpg 1.jpeg:32x24 2.jpeg:32x24", 0,
         "frame 0: 0.jpeg 64x48 components=3 baseline mode=same decode_ms=\n"
         "frame 1: 1.jpg 64x48 components=3 baseline mode=same decode_ms=\n"
         "frame 2: 2.jpeg 32x24 components=3 baseline mode=scaled decode_ms=\n"
         "frames: found=3 missing=0 cannot-show=0 progressive=0 scaled=1"},
        {"cmyk_frame", k_conf3, "0.jpg 1.jpg:cmyk 2.jpg", 1,
         "frame 1: 1.jpg 64x48 components=4 baseline mode=same cannot-show: 4 components (CMYK)\n"
         "result: 1 frames cannot be shown"},
        {"progressive_frame", k_conf3, "0.jpg 1.jpg:progressive 2.jpg", 0,
         "frame 1: 1.jpg 64x48 components=3 progressive mode=same decode_ms=\n"
         "frames: found=3 missing=0 cannot-show=0 progressive=1 scaled=0\n"
         "result: ok"},
        {"not_a_regular_file", k_conf3, "0.jpg:dir 1.jpg 2.jpg", 1,
         "frame 0: 0.jpg cannot-show: not a regular file\n"
         "result: 1 frames cannot be shown"},
        {"none_found", k_conf3, "", 1,
         "frame 2: missing (no 2.jpg, no 2.jpeg)\n"
         "result: no frame found"},
        {"long_run_missing_ends", "cnt=40\npath=/mnt/bootanimation/frames\nfps=25\n",
         "0.jpg 30.jpg", 1,
         "end: 17 frames missing in a row, the player ends the animation at frame 17\n"
         "frames: found=1 missing=17 cannot-show=0 progressive=0 scaled=0"},
        {"cut_line_shifts_the_next",
         "cnt=3" + std::string(40, ' ') + "\npath=/mnt/bootanimation/frames\nfps=25\r\n", "0.jpg",
         1,
         "conf line 1: cnt=3" + std::string(26, ' ') +
                 " (cut at 31 characters: the rest is read as the next line)\n"
                 "conf line 2: " +
                 std::string(14, ' ') +
                 "\n"
                 "conf line 3: path=/mnt/bootanimation/frames\n"
                 "path: \n"
                 "fps: 15\n"
                 "result: no frame found"},
        {"crlf_and_blank_in_path", "cnt=1\r\npath=/mnt/bootanimation/frames more\r\nfps=0\r\n",
         "0.jpg", 0,
         "conf line 2: path=/mnt/bootanimation/frames more\\r\n"
         "cnt: 1\n"
         "path: /mnt/bootanimation/frames\n"
         "fps: 0\n"
         "result: ok"},
};

class check : public testing::TestWithParam<check_case>
{
};

TEST_P(check, ReportsAndExitStatus)
{
	const check_case &c = GetParam();
	harness::scratch_dir dir;
	const std::string frames = dir.path() + "/frames";
	mkdir(frames.c_str(), 0755);
	ASSERT_TRUE(c.conf.empty() ||
	            write_file(dir.path() + "/boot.conf", {c.conf.begin(), c.conf.end()}));
	std::istringstream files(c.files);
	for (std::string f; files >> f;) {
		const size_t colon = f.find(':');
		const std::string name = f.substr(0, colon),
		                  kind = colon == f.npos ? "" : f.substr(colon + 1);
		const std::string path = frames + "/" + name;
		if (kind == "dir")
			ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
		else if (kind == "cmyk")
			ASSERT_TRUE(write_jpeg(path, test_picture(64, 48, 0, 4)));
		else if (kind == "32x24")
			ASSERT_TRUE(write_jpeg(path, test_picture(32, 24, 1)));
		else
			ASSERT_TRUE(write_jpeg(path, test_picture(64, 48, 2), 90,
			                       kind == "progressive"));
	}
	std::vector<std::string> args = {"check", dir.path(), "--mode", "64x48"};
	std::istringstream options(c.options);
	for (std::string o; options >> o;)
		args.push_back(o);
	const result r = run(args);
	EXPECT_EQ(r.status, c.status) << r.out;
	for (const std::string &line : harness::lines_of(c.lines))
		EXPECT_TRUE(has_line(r.out, line)) << "no line: " << line << "\n" << r.out;
}

INSTANTIATE_TEST_SUITE_P(frames, check, testing::ValuesIn(k_check_cases),
                         [](const testing::TestParamInfo<check_case> &i) { return i.param.name; });

TEST_F(frames, PreparedFramesPassTheCheckAndPlayOnTheVirtualCard)
{
	// The card reads RG24 blue first, as DRM defines it: the frames for it are prepared so.
	mkdir(tmp("src").c_str(), 0755);
	write_png(tmp("src/0.png"), flat(320, 180, 230, 120, 20));
	write_png(tmp("src/1.png"), test_picture(480, 270, 3));
	const std::string tree = outside("/mnt/bootanimation");
	result r = run(
	        {"prepare", tmp("src"), tree, "--size", "1920x1080", "--fps", "25", "--drm-order"});
	ASSERT_EQ(r.status, 0) << r.out;
	r = run({"check", tree, "--mode", "1920x1080"});
	ASSERT_EQ(r.status, 0) << r.out;
	EXPECT_TRUE(
	        has_line(r.out, "frames: found=2 missing=0 cannot-show=0 progressive=0 scaled=0"))
	        << r.out;

	start(options());
	ASSERT_TRUE(player_->wait_for("picPath: " + e2e::k_frames + "/1.jpg \n"));
	ASSERT_TRUE(wait_captures(2));
	const std::vector<std::string> files = capture_files();
	ASSERT_EQ(files.size(), 2u);
	for (size_t k = 0; k < 2; k++) {
		const rgb_picture frame =
		        decode_jpeg(tree + "/frames/" + std::to_string(k) + ".jpg");
		const sim::image screen = e2e::load_png(files[k]);
		EXPECT_EQ(e2e::compare(screen, e2e::expected_screen(frame, 1920, 1080)), "") << k;
		if (k == 0) {
			rgb_picture shown{1920, 1080, 3, screen.rgb};
			expect_near(mean_colour(shown), {230, 120, 20});
		}
	}
}

} // namespace
