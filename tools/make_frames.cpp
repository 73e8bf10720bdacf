// make_frames: draws a sample boot animation with libjpeg's compressor (the tests' writer) and
// writes the boot.conf that describes it, laid out as the player expects under /mnt/bootanimation:
//
//   <out>/boot.conf        cnt=<count>, path=<frame directory as the player sees it>, fps=<rate>
//   <out>/frames/<k>.jpg   frame k, for k from 0 to count - 1
//
// Usage: make_frames [-n count] [-s WIDTHxHEIGHT] [-r fps] [-p path] [-q quality] <out>
// Defaults: 12 frames of 1920x1080 at 12 frames per second, path /mnt/bootanimation/frames.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "tests/support/jpeg_file.h"

namespace
{

struct options {
	int count = 12;
	int width = 1920;
	int height = 1080;
	int fps = 12;
	int quality = 90;
	std::string path = "/mnt/bootanimation/frames";
	std::string out;
};

struct canvas {
	int width;
	int height;
	std::vector<uint8_t> rgb;

	void fill_rect(int x0, int y0, int x1, int y1, const uint8_t (&c)[3])
	{
		for (int y = std::max(0, y0); y < std::min(height, y1); y++)
			for (int x = std::max(0, x0); x < std::min(width, x1); x++)
				memcpy(&rgb[(size_t(y) * width + x) * 3], c, 3);
	}
};

// Seven-segment digits: bit 0 top, 1 upper right, 2 lower right, 3 bottom, 4 lower left,
// 5 upper left, 6 middle.
constexpr uint8_t k_segments[10] = {0x3f, 0x06, 0x5b, 0x4f, 0x66, 0x6d, 0x7d, 0x07, 0x7f, 0x6f};

void draw_digit(canvas &c, int digit, int x, int y, int h, const uint8_t (&colour)[3])
{
	const int w = h / 2, t = std::max(1, h / 10);
	const uint8_t s = k_segments[digit];
	if (s & 0x01)
		c.fill_rect(x, y, x + w, y + t, colour);
	if (s & 0x02)
		c.fill_rect(x + w - t, y, x + w, y + h / 2, colour);
	if (s & 0x04)
		c.fill_rect(x + w - t, y + h / 2, x + w, y + h, colour);
	if (s & 0x08)
		c.fill_rect(x, y + h - t, x + w, y + h, colour);
	if (s & 0x10)
		c.fill_rect(x, y + h / 2, x + t, y + h, colour);
	if (s & 0x20)
		c.fill_rect(x, y, x + t, y + h / 2, colour);
	if (s & 0x40)
		c.fill_rect(x, y + (h - t) / 2, x + w, y + (h + t) / 2, colour);
}

// Frame k of n: a dusk gradient, a disc travelling along an arc, a progress bar, and the
// frame number, so every frame is told apart at a glance.
canvas draw_frame(int k, int n, int width, int height)
{
	canvas c{width, height, std::vector<uint8_t>(size_t(width) * height * 3)};
	const double t = n > 1 ? double(k) / (n - 1) : 0.0;
	for (int y = 0; y < height; y++) {
		const double v = double(y) / std::max(1, height - 1);
		const uint8_t row[3] = {uint8_t(20 + 90 * v + 60 * t), uint8_t(24 + 40 * v),
		                        uint8_t(90 + 80 * (1 - v))};
		for (int x = 0; x < width; x++)
			memcpy(&c.rgb[(size_t(y) * width + x) * 3], row, 3);
	}

	const double pi = std::acos(-1.0);
	const double cx = width * (0.15 + 0.7 * t);
	const double cy = height * (0.62 - 0.3 * std::sin(pi * t));
	const double r = std::max(2.0, height * 0.09);
	for (int y = int(cy - r); y <= int(cy + r); y++)
		for (int x = int(cx - r); x <= int(cx + r); x++) {
			if (x < 0 || y < 0 || x >= width || y >= height)
				continue;
			const double d = std::hypot(x - cx, y - cy) / r;
			if (d > 1.0)
				continue;
			uint8_t *p = &c.rgb[(size_t(y) * width + x) * 3];
			p[0] = uint8_t(255 - 30 * d);
			p[1] = uint8_t(200 - 90 * d);
			p[2] = uint8_t(60 + 40 * d);
		}

	const uint8_t bar_back[3] = {40, 40, 56}, bar[3] = {240, 240, 250};
	const int bx0 = width / 10, bx1 = width - width / 10;
	const int by0 = height - height / 8, by1 = by0 + std::max(2, height / 60);
	c.fill_rect(bx0, by0, bx1, by1, bar_back);
	c.fill_rect(bx0, by0, bx0 + int((bx1 - bx0) * double(k + 1) / n), by1, bar);

	const std::string digits = std::to_string(k);
	const int dh = std::max(10, height / 6), gap = dh / 5;
	int x = width / 20;
	for (char d : digits) {
		draw_digit(c, d - '0', x, height / 20, dh, bar);
		x += dh / 2 + gap;
	}
	return c;
}

bool make_dir(const std::string &dir)
{
	if (mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST)
		return true;
	fprintf(stderr, "make_frames: %s: %s\n", dir.c_str(), strerror(errno));
	return false;
}

int usage()
{
	fprintf(stderr, "usage: make_frames [-n count] [-s WIDTHxHEIGHT] [-r fps] [-p path] "
	                "[-q quality] <out>\n"
	                "  writes <out>/boot.conf and <out>/frames/<k>.jpg; path is the frame\n"
	                "  directory written into boot.conf (default /mnt/bootanimation/frames)\n");
	return 2;
}

bool parse(int argc, char **argv, options &o)
{
	int opt;
	while ((opt = getopt(argc, argv, "n:s:r:p:q:h")) != -1) {
		switch (opt) {
		case 'n':
			o.count = atoi(optarg);
			break;
		case 's':
			if (sscanf(optarg, "%dx%d", &o.width, &o.height) != 2)
				return false;
			break;
		case 'r':
			o.fps = atoi(optarg);
			break;
		case 'p':
			o.path = optarg;
			break;
		case 'q':
			o.quality = atoi(optarg);
			break;
		default:
			return false;
		}
	}
	if (optind + 1 != argc)
		return false;
	o.out = argv[optind];
	return o.count > 0 && o.width > 0 && o.height > 0 && o.width <= 8192 && o.height <= 8192 &&
	       o.quality > 0 && o.quality <= 100 && !o.path.empty() && o.path.size() <= 122 &&
	       o.path.find_first_of(" \t\n") == std::string::npos;
}

} // namespace

int main(int argc, char **argv)
{
	options o;
	if (!parse(argc, argv, o))
		return usage();
	const std::string frames = o.out + "/frames";
	if (!make_dir(o.out) || !make_dir(frames))
		return 1;
	for (int k = 0; k < o.count; k++) {
		const std::string file = frames + "/" + std::to_string(k) + ".jpg";
		canvas c = draw_frame(k, o.count, o.width, o.height);
		if (!write_jpeg(file, {c.width, c.height, 3, std::move(c.rgb)}, o.quality)) {
			fprintf(stderr, "make_frames: cannot write %s\n", file.c_str());
			return 1;
		}
	}
	const std::string conf = o.out + "/boot.conf";
	FILE *f = fopen(conf.c_str(), "w");
	if (!f || fprintf(f, "cnt=%d\npath=%s\nfps=%d\n", o.count, o.path.c_str(), o.fps) < 0 ||
	    fclose(f) != 0) {
		fprintf(stderr, "make_frames: cannot write %s\n", conf.c_str());
		return 1;
	}
	printf("%d frames of %dx%d in %s, boot.conf for %s at %d fps\n", o.count, o.width, o.height,
	       frames.c_str(), o.path.c_str(), o.fps);
	return 0;
}
