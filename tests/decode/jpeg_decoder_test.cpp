#include "decode/jpeg_decoder.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <ostream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <drm_fourcc.h>
#include <gtest/gtest.h>

#include "tests/support/capture.h"
#include "tests/support/jpeg_file.h"

namespace
{

namespace fs = std::filesystem;

using bytes = std::vector<uint8_t>;

// --- making pictures ------------------------------------------------------------------------

enum class kind { color420, color444, gray, cmyk, progressive, restart };

struct picture {
	kind type;
	uint32_t width;
	uint32_t height;
};

std::string kind_name(kind k)
{
	static const char *const names[] = {"color420", "color444",    "gray",
	                                    "cmyk",     "progressive", "restart"};
	return names[int(k)];
}

void PrintTo(kind k, std::ostream *os)
{
	*os << kind_name(k);
}

// A JPEG of `p` made by the library's compressor from the shared test picture, whose channels
// change differently along rows and columns.
bytes compress(const picture &p)
{
	const int n = p.type == kind::gray ? 1 : p.type == kind::cmyk ? 4 : 3;
	return encode_jpeg(test_picture(int(p.width), int(p.height), 0, n),
	                   {.progressive = p.type == kind::progressive,
	                    .full_chroma = p.type == kind::color444,
	                    .restart_interval = p.type == kind::restart ? 1u : 0u});
}

// Where the first marker 0xff `marker` at or after `from` starts; the size if none.
size_t find_marker(const bytes &b, uint8_t marker, size_t from = 0)
{
	for (size_t i = from; i + 1 < b.size(); i++)
		if (b[i] == 0xff && b[i + 1] == marker)
			return i;
	return b.size();
}

// What the library itself makes of `path` with default settings, as 3 bytes per pixel (a gray
// sample three times).
struct decoded {
	uint32_t width = 0;
	uint32_t height = 0;
	bytes rgb;
};

decoded library_decode(const std::string &path)
{
	const rgb_picture p = decode_jpeg(path);
	decoded d{uint32_t(p.width), uint32_t(p.height), {}};
	for (uint8_t v : p.data)
		d.rgb.insert(d.rgb.end(), p.components == 1 ? 3 : 1, v);
	return d;
}

// --- buffers ------------------------------------------------------------------------------

// A bo over ordinary memory, filled with a pattern so that every byte the decoder must not
// touch can be checked.
struct test_buffer {
	bytes mem;
	bo b{};

