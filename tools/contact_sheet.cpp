// contact_sheet: one overview picture of many screen captures, as small pictures in a grid in
// the order given, so a whole animation can be checked at a glance.
//
// Usage: contact_sheet [-c columns] [-w thumbnail_width] <out.png> <capture.png>...
// The inputs are PNG files written by the virtual card; the output is written the same way.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "sim/sim.h"
#include "tools/png_read.h"

namespace
{

constexpr int k_gap = 8;

// Box-filter reduction of `src` into the w x h cell whose top left is (x0, y0) of `dst`.
void shrink_into(const sim::image &src, sim::image &dst, uint32_t x0, uint32_t y0, uint32_t w,
                 uint32_t h)
{
	for (uint32_t j = 0; j < h; j++) {
		const uint32_t sy0 = j * src.height / h,
		               sy1 = std::max(sy0 + 1, (j + 1) * src.height / h);
		for (uint32_t i = 0; i < w; i++) {
			const uint32_t sx0 = i * src.width / w,
			               sx1 = std::max(sx0 + 1, (i + 1) * src.width / w);
			uint64_t sum[3] = {0, 0, 0};
			for (uint32_t sy = sy0; sy < sy1; sy++)
				for (uint32_t sx = sx0; sx < sx1; sx++)
					for (int c = 0; c < 3; c++)
						sum[c] += src.pixel(sx, sy)[c];
			const uint64_t n = uint64_t(sy1 - sy0) * (sx1 - sx0);
			uint8_t *d = &dst.rgb[(size_t(y0 + j) * dst.width + x0 + i) * 3];
			for (int c = 0; c < 3; c++)
				d[c] = uint8_t(sum[c] / n);
		}
	}
}

} // namespace

int main(int argc, char **argv)
{
	int columns = 4, thumb_width = 480, opt;
	while ((opt = getopt(argc, argv, "c:w:")) != -1) {
		if (opt == 'c')
			columns = atoi(optarg);
		else if (opt == 'w')
			thumb_width = atoi(optarg);
		else
			optind = argc + 1;
	}
	if (optind + 2 > argc || columns < 1 || thumb_width < 8) {
		fprintf(stderr, "usage: contact_sheet [-c columns] [-w thumbnail_width] <out.png> "
		                "<capture.png>...\n");
		return 2;
	}
	const std::string out = argv[optind];
	std::vector<sim::image> inputs;
	for (int i = optind + 1; i < argc; i++) {
		std::string error;
		auto img = read_png(argv[i], error);
		if (!img) {
			fprintf(stderr, "contact_sheet: %s\n", error.c_str());
			return 1;
		}
		inputs.push_back(std::move(*img));
	}

	// Cells keep the first picture's shape; other pictures are stretched to it.
	const uint32_t cw = uint32_t(thumb_width);
	const uint32_t ch = std::max<uint32_t>(1, cw * inputs[0].height / inputs[0].width);
	const uint32_t cols = std::min<uint32_t>(uint32_t(columns), uint32_t(inputs.size()));
	const uint32_t rows = uint32_t((inputs.size() + cols - 1) / cols);
	sim::image sheet;
	sheet.width = cols * cw + (cols + 1) * k_gap;
	sheet.height = rows * ch + (rows + 1) * k_gap;
	sheet.rgb.assign(size_t(sheet.width) * sheet.height * 3, 32);
	for (size_t i = 0; i < inputs.size(); i++) {
		const uint32_t x0 = k_gap + uint32_t(i % cols) * (cw + k_gap);
		const uint32_t y0 = k_gap + uint32_t(i / cols) * (ch + k_gap);
		shrink_into(inputs[i], sheet, x0, y0, cw, ch);
	}
	if (!sim::write_png(sheet, out)) {
		fprintf(stderr, "contact_sheet: cannot write %s\n", out.c_str());
		return 1;
	}
	return 0;
}
