// Screen images as files a person can open: binary PPM, and PNG with uncompressed (stored)
// deflate blocks so that no compression library is needed.
#include "sim/sim.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>

namespace sim
{

namespace
{

struct file_closer {
	void operator()(FILE *f) const noexcept
	{
		fclose(f);
	}
};
using file_holder = std::unique_ptr<FILE, file_closer>;

bool image_valid(const image &img)
{
	return img.width > 0 && img.height > 0 &&
	       img.rgb.size() == size_t(img.width) * img.height * 3;
}

// Writes the whole buffer and closes the file; a short write or a failed close (a full disk)
// makes the image unusable, so both count as failure.
bool write_file(const std::string &path, const std::vector<uint8_t> &bytes)
{
	file_holder f(fopen(path.c_str(), "wb"));
	if (!f)
		return false;
	const bool written = fwrite(bytes.data(), 1, bytes.size(), f.get()) == bytes.size();
	return fclose(f.release()) == 0 && written;
}

std::array<uint32_t, 256> make_crc_table()
{
	std::array<uint32_t, 256> table{};
	for (uint32_t n = 0; n < 256; n++) {
		uint32_t c = n;
		for (int k = 0; k < 8; k++)
			c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
		table[n] = c;
	}
	return table;
}

uint32_t crc32(const uint8_t *data, size_t size)
{
	static const std::array<uint32_t, 256> table = make_crc_table();
	uint32_t c = 0xffffffffu;
	for (size_t i = 0; i < size; i++)
		c = table[(c ^ data[i]) & 0xff] ^ (c >> 8);
	return c ^ 0xffffffffu;
}

uint32_t adler32(const std::vector<uint8_t> &data)
{
	// 5552 bytes is the longest run whose sums cannot overflow 32 bits before the modulo.
	constexpr uint32_t mod = 65521;
	uint32_t a = 1, b = 0;
	size_t i = 0;
	while (i < data.size()) {
		const size_t end = std::min(data.size(), i + 5552);
		for (; i < end; i++) {
			a += data[i];
			b += a;
		}
		a %= mod;
		b %= mod;
	}
	return (b << 16) | a;
}

void put_be32(std::vector<uint8_t> &out, uint32_t v)
{
	out.push_back(uint8_t(v >> 24));
	out.push_back(uint8_t(v >> 16));
	out.push_back(uint8_t(v >> 8));
	out.push_back(uint8_t(v));
}

void put_chunk(std::vector<uint8_t> &out, const char (&type)[5], const std::vector<uint8_t> &data)
{
	put_be32(out, uint32_t(data.size()));
	const size_t start = out.size();
	out.insert(out.end(), type, type + 4);
	out.insert(out.end(), data.begin(), data.end());
	put_be32(out, crc32(out.data() + start, out.size() - start));
}

// A zlib stream of stored deflate blocks (each at most 65535 bytes) holding `raw`.
std::vector<uint8_t> zlib_stored(const std::vector<uint8_t> &raw)
{
	std::vector<uint8_t> z;
	z.reserve(raw.size() + raw.size() / 65535 * 5 + 16);
	z.push_back(0x78); // deflate, 32 KiB window
	z.push_back(0x01); // no dictionary, fastest level; 0x7801 is a multiple of 31
	size_t pos = 0;
	do {
		const size_t len = std::min<size_t>(raw.size() - pos, 65535);
		const bool last = pos + len == raw.size();
		z.push_back(last ? 1 : 0); // BFINAL, BTYPE 00
		z.push_back(uint8_t(len));
		z.push_back(uint8_t(len >> 8));
		z.push_back(uint8_t(~len));
		z.push_back(uint8_t(~len >> 8));
		z.insert(z.end(), raw.begin() + long(pos), raw.begin() + long(pos + len));
		pos += len;
	} while (pos < raw.size());
	put_be32(z, adler32(raw));
	return z;
}

} // namespace

bool write_ppm(const image &img, const std::string &path)
{
	if (!image_valid(img))
		return false;
	const std::string header =
	        "P6\n" + std::to_string(img.width) + " " + std::to_string(img.height) + "\n255\n";
	std::vector<uint8_t> bytes(header.begin(), header.end());
	bytes.insert(bytes.end(), img.rgb.begin(), img.rgb.end());
	return write_file(path, bytes);
}

bool write_png(const image &img, const std::string &path)
{
	if (!image_valid(img))
		return false;
	const size_t row = size_t(img.width) * 3;
	std::vector<uint8_t> raw;
	raw.reserve((row + 1) * img.height);
	for (uint32_t y = 0; y < img.height; y++) {
		raw.push_back(0); // filter type None
		raw.insert(raw.end(), img.rgb.begin() + long(y * row),
		           img.rgb.begin() + long((y + 1) * row));
	}

	std::vector<uint8_t> ihdr;
	put_be32(ihdr, img.width);
	put_be32(ihdr, img.height);
	ihdr.push_back(8); // bits per sample
	ihdr.push_back(2); // truecolour RGB
	ihdr.push_back(0); // deflate
	ihdr.push_back(0); // adaptive filtering
	ihdr.push_back(0); // not interlaced

	std::vector<uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
	put_chunk(out, "IHDR", ihdr);
	put_chunk(out, "IDAT", zlib_stored(raw));
	put_chunk(out, "IEND", {});
	return write_file(path, out);
}

} // namespace sim