	test_buffer(uint32_t width, uint32_t height, uint64_t pitch)
	    : test_buffer(width, height, pitch, pitch * height)
	{
	}
	test_buffer(uint32_t width, uint32_t height, uint64_t pitch, uint64_t size,
	            uint32_t format = DRM_FORMAT_RGB888)
	    : mem(size)
	{
		for (size_t i = 0; i < mem.size(); i++)
			mem[i] = static_cast<uint8_t>(i * 131 + 7);
		b.fd = -1;
		b.ptr = mem.data();
		b.size = size;
		b.pitch = pitch;
		b.width = width;
		b.height = height;
		b.format = format;
	}
};

// The buffer as it must look after `d` was decoded into `before`: at its top left corner, or
// centred (cropped to its middle where larger). RG24 gets red, green, blue; XR24 blue, green,
// red and 0xff, as the library fills the unused byte.
bytes with_picture(const test_buffer &before, const decoded &d, bool centred = false)
{
	bytes expected = before.mem;
	const bo &b = before.b;
	const uint32_t w = centred ? std::min(d.width, b.width) : d.width;
	const uint32_t h = centred ? std::min(d.height, b.height) : d.height;
	const uint32_t sx = (d.width - w) / 2, sy = (d.height - h) / 2;
	const uint32_t dx = centred ? (b.width - w) / 2 : 0, dy = centred ? (b.height - h) / 2 : 0;
	const bool xr24 = b.format == DRM_FORMAT_XRGB8888;
	const size_t bpp = xr24 ? 4 : 3;
	for (uint32_t r = 0; r < h; r++)
		for (uint32_t x = 0; x < w; x++) {
			const uint8_t *s = &d.rgb[((size_t{sy} + r) * d.width + sx + x) * 3];
			uint8_t *o = &expected[(dy + r) * b.pitch + (dx + x) * bpp];
			if (xr24) {
				o[0] = s[2];
				o[1] = s[1];
				o[2] = s[0];
				o[3] = 0xff;
			} else {
				std::copy_n(s, 3, o);
			}
		}
	return expected;
}

testing::AssertionResult same_bytes(const bytes &actual, const bytes &expected, uint64_t pitch)
{
	if (actual.size() != expected.size())
		return testing::AssertionFailure() << "sizes differ";
	for (size_t i = 0; i < actual.size(); i++) {
		if (actual[i] != expected[i])
			return testing::AssertionFailure()
			       << "first difference at byte " << i << " (row " << i / pitch
			       << ", byte " << i % pitch << "): " << int{actual[i]}
			       << " instead of " << int{expected[i]};
	}
	return testing::AssertionSuccess();
}

// --- output -------------------------------------------------------------------------------

struct output {
	std::string out;
	std::string err;
};

output capture(const std::function<void()> &f)
{
	output_capture err(2), out(1);
	f();
	return {out.stop(), err.stop()};
}

long open_descriptors()
{
	return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
}

// Decodes `path` into `buf`: exactly `out` and `err` are printed, and no byte of the buffer and no
// descriptor is left changed.
void expect_refused(const std::string &path, test_buffer &buf, const std::string &out,
                    const std::string &err)
{
	const bytes before = buf.mem;
	const long fds = open_descriptors();
	const output o = capture([&] { jpeg_sf_decode(path.c_str(), &buf.b); });
	EXPECT_EQ(o.out, out);
	EXPECT_EQ(o.err, err);
	EXPECT_TRUE(buf.mem == before);
	EXPECT_EQ(open_descriptors(), fds);
}

// jpeg_get_size of `path`: its size (0 x 0 when unreadable), with exactly `err` printed on
// standard error, nothing on standard output, and no descriptor left open.
void expect_size(const std::string &path, int width, int height, const std::string &err = "")
{
	const long fds = open_descriptors();
	int w = -1, h = -1;
	const output o = capture([&] { jpeg_get_size(path.c_str(), &w, &h); });
	EXPECT_EQ(w, width);
	EXPECT_EQ(h, height);
	EXPECT_EQ(o.out, "");
	EXPECT_EQ(o.err, err);
	EXPECT_EQ(open_descriptors(), fds);
}

// --- fixture ------------------------------------------------------------------------------

class jpeg_decoder : public testing::Test
{
protected:
	void SetUp() override
	{
		dir_ = make_temp_dir();
		ASSERT_FALSE(dir_.empty());
	}
	void TearDown() override
	{
		remove_tree(dir_);
	}

	std::string write(const std::string &name, const bytes &data)
	{
		const std::string path = (dir_ / name).string();
		EXPECT_TRUE(write_file(path, data)) << path;
		return path;
	}

