#include <algorithm>

#include "frames/frames.h"

namespace
{

struct tap {
	int index;
	float weight;
};

// For every output position along one axis, the source positions and their weights (summing
// to 1).
std::vector<std::vector<tap>> axis_taps(int in, int out)
{
	std::vector<std::vector<tap>> taps(static_cast<size_t>(out));
	const double scale = double(in) / out;
	for (int i = 0; i < out; i++) {
		std::vector<tap> &t = taps[static_cast<size_t>(i)];
		if (scale > 1) {
			const double from = i * scale, to = (i + 1) * scale;
			for (int s = int(from); s < in && s < to; s++) {
				const double cover =
				        std::min(double(s + 1), to) - std::max(double(s), from);
				if (cover > 0)
					t.push_back({s, float(cover / scale)});
			}
		} else {
			const double x = std::clamp((i + 0.5) * scale - 0.5, 0.0, double(in - 1));
			const int s = int(x);
			const double f = x - s;
			t.push_back({s, float(1 - f)});
			if (f > 0 && s + 1 < in)
				t.push_back({s + 1, float(f)});
		}
	}
	return taps;
}

} // namespace

rgb_image resize(const rgb_image &in, int width, int height)
{
	const auto across = axis_taps(in.width, width);
	const auto down = axis_taps(in.height, height);

	// Rows first, into floats, then columns.
	std::vector<float> rows(size_t(in.height) * width * 3);
	for (int y = 0; y < in.height; y++) {
		const uint8_t *src = &in.rgb[size_t(y) * in.width * 3];
		float *dst = &rows[size_t(y) * width * 3];
		for (int x = 0; x < width; x++)
			for (const tap &t : across[size_t(x)])
				for (int c = 0; c < 3; c++)
					dst[x * 3 + c] += t.weight * src[t.index * 3 + c];
	}
	rgb_image out;
	out.width = width;
	out.height = height;
	out.rgb.resize(size_t(width) * height * 3);
	std::vector<float> acc(size_t(width) * 3);
	for (int y = 0; y < height; y++) {
		std::fill(acc.begin(), acc.end(), 0.0f);
		for (const tap &t : down[size_t(y)]) {
			const float *src = &rows[size_t(t.index) * width * 3];
			for (size_t i = 0; i < acc.size(); i++)
				acc[i] += t.weight * src[i];
		}
		uint8_t *dst = &out.rgb[size_t(y) * width * 3];
		for (size_t i = 0; i < acc.size(); i++)
			dst[i] = uint8_t(std::clamp(acc[i] + 0.5f, 0.0f, 255.0f));
	}
	return out;
}

rgb_image turn_clockwise(const rgb_image &in, int degrees)
{
	if (degrees == 0)
		return in;
	const bool quarter = degrees != 180;
	rgb_image out;
	out.width = quarter ? in.height : in.width;
	out.height = quarter ? in.width : in.height;
	out.rgb.resize(in.rgb.size());
	for (int y = 0; y < out.height; y++)
		for (int x = 0; x < out.width; x++) {
			// The source pixel that lands at (x, y).
			int sx = in.width - 1 - x, sy = in.height - 1 - y;
			if (degrees == 90) {
				sx = y;
				sy = in.height - 1 - x;
			} else if (degrees == 270) {
				sx = in.width - 1 - y;
				sy = x;
			}
			const uint8_t *src = &in.rgb[(size_t(sy) * in.width + sx) * 3];
			std::copy(src, src + 3, &out.rgb[(size_t(y) * out.width + x) * 3]);
		}
	return out;
}

rgb_image fit(const rgb_image &in, int width, int height, fit_mode mode,
              const uint8_t background[3])
{
	if (mode == fit_mode::stretch)
		return resize(in, width, height);
	// Compared as products, so that an exact match takes neither branch's rounding.
	const bool wider = int64_t(in.width) * height > int64_t(width) * in.height;
	auto scaled = [](int a, int b, int c) {
		return std::max(1, int((int64_t(a) * b + c / 2) / c));
	};
	if (mode == fit_mode::cover) {
		// The middle of the picture with the frame's aspect ratio, then resized.
		const int w = wider ? scaled(in.height, width, height) : in.width;
		const int h = wider ? in.height : scaled(in.width, height, width);
		const int x0 = (in.width - w) / 2, y0 = (in.height - h) / 2;
		rgb_image middle;
		middle.width = w;
		middle.height = h;
		for (int y = 0; y < h; y++) {
			const uint8_t *row = &in.rgb[(size_t(y0 + y) * in.width + x0) * 3];
			middle.rgb.insert(middle.rgb.end(), row, row + size_t(w) * 3);
		}
		return resize(middle, width, height);
	}
	// Contain: the whole picture resized to touch two sides, centred on the background.
	const int w = wider ? width : scaled(in.width, height, in.height);
	const int h = wider ? scaled(in.height, width, in.width) : height;
	const rgb_image inner = resize(in, w, h);
	rgb_image out;
	out.width = width;
	out.height = height;
	out.rgb.resize(size_t(width) * height * 3);
	for (size_t i = 0; i < out.rgb.size(); i += 3)
		std::copy(background, background + 3, &out.rgb[i]);
	const int x0 = (width - w) / 2, y0 = (height - h) / 2;
	for (int y = 0; y < h; y++) {
		const uint8_t *src = &inner.rgb[size_t(y) * w * 3];
		std::copy(src, src + size_t(w) * 3, &out.rgb[(size_t(y0 + y) * width + x0) * 3]);
	}
	return out;
}
