#include "tools/png_read.h"

#include <cstdint>

#include <png.h>

std::optional<sim::image> read_png(const std::string &path, std::string &error)
{
	png_image png{};
	png.version = PNG_IMAGE_VERSION;
	if (!png_image_begin_read_from_file(&png, path.c_str())) {
		error = path + ": " + png.message;
		return std::nullopt;
	}
	png.format = PNG_FORMAT_RGB;
	// PNG_IMAGE_SIZE is 32-bit arithmetic, and a 32-bit machine holds no buffer past 2 GiB.
	const uint64_t bytes = uint64_t(png.width) * png.height * PNG_IMAGE_PIXEL_SIZE(png.format);
	if (bytes > 0xffffffffu || bytes > uint64_t(PTRDIFF_MAX)) {
		error = path + ": " + std::to_string(png.width) + "x" + std::to_string(png.height) +
		        ": too large for this machine's memory";
		png_image_free(&png);
		return std::nullopt;
	}
	sim::image img;
	img.width = png.width;
	img.height = png.height;
	img.rgb.resize(PNG_IMAGE_SIZE(png));
	const png_color black{0, 0, 0};
	if (!png_image_finish_read(&png, &black, img.rgb.data(), 0, nullptr)) {
		error = path + ": " + png.message;
		png_image_free(&png);
		return std::nullopt;
	}
	return img;
}