	fs::path dir_;
};

// --- every kind of picture, several pitches -----------------------------------------------

using picture_param = std::tuple<kind, std::pair<uint32_t, uint32_t>, int, uint32_t>;

class jpeg_decoder_pictures : public jpeg_decoder, public testing::WithParamInterface<picture_param>
{
};

TEST_P(jpeg_decoder_pictures, decodes_every_row_as_the_library_does)
{
	const auto [type, size, extra_pitch, format] = GetParam();
	const picture p{type, size.first, size.second};
	const bytes jpeg = compress(p);
	const std::string path = write("0.jpg", jpeg);
	const decoded d = library_decode(path);
	ASSERT_EQ(d.width, p.width);
	ASSERT_EQ(d.height, p.height);

	expect_size(path, int(p.width), int(p.height));

	const uint64_t pitch =
	        uint64_t{p.width} * (format == DRM_FORMAT_XRGB8888 ? 4 : 3) + uint64_t(extra_pitch);
	test_buffer buf(p.width, p.height, pitch, pitch * p.height, format);
	const bytes expected = with_picture(buf, d);
	const output o = capture([&] { jpeg_sf_decode(path.c_str(), &buf.b); });
	EXPECT_EQ(o.out, "");
	EXPECT_EQ(o.err, "");
	EXPECT_TRUE(same_bytes(buf.mem, expected, buf.b.pitch));
}

std::string picture_param_name(const testing::TestParamInfo<picture_param> &info)
{
	const auto &[type, size, extra, format] = info.param;
	return kind_name(type) + "_" + std::to_string(size.first) + "x" +
	       std::to_string(size.second) + "_pitch_plus_" + std::to_string(extra) +
	       (format == DRM_FORMAT_XRGB8888 ? "_xr24" : "_rg24");
}

INSTANTIATE_TEST_SUITE_P(kinds, jpeg_decoder_pictures,
                         testing::Combine(testing::Values(kind::color420, kind::color444,
                                                          kind::gray, kind::progressive,
                                                          kind::restart),
                                          testing::Values(std::pair<uint32_t, uint32_t>{64, 48},
                                                          std::pair<uint32_t, uint32_t>{33, 17},
                                                          std::pair<uint32_t, uint32_t>{1, 1}),
                                          testing::Values(0, 64, 13),
                                          testing::Values(uint32_t{DRM_FORMAT_RGB888},
                                                          uint32_t{DRM_FORMAT_XRGB8888})),
                         picture_param_name);

// Centred: a smaller picture in the middle of the buffer, a larger one cropped to its middle,
// in both directions and across, in both formats; nothing around it is touched.
TEST_F(jpeg_decoder, centred_picture_goes_to_the_middle_and_is_cropped_where_larger)
{
	struct centred_case {
		kind type;
		uint32_t pw, ph, bw, bh;
	};
	const centred_case cases[] = {
	        {kind::color420, 32, 24, 64, 48},    {kind::color444, 33, 17, 64, 48},
	        {kind::gray, 80, 60, 64, 48},        {kind::color420, 80, 20, 64, 48},
	        {kind::progressive, 64, 48, 64, 48}, {kind::color444, 65, 49, 64, 48},
	};
	for (const centred_case &c : cases)
		for (uint32_t format :
		     {uint32_t{DRM_FORMAT_RGB888}, uint32_t{DRM_FORMAT_XRGB8888}}) {
			SCOPED_TRACE(kind_name(c.type) + " " + std::to_string(c.pw) + "x" +
			             std::to_string(c.ph) + " into " + std::to_string(c.bw) + "x" +
			             std::to_string(c.bh) +
			             (format == DRM_FORMAT_XRGB8888 ? " XR24" : ""));
			const bytes jpeg = compress({c.type, c.pw, c.ph});
			const std::string path = write("0.jpg", jpeg);
			const uint64_t pitch = uint64_t{c.bw} * 4 + 8;
			test_buffer buf(c.bw, c.bh, pitch, pitch * c.bh, format);
			const bytes expected = with_picture(buf, library_decode(path), true);
			const output o =
			        capture([&] { jpeg_sf_decode_centred(path.c_str(), &buf.b); });
			EXPECT_EQ(o.out, "");
			EXPECT_EQ(o.err, "");
			EXPECT_TRUE(same_bytes(buf.mem, expected, pitch));
		}
}

// --- layout -------------------------------------------------------------------------------

TEST_F(jpeg_decoder, smaller_picture_goes_to_the_top_left_corner)
{
	const bytes jpeg = compress({kind::color444, 32, 24});
	const std::string path = write("0.jpg", jpeg);
	test_buffer buf(64, 48, 192);
	const bytes expected = with_picture(buf, library_decode(path));
	const output o = capture([&] { jpeg_sf_decode(path.c_str(), &buf.b); });
	EXPECT_EQ(o.out, "");
	EXPECT_TRUE(same_bytes(buf.mem, expected, 192));
}

// --- pictures that do not fit, and what is not a colour or gray picture ---------------------

TEST_F(jpeg_decoder, too_large_picture_prints_the_resolution_line_and_writes_nothing)
{
	const std::string path = write("0.jpg", compress({kind::color420, 64, 48}));
	struct fb {
		uint32_t width, height;
		uint64_t pitch, size;
		const char *line;
	};
	const fb cases[] = {
	        {32, 24, 96, 96 * 24,
	         "jpeg_sf_decode: jpeg reslution(64x48) not match fb(32x24)\n"},
	        // Wide enough but one row short, and the other way round.
	        {64, 47, 192, 192 * 48,
	         "jpeg_sf_decode: jpeg reslution(64x48) not match fb(64x47)\n"},
	        {63, 48, 192, 192 * 48,
	         "jpeg_sf_decode: jpeg reslution(64x48) not match fb(63x48)\n"},
	        // Right size, but one byte less memory than the picture needs.
	        {64, 48, 192, 192 * 48 - 1,
	         "jpeg_sf_decode: jpeg reslution(64x48) not match fb(64x48)\n"},
	};
	for (const fb &c : cases) {
		SCOPED_TRACE(c.line);
		test_buffer buf(c.width, c.height, c.pitch, c.size);
		expect_refused(path, buf, c.line, "");
	}
}

TEST_F(jpeg_decoder, picture_of_the_largest_size_is_checked_without_overflow)
{
	// A 16 x 16 picture whose frame header is made to say 65500 x 65500, the largest size the
	// library accepts. 65500 * 65500 * 3 wraps to 4281572908 in 32 bits: a buffer claiming that
	// many bytes must still be refused.
	bytes jpeg = compress({kind::color420, 16, 16});
	const size_t sof = find_marker(jpeg, 0xc0);
	ASSERT_LT(sof, jpeg.size());
	// FF C0, length (2), precision (1), height (2), width (2)
	jpeg[sof + 5] = 0xff;
	jpeg[sof + 6] = 0xdc;
	jpeg[sof + 7] = 0xff;
	jpeg[sof + 8] = 0xdc;
	const std::string path = write("0.jpg", jpeg);

	expect_size(path, 65500, 65500);

	test_buffer buf(16, 16, 48);
	buf.b.width = 65500;
	buf.b.height = 65500;
	buf.b.pitch = 65500 * 3;
	buf.b.size = 4281572908u;
	expect_refused(path, buf,
	               "jpeg_sf_decode: jpeg reslution(65500x65500) not match fb(65500x65500)\n",
	               "");
}

TEST_F(jpeg_decoder, four_component_picture_prints_the_channel_line_and_writes_nothing)
{
	const std::string path = write("0.jpg", compress({kind::cmyk, 32, 24}));

	expect_size(path, 32, 24);

	const std::string line =
	        "Error: the number of color channels is 4.\tThis program only handles 1 or 3\n";
	test_buffer buf(32, 24, 96);
	expect_refused(path, buf, line, "");
	// Into XR24 as well: the library is not asked for XR24's order of four components.
	test_buffer xr24(32, 24, 128, 128 * 24, DRM_FORMAT_XRGB8888);
	expect_refused(path, xr24, line, "");
	// Too large as well: the size check comes first and is the only message.
	test_buffer small(16, 24, 48);
	expect_refused(path, small, "jpeg_sf_decode: jpeg reslution(32x24) not match fb(16x24)\n",
	               "");
}

// --- no buffer, no mapping, no file ---------------------------------------------------------

TEST_F(jpeg_decoder, no_buffer_opens_nothing_and_prints_nothing)
{
	// A missing file would print the fopen line if it were opened.
	const std::string missing = (dir_ / "missing.jpg").string();
	const output o = capture([&] { jpeg_sf_decode(missing.c_str(), nullptr); });
	EXPECT_EQ(o.out + o.err, "");
}

TEST_F(jpeg_decoder, buffer_without_mapping_is_skipped_silently)
{
	const std::string path = write("0.jpg", compress({kind::color420, 64, 48}));
	bo unmapped{};
	unmapped.width = 8; // too small as well: the missing mapping is found first
	unmapped.height = 8;
	unmapped.pitch = 24;
	const long fds = open_descriptors();
	const output o = capture([&] { jpeg_sf_decode(path.c_str(), &unmapped); });
	EXPECT_EQ(o.out + o.err, "");
	EXPECT_EQ(open_descriptors(), fds);
}

TEST_F(jpeg_decoder, missing_file)
{
	const std::string missing = (dir_ / "7.jpg").string();
	expect_size(missing, 0, 0);
	test_buffer buf(64, 48, 192);
	expect_refused(missing, buf, "", "fopen fail: No such file or directory\n");
}

// --- files the library rejects: its message, and the process goes on -------------------------

struct bad_file {
	const char *name;
	std::function<bytes()> make;
	const char *message; // the library's own words, as its standard manager prints them
};

TEST_F(jpeg_decoder, library_errors_end_only_the_call)
{
	const bytes good = compress({kind::color420, 64, 48});
	const bad_file cases[] = {
	        {"png data",
	         [] {
		         return bytes{0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13,
		                      'I',  'H', 'D', 'R', 0,    0,    0,    64,   0, 0, 0, 48};
	         },
	         "Not a JPEG file: starts with 0x89 0x50\n"},
	        {"empty file", [] { return bytes{}; }, "Empty input file\n"},
	        {"truncated in the header",
	         [&] {
		         // Cut inside the first quantisation table: the library inserts an end of
		         // image and then finds no image.
		         return bytes(good.begin(), good.begin() + 30);
	         },
	         "Premature end of JPEG file\nJPEG datastream contains no image\n"},
	        {"corrupt header: 12-bit precision",
	         [&] {
		         bytes b = good;
		         b.at(find_marker(b, 0xc0) + 4) = 12;
		         return b;
	         },
	         "Unsupported JPEG data precision 12\n"},
	        {"corrupt header: width beyond the limit",
	         [&] {
		         bytes b = good;
		         const size_t sof = find_marker(b, 0xc0);
		         b.at(sof + 7) = 0xff; // 65501
		         b.at(sof + 8) = 0xdd;
		         return b;
	         },
	         "Maximum supported image dimension is 65500 pixels\n"},
	};

	for (const bad_file &c : cases) {
		SCOPED_TRACE(c.name);
		const std::string path = write("0.jpg", c.make());
		expect_size(path, 0, 0, c.message);
		test_buffer buf(64, 48, 192);
		expect_refused(path, buf, "", c.message);
	}

	// Still alive, and the next frame decodes as usual.
	const std::string path = write("1.jpg", good);
	test_buffer buf(64, 48, 192);
	jpeg_sf_decode(path.c_str(), &buf.b);
	EXPECT_EQ(buf.mem, library_decode(path).rgb);
}

TEST_F(jpeg_decoder, error_after_the_rows_keeps_the_rows)
{
	// A second frame header after the picture data: every row decodes, then finishing the
	// decompression meets the marker and fails.
	const bytes good = compress({kind::color420, 64, 48});
	bytes b = good;
	const size_t sof = find_marker(b, 0xc0);
	ASSERT_LT(sof, b.size());
	const size_t sof_len = 2 + (size_t{b[sof + 2]} << 8 | b[sof + 3]);
	b.insert(b.end() - 2, good.begin() + sof, good.begin() + sof + sof_len);
	const std::string path = write("0.jpg", b);

	test_buffer buf(64, 48, 192);
	const long fds = open_descriptors();
	const output o = capture([&] { jpeg_sf_decode(path.c_str(), &buf.b); });
	EXPECT_EQ(o.out, "");
	EXPECT_EQ(o.err, "Invalid JPEG file structure: two SOF markers\n");
	EXPECT_EQ(buf.mem, library_decode(write("good.jpg", good)).rgb);
	EXPECT_EQ(open_descriptors(), fds);
}

TEST_F(jpeg_decoder, truncated_picture_data_is_padded_with_a_warning)
{
	// Warnings keep the library's standard handling: printed once, and decoding goes on.
	const bytes good = compress({kind::color420, 64, 48});
	const bytes cut(good.begin(), good.begin() + static_cast<long>(good.size() * 2 / 3));
	const std::string path = write("0.jpg", cut);

	expect_size(path, 64, 48);

	decoded reference;
	const output library_out = capture([&] { reference = library_decode(path); });
	ASSERT_EQ(library_out.err, "Premature end of JPEG file\n");

	test_buffer buf(64, 48, 192);
	const output o = capture([&] { jpeg_sf_decode(path.c_str(), &buf.b); });
	EXPECT_EQ(o.out, "");
	EXPECT_EQ(o.err, "Premature end of JPEG file\n");
	EXPECT_EQ(buf.mem, reference.rgb);
	EXPECT_NE(buf.mem, library_decode(write("good.jpg", good)).rgb);
}

// --- hostile files ---------------------------------------------------------------------------

TEST_F(jpeg_decoder, progressive_frame_with_too_many_scans_is_abandoned)
{
	// The last scan repeated until the file holds `total` scans: each repetition is a bogus
	// progression the library only warns about, and decodes again.
	const auto with_scans = [&](int total) {
		bytes b = compress({kind::progressive, 64, 48});
		std::vector<size_t> scans;
		for (size_t at = find_marker(b, 0xda); at < b.size();
		     at = find_marker(b, 0xda, at + 2))
			scans.push_back(at);
		const bytes scan(b.begin() + static_cast<long>(scans.back()), b.end() - 2);
		for (size_t i = scans.size(); i < size_t(total); i++)
			b.insert(b.end() - 2, scan.begin(), scan.end());
		return write(std::to_string(total) + ".jpg", b);
	};
	const std::string warning =
	        "Inconsistent progression sequence for component 0 coefficient 1\n";

	test_buffer buf(64, 48, 192);
	// The library's warning is printed once, for the first repetition.
	expect_refused(with_scans(300), buf,
	               "jpeg_sf_decode: more than 100 scans, frame abandoned\n", warning);
	// A hundred scans are still a frame.
	bool decoded = false;
	const std::string hundred = with_scans(100);
	const output o = capture([&] { decoded = jpeg_sf_decode(hundred.c_str(), &buf.b); });
	EXPECT_TRUE(decoded);
	EXPECT_EQ(o.out, "");
	EXPECT_EQ(o.err, warning);
}

TEST_F(jpeg_decoder, forged_progressive_header_gets_no_huge_allocation)
{
	// A 16 x 16 progressive 4:4:4 picture whose header says 8192 x 8192: the library would
	// want 384 MiB of coefficients; its memory limit refuses them before any row.
	bytes b = compress({kind::progressive, 16, 16});
	const size_t sof = find_marker(b, 0xc2);
	ASSERT_LT(sof, b.size());
	for (size_t c = 0; c < 3; c++)
		b[sof + 11 + 3 * c] = 0x11;
	b[sof + 5] = 0x20;
	b[sof + 6] = 0x00;
	b[sof + 7] = 0x20;
	b[sof + 8] = 0x00;
	const std::string path = write("0.jpg", b);

	// A buffer that claims the whole size over a small memory: nothing may be written.
	test_buffer buf(16, 16, 48);
	buf.b.width = 8192;
	buf.b.height = 8192;
	buf.b.pitch = 8192 * 3;
	buf.b.size = uint64_t{8192} * 8192 * 3;
	expect_refused(path, buf, "", "Backing store not supported\n");
}

TEST_F(jpeg_decoder, only_regular_files_are_opened)
{
	const std::string fifo = (dir_ / "0.jpg").string(), sub = (dir_ / "1.jpg").string();
	ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
	ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
	struct want {
		std::string path, err;
	};
	// A FIFO without a writer would block an ordinary open for ever.
	for (const want &c : {want{fifo, "fopen fail: Invalid argument\n"},
	                      want{sub, "fopen fail: Is a directory\n"},
	                      want{"/dev/zero", "fopen fail: Invalid argument\n"}}) {
		SCOPED_TRACE(c.path);
		expect_size(c.path, 0, 0);
		test_buffer buf(64, 48, 192);
		expect_refused(c.path, buf, "", c.err);
	}
}

} // namespace
