// Screen images written as PPM and PNG; the PNGs are read back with libpng.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include <png.h>

#include "sim/sim.h"

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

struct png_contents {
	uint32_t width = 0, height = 0;
	std::vector<uint8_t> rgb;
};

// The picture as libpng reads it, which checks every CRC, the zlib stream and its Adler-32;
// ADD_FAILURE when it refuses the file.
png_contents decode_png(const std::string &path)
{
	png_contents out;
	png_image pi{};
	pi.version = PNG_IMAGE_VERSION;
	if (!png_image_begin_read_from_file(&pi, path.c_str())) {
		ADD_FAILURE() << pi.message;
		return out;
	}
	pi.format = PNG_FORMAT_RGB;
	out.rgb.resize(PNG_IMAGE_SIZE(pi));
	if (!png_image_finish_read(&pi, nullptr, out.rgb.data(), 0, nullptr))
		ADD_FAILURE() << pi.message;
	out.width = pi.width;
	out.height = pi.height;
	return out;
}

// The chunk types in file order; "?" for bytes that are no whole chunk.
std::vector<std::string> chunks_of(const std::vector<uint8_t> &f)
{
	std::vector<std::string> types;
	size_t pos = 8;
	while (pos + 12 <= f.size()) {
		const size_t len =
		        size_t(f[pos]) << 24 | f[pos + 1] << 16 | f[pos + 2] << 8 | f[pos + 3];
		types.emplace_back(f.begin() + long(pos + 4), f.begin() + long(pos + 8));
		pos += 12 + len;
	}
	if (pos != f.size())
		types.push_back("?");
	return types;
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
	for (const auto &[w, h] : {std::pair{1u, 1u}, std::pair{7u, 5u}, std::pair{64u, 48u},
	                           std::pair{300u, 200u}, std::pair{1920u, 1080u}}) {
		SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
		const sim::image img = gradient(w, h);
		const std::string path = temp_path("b.png");
		ASSERT_TRUE(sim::write_png(img, path));
		const std::vector<uint8_t> f = read_bytes(path);
		EXPECT_EQ(chunks_of(f), (std::vector<std::string>{"IHDR", "IDAT", "IEND"}));
		const png_contents png = decode_png(path);
		EXPECT_EQ(png.width, w);
		EXPECT_EQ(png.height, h);
		EXPECT_TRUE(png.rgb == img.rgb);
		// Stored, not compressed: every byte of every row with its filter byte.
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

} // namespace
