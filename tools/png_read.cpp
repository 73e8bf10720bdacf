#include "tools/png_read.h"

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

namespace
{

uint32_t be32(const uint8_t *p)
{
	return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// The payload of a zlib stream made of stored deflate blocks.
bool inflate_stored(const std::vector<uint8_t> &z, std::vector<uint8_t> &out, std::string &why)
{
	if (z.size() < 6 || (z[0] & 0x0f) != 8 || ((z[0] << 8) | z[1]) % 31 != 0) {
		why = "not a zlib stream";
		return false;
	}
	size_t pos = 2;
	for (;;) {
		if (pos + 5 > z.size()) {
			why = "truncated deflate data";
			return false;
		}
		const uint8_t head = z[pos];
		if ((head >> 1 & 3) != 0) {
			why = "compressed deflate blocks are not supported";
			return false;
		}
		const size_t len = z[pos + 1] | z[pos + 2] << 8;
		const size_t nlen = z[pos + 3] | z[pos + 4] << 8;
		if ((len ^ 0xffff) != nlen || pos + 5 + len > z.size()) {
			why = "bad stored block";
			return false;
		}
		out.insert(out.end(), z.begin() + long(pos + 5), z.begin() + long(pos + 5 + len));
		pos += 5 + len;
		if (head & 1)
			return true;
	}
}

uint8_t paeth(int a, int b, int c)
{
	const int p = a + b - c;
	const int pa = abs(p - a), pb = abs(p - b), pc = abs(p - c);
	if (pa <= pb && pa <= pc)
		return uint8_t(a);
	return uint8_t(pb <= pc ? b : c);
}

// Undoes the per-row filters of 8-bit RGB rows (3 bytes per pixel).
bool unfilter(const std::vector<uint8_t> &raw, sim::image &img, std::string &why)
{
	const size_t row = size_t(img.width) * 3;
	if (raw.size() != (row + 1) * img.height) {
		why = "image data of the wrong size";
		return false;
	}
	img.rgb.assign(row * img.height, 0);
	for (size_t y = 0; y < img.height; y++) {
		const uint8_t type = raw[y * (row + 1)];
		const uint8_t *in = &raw[y * (row + 1) + 1];
		uint8_t *cur = &img.rgb[y * row];
		const uint8_t *prev = y > 0 ? &img.rgb[(y - 1) * row] : nullptr;
		for (size_t x = 0; x < row; x++) {
			const int a = x >= 3 ? cur[x - 3] : 0;
			const int b = prev ? prev[x] : 0;
			const int c = prev && x >= 3 ? prev[x - 3] : 0;
			int pred;
			switch (type) {
			case 0:
				pred = 0;
				break;
			case 1:
				pred = a;
				break;
			case 2:
				pred = b;
				break;
			case 3:
				pred = (a + b) / 2;
				break;
			case 4:
				pred = paeth(a, b, c);
				break;
			default:
				why = "unknown row filter";
				return false;
			}
			cur[x] = uint8_t(in[x] + pred);
		}
	}
	return true;
}

} // namespace

std::optional<sim::image> read_png(const std::string &path, std::string &error)
{
	std::ifstream in(path, std::ios::binary);
	const std::vector<uint8_t> file{std::istreambuf_iterator<char>(in),
	                                std::istreambuf_iterator<char>()};
	static const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
	std::string why;
	sim::image img;
	std::vector<uint8_t> idat;
	bool header = false, end = false;
	if (!in.is_open()) {
		why = "cannot be read";
	} else if (file.size() < 8 || !std::equal(signature, signature + 8, file.begin())) {
		why = "not a PNG file";
	} else {
		size_t pos = 8;
		while (!end && why.empty()) {
			if (pos + 12 > file.size()) {
				why = "truncated chunk";
				break;
			}
			const uint32_t len = be32(&file[pos]);
			const std::string type(file.begin() + long(pos + 4),
			                       file.begin() + long(pos + 8));
			if (pos + 12 + len > file.size()) {
				why = "truncated chunk";
				break;
			}
			const uint8_t *data = &file[pos + 8];
			if (type == "IHDR") {
				if (len != 13 || data[8] != 8 || data[9] != 2 || data[12] != 0)
					why = "only 8-bit RGB images without interlace are "
					      "supported";
				img.width = be32(data);
				img.height = be32(data + 4);
				header = true;
			} else if (type == "IDAT") {
				idat.insert(idat.end(), data, data + len);
			} else if (type == "IEND") {
				end = true;
			}
			pos += 12 + len;
		}
		if (why.empty() && (!header || !end || img.width == 0 || img.height == 0))
			why = "missing IHDR, IDAT or IEND";
		std::vector<uint8_t> raw;
		if (why.empty() && inflate_stored(idat, raw, why))
			unfilter(raw, img, why);
	}
	if (!why.empty()) {
		error = path + ": " + why;
		return std::nullopt;
	}
	return img;
}
