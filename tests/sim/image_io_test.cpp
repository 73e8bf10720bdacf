// Screen images written as PPM and PNG, read back by an independent reader (and by libpng when
// the build found it).
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "sim/sim.h"

#ifdef SIMKMS_HAVE_LIBPNG
#include <png.h>
#endif

namespace
{

std::string temp_path(const std::string &name)
{
	return testing::TempDir() + "simkms-image-" + std::to_string(getpid()) + "-" + name;
}

std::vector<uint8_t> read_bytes(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A picture where every pixel differs from its neighbours: a swapped or shifted row shows.
sim::image gradient(uint32_t w, uint32_t h)
{
	sim::image img;
	img.width = w;
	img.height = h;
	img.rgb.resize(size_t(w) * h * 3);
	for (uint32_t y = 0; y < h; y++)
		for (uint32_t x = 0; x < w; x++) {
			uint8_t *p = &img.rgb[(size_t(y) * w + x) * 3];
			p[0] = uint8_t(x * 7 + y);
			p[1] = uint8_t(y * 5 + 3);
			p[2] = uint8_t(x ^ y);
		}
	return img;
}

// Bit-by-bit CRC-32 (ISO-HDLC) and Adler-32, written from their definitions.
uint32_t crc32_bitwise(const uint8_t *p, size_t n)
{
	uint32_t crc = 0xffffffffu;
	for (size_t i = 0; i < n; i++) {
		crc ^= p[i];
		for (int k = 0; k < 8; k++)
			crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1)));
	}
	return ~crc;
}

uint32_t adler32_plain(const std::vector<uint8_t> &d)
{
	uint64_t a = 1, b = 0;
	for (uint8_t c : d) {
		a = (a + c) % 65521;
		b = (b + a) % 65521;
	}
	return uint32_t(b << 16 | a);
}

