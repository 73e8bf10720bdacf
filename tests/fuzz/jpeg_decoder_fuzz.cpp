// A frame file as any bytes: the size probe, then the decode into a buffer whose pitch is wider
// than the picture, with one more row below it. Nothing outside the picture's rows and bytes may
// change.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "decode/jpeg_decoder.h"

namespace
{

// Pictures beyond this are refused by the player on small cards anyway; larger ones only slow
// the fuzzer down.
constexpr uint64_t k_max_pixels = uint64_t{1} << 20;
constexpr uint64_t k_pitch_extra = 13;

const std::string &frame_path()
{
	static const std::string path = "/tmp/bootanim-fuzz-" + std::to_string(getpid()) + ".jpg";
	return path;
}

uint8_t pattern(size_t i)
{
	return static_cast<uint8_t>(i * 131 + 7);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	const std::string &path = frame_path();
	FILE *f = fopen(path.c_str(), "wb");
	if (!f)
		abort();
	fwrite(data, 1, size, f);
	fclose(f);

	int width = -1, height = -1;
	jpeg_get_size(path.c_str(), &width, &height);
	if (width < 0 || height < 0 || (width == 0) != (height == 0))
		abort();
	if (width == 0 || uint64_t(width) * uint64_t(height) > k_max_pixels)
		return 0;

	const uint64_t pitch = uint64_t(width) * 3 + k_pitch_extra;
	std::vector<uint8_t> mem(pitch * (uint64_t(height) + 1));
	for (size_t i = 0; i < mem.size(); i++)
		mem[i] = pattern(i);
	bo b{.fd = -1,
	     .ptr = mem.data(),
	     .size = pitch * uint64_t(height),
	     .pitch = pitch,
	     .width = uint32_t(width),
	     .height = uint32_t(height),
	     .format = 0x34324752 /* RG24 */};
	jpeg_sf_decode(path.c_str(), &b);

	for (size_t i = 0; i < mem.size(); i++) {
		const bool inside = i / pitch < uint64_t(height) && i % pitch < uint64_t(width) * 3;
		if (!inside && mem[i] != pattern(i))
			abort();
	}
	if (b.ptr != mem.data() || b.pitch != pitch || b.width != uint32_t(width) ||
	    b.height != uint32_t(height) || b.fb_id != 0)
		abort();
	return 0;
}
