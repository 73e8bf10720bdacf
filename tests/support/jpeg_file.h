// JPEG pictures made with libjpeg's own compressor, for the tests, the benchmarks and the
// sample-frame maker, and libjpeg's own decode of them to compare with.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct rgb_picture {
	int width = 0;
	int height = 0;
	int components = 3;        // 3 (RGB), 1 (gray) or, for the writer, 4 (CMYK)
	std::vector<uint8_t> data; // width * height * components samples, row after row
};

// A smooth, distinct test picture: every frame number gives other colours.
rgb_picture test_picture(int width, int height, int variant, int components = 3);

struct jpeg_options {
	int quality = 90;
	bool progressive = false;
	bool full_chroma = false;      // 4:4:4; colour is 4:2:0 otherwise
	unsigned restart_interval = 0; // MCUs between restart markers, 0 for none
};

// `p` compressed; empty on failure.
std::vector<uint8_t> encode_jpeg(const rgb_picture &p, const jpeg_options &o = {});

// `p` compressed into `path`; false on failure.
bool write_jpeg(const std::string &path, const rgb_picture &p, const jpeg_options &o);
bool write_jpeg(const std::string &path, const rgb_picture &p, int quality = 90,
                bool progressive = false);

// `data` as the whole of `path`; false on failure.
bool write_file(const std::string &path, const std::vector<uint8_t> &data);

// What libjpeg itself decodes from `path` (3 components red first, or 1 for gray).
rgb_picture decode_jpeg(const std::string &path);

// The frame header of `path` as libjpeg reads it; all zero when it cannot be opened.
struct jpeg_header {
	int width = 0, height = 0;
	std::string sampling;  // each component's factors: "2x2 1x1 1x1" for 4:2:0
	bool baseline = false; // a baseline frame (SOF0), not a progressive one
};
jpeg_header read_jpeg_header(const std::string &path);

// A fresh empty directory under /tmp, removed with everything in it by remove_tree.
std::string make_temp_dir();
void remove_tree(const std::string &dir);