uint32_t be32(const uint8_t *p)
{
	return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

struct png_contents {
	uint32_t width = 0, height = 0;
	std::vector<uint8_t> rgb;
	std::vector<std::string> chunks;
};

// Reads a PNG made of stored deflate blocks, checking every CRC, the zlib header and the
// Adler-32; ADD_FAILURE on anything else.
png_contents read_stored_png(const std::vector<uint8_t> &f)
{
	png_contents out;
	const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
	if (f.size() < 8 || !std::equal(signature, signature + 8, f.begin())) {
		ADD_FAILURE() << "no PNG signature";
		return out;
	}
	std::vector<uint8_t> zdata;
	size_t pos = 8;
	while (pos + 12 <= f.size()) {
		const uint32_t len = be32(&f[pos]);
		if (pos + 12 + len > f.size()) {
			ADD_FAILURE() << "chunk runs past the end";
			return out;
		}
		const std::string type(f.begin() + long(pos + 4), f.begin() + long(pos + 8));
		out.chunks.push_back(type);
		EXPECT_EQ(be32(&f[pos + 8 + len]), crc32_bitwise(&f[pos + 4], len + 4)) << type;
		const uint8_t *data = &f[pos + 8];
		if (type == "IHDR") {
			EXPECT_EQ(len, 13u);
			out.width = be32(data);
			out.height = be32(data + 4);
			EXPECT_EQ(data[8], 8);  // bit depth
			EXPECT_EQ(data[9], 2);  // RGB
			EXPECT_EQ(data[10], 0); // deflate
			EXPECT_EQ(data[11], 0); // filter method
			EXPECT_EQ(data[12], 0); // no interlace
		} else if (type == "IDAT") {
			zdata.insert(zdata.end(), data, data + len);
		}
		pos += 12 + len;
	}
	EXPECT_EQ(pos, f.size()) << "bytes after the last chunk";

	if (zdata.size() < 6) {
		ADD_FAILURE() << "no zlib stream";
		return out;
	}
	EXPECT_EQ(zdata[0] & 0x0f, 8) << "deflate";
	EXPECT_EQ((zdata[0] << 8 | zdata[1]) % 31, 0) << "zlib header check";
	EXPECT_EQ(zdata[1] & 0x20, 0) << "no preset dictionary";
	std::vector<uint8_t> raw;
	size_t z = 2;
	bool final = false;
	while (!final && z + 5 <= zdata.size()) {
		final = zdata[z] & 1;
		EXPECT_EQ(zdata[z] >> 1 & 3, 0) << "stored block";
		const uint16_t len = uint16_t(zdata[z + 1] | zdata[z + 2] << 8);
		const uint16_t nlen = uint16_t(zdata[z + 3] | zdata[z + 4] << 8);
		EXPECT_EQ(uint16_t(~len), nlen);
		z += 5;
		if (z + len > zdata.size()) {
			ADD_FAILURE() << "stored block runs past the stream";
			return out;
		}
		raw.insert(raw.end(), zdata.begin() + long(z), zdata.begin() + long(z + len));
		z += len;
	}
	EXPECT_TRUE(final);
	EXPECT_EQ(z + 4, zdata.size());
	if (z + 4 <= zdata.size()) {
		EXPECT_EQ(be32(&zdata[z]), adler32_plain(raw));
	}

	const size_t row = size_t(out.width) * 3;
	EXPECT_EQ(raw.size(), (row + 1) * out.height);
	for (uint32_t y = 0; y < out.height && (y + 1) * (row + 1) <= raw.size(); y++) {
		const uint8_t *r = &raw[y * (row + 1)];
		EXPECT_EQ(r[0], 0) << "filter of row " << y;
		out.rgb.insert(out.rgb.end(), r + 1, r + 1 + row);
	}
	return out;
}

TEST(image_io, checksums_of_the_test_reader_match_known_values)
{
	const std::string check = "123456789";
	EXPECT_EQ(crc32_bitwise(reinterpret_cast<const uint8_t *>(check.data()), check.size()),
	          0xcbf43926u);
	const std::string wiki = "Wikipedia";
	EXPECT_EQ(adler32_plain({wiki.begin(), wiki.end()}), 0x11e60398u);
}

TEST(image_io, ppm_is_a_p6_header_and_the_rgb_bytes)
{
	const sim::image img = gradient(5, 3);
	const std::string path = temp_path("a.ppm");
	ASSERT_TRUE(sim::write_ppm(img, path));
	const std::vector<uint8_t> f = read_bytes(path);
	const std::string header = "P6\n5 3\n255\n";
	ASSERT_EQ(f.size(), header.size() + img.rgb.size());
	EXPECT_EQ(std::string(f.begin(), f.begin() + long(header.size())), header);
	EXPECT_TRUE(std::equal(img.rgb.begin(), img.rgb.end(), f.begin() + long(header.size())));
	unlink(path.c_str());
}

// A full-HD screen needs many stored blocks; block borders fall inside rows.
TEST(image_io, png_holds_the_pixels_row_by_row)
{
	for (const auto &[w, h] :
	     {std::pair{1u, 1u}, std::pair{7u, 5u}, std::pair{64u, 48u}, std::pair{1920u, 1080u}}) {
		SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
		const sim::image img = gradient(w, h);
		const std::string path = temp_path("b.png");
		ASSERT_TRUE(sim::write_png(img, path));
		const std::vector<uint8_t> f = read_bytes(path);
		const png_contents png = read_stored_png(f);
		EXPECT_EQ(png.chunks, (std::vector<std::string>{"IHDR", "IDAT", "IEND"}));
		EXPECT_EQ(png.width, w);
		EXPECT_EQ(png.height, h);
		EXPECT_TRUE(png.rgb == img.rgb);
		const size_t raw = (w * 3 + 1) * h;
		EXPECT_GE(f.size(), raw + (raw / 65535 + 1) * 5);
		unlink(path.c_str());
	}
}

TEST(image_io, nothing_to_write_or_nowhere_to_write_fails)
{
	const sim::image empty;
	const std::string path = temp_path("d.png");
	EXPECT_FALSE(sim::write_png(empty, path));
	EXPECT_FALSE(sim::write_ppm(empty, path));
	EXPECT_NE(access(path.c_str(), F_OK), 0);

	sim::image short_rgb = gradient(4, 4);
	short_rgb.rgb.pop_back();
	EXPECT_FALSE(sim::write_png(short_rgb, path));
	EXPECT_FALSE(sim::write_ppm(short_rgb, path));

	const sim::image img = gradient(4, 4);
	EXPECT_FALSE(sim::write_png(img, "/nonexistent-simkms-dir/x.png"));
	EXPECT_FALSE(sim::write_ppm(img, "/nonexistent-simkms-dir/x.ppm"));
	if (access("/dev/full", W_OK) == 0) {
		EXPECT_FALSE(sim::write_png(gradient(256, 256), "/dev/full"));
		EXPECT_FALSE(sim::write_ppm(gradient(256, 256), "/dev/full"));
	}
}

TEST(image_io, png_decodes_with_libpng)
{
#ifdef SIMKMS_HAVE_LIBPNG
	const sim::image img = gradient(300, 200);
	const std::string path = temp_path("e.png");
	ASSERT_TRUE(sim::write_png(img, path));
	png_image pi{};
	pi.version = PNG_IMAGE_VERSION;
	ASSERT_TRUE(png_image_begin_read_from_file(&pi, path.c_str())) << pi.message;
	pi.format = PNG_FORMAT_RGB;
	ASSERT_EQ(PNG_IMAGE_SIZE(pi), img.rgb.size());
	std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(pi));
	ASSERT_TRUE(png_image_finish_read(&pi, nullptr, pixels.data(), 0, nullptr)) << pi.message;
	EXPECT_EQ(pi.width, 300u);
	EXPECT_EQ(pi.height, 200u);
	EXPECT_TRUE(pixels == img.rgb);
	unlink(path.c_str());
#else
	GTEST_SKIP() << "libpng was not found when the tests were configured";
#endif
}

} // namespace
