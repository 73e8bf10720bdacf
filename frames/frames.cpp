#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frames/frames.h"

const char k_prepare_usage[] =
        "bootanim-frames prepare SRC DEST --size WxH [--fps N] [--quality Q] [--drm-order]\n"
        "       [--rotate 0|90|180|270 | --orientation NAME] [--fit stretch|contain|cover]\n"
        "       [--background RRGGBB]\n";
const char k_check_usage[] =
        "bootanim-frames check DIR [--mode WxH] [--refresh HZ] [--allow-gaps]\n";

bool parse_size(const char *text, int *width, int *height)
{
	char *end = nullptr;
	const long w = strtol(text, &end, 10);
	if (end == text || *end != 'x')
		return false;
	const char *h_text = end + 1;
	const long h = strtol(h_text, &end, 10);
	if (end == h_text || *end != '\0' || w < 1 || h < 1 || w > 65500 || h > 65500)
		return false;
	*width = int(w);
	*height = int(h);
	return true;
}

bool holdable(uint64_t width, uint64_t height, uint64_t size)
{
	// Each factor is at most 65500 or a pixel's few bytes: the product fits 64 bits.
	return width * height * size <= uint64_t(PTRDIFF_MAX);
}

int frames_main(int argc, char **argv)
{
	if (argc >= 2 && strcmp(argv[1], "prepare") == 0)
		return frames_prepare(argc - 1, argv + 1);
	if (argc >= 2 && strcmp(argv[1], "check") == 0)
		return frames_check(argc - 1, argv + 1);
	fprintf(stderr, "usage: %s       %s", k_prepare_usage, k_check_usage);
	return 2;
}
