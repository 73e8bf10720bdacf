// JPEG pictures made by the tests with libjpeg's own compressor, and libjpeg's own decode of
// them to compare with.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct rgb_picture {
	int width = 0;
	int height = 0;
	int components = 3;        // 3 (RGB), 1 (gray) or, for write_jpeg, 4 (CMYK)
	std::vector<uint8_t> data; // width * height * components samples, row after row
};

// A smooth, distinct test picture: every frame number gives other colours.
rgb_picture test_picture(int width, int height, int variant, int components = 3);

// Compresses `p` into `path` (baseline unless `progressive`, quality 90, 4:2:0 for colour);
// false on failure.
bool write_jpeg(const std::string &path, const rgb_picture &p, int quality = 90,
                bool progressive = false);

// What libjpeg itself decodes from `path` (3 components red first, or 1 for gray).
rgb_picture decode_jpeg(const std::string &path);

// A fresh empty directory under /tmp, removed with everything in it by remove_tree.
std::string make_temp_dir();
void remove_tree(const std::string &dir);
