// bootanim-frames prepare SRC DEST --size WxH [--fps N] [--quality Q] [--drm-order]
//     [--rotate 0|90|180|270 | --orientation NAME] [--fit stretch|contain|cover]
//     [--background RRGGBB]
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>

// Older libjpeg headers carry no C++ linkage block of their own.
extern "C" {
#include <jpeglib.h>
}

#include "frames/frames.h"
#include "tools/png_read.h"

namespace
{

// The frames' directory as the player sees it on the device, and where DEST holds it.
constexpr const char *k_device_frames = "/mnt/bootanimation/frames";
constexpr int k_default_fps = 15;
constexpr int k_default_quality = 90;

// libjpeg reports an error by calling error_exit, which must not return: back to the caller
// with the message kept.
struct jump_error {
	jpeg_error_mgr mgr; // first, so the library's pointer to it is also a pointer to this
	jmp_buf resume;
	char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void jump_back(j_common_ptr cinfo)
{
	auto *err = reinterpret_cast<jump_error *>(cinfo->err);
	(*cinfo->err->format_message)(cinfo, err->message);
	longjmp(err->resume, 1);
}

bool read_jpeg(const std::string &path, rgb_image &img, std::string &error)
{
	FILE *file = fopen(path.c_str(), "rb");
	if (!file) {
		error = path + ": " + strerror(errno);
		return false;
	}
	jpeg_decompress_struct cinfo;
	jump_error err;
	cinfo.err = jpeg_std_error(&err.mgr);
	err.mgr.error_exit = jump_back;
	if (setjmp(err.resume)) {
		jpeg_destroy_decompress(&cinfo);
		fclose(file);
		error = path + ": " + err.message;
		return false;
	}
	jpeg_create_decompress(&cinfo);
	jpeg_stdio_src(&cinfo, file);
	jpeg_read_header(&cinfo, TRUE);
	if (cinfo.num_components != 1 && cinfo.num_components != 3) {
		jpeg_destroy_decompress(&cinfo);
		fclose(file);
		error = path + ": " + std::to_string(cinfo.num_components) +
		        " components (CMYK?): only gray and colour pictures are taken";
		return false;
	}
	if (!holdable(cinfo.image_width, cinfo.image_height, 3)) {
		jpeg_destroy_decompress(&cinfo);
		fclose(file);
		error = path + ": " + std::to_string(cinfo.image_width) + "x" +
		        std::to_string(cinfo.image_height) +
		        ": too large for this machine's memory";
		return false;
	}
	cinfo.out_color_space = JCS_RGB;
	jpeg_start_decompress(&cinfo);
	img.width = int(cinfo.output_width);
	img.height = int(cinfo.output_height);
	img.rgb.assign(size_t(img.width) * img.height * 3, 0);
	while (cinfo.output_scanline < cinfo.output_height) {
		JSAMPROW row = &img.rgb[size_t(cinfo.output_scanline) * img.width * 3];
		jpeg_read_scanlines(&cinfo, &row, 1);
	}
	jpeg_finish_decompress(&cinfo);
	jpeg_destroy_decompress(&cinfo);
	fclose(file);
	return true;
}

// PNG or JPEG, told apart by the file's first bytes.
bool read_picture(const std::string &path, rgb_image &img, std::string &error)
{
	unsigned char magic[8] = {};
	FILE *file = fopen(path.c_str(), "rb");
	if (!file) {
		error = path + ": " + strerror(errno);
		return false;
	}
	const size_t n = fread(magic, 1, sizeof magic, file);
	fclose(file);
	if (n >= 2 && magic[0] == 0xff && magic[1] == 0xd8)
		return read_jpeg(path, img, error);
	if (n == 8 && memcmp(magic, "\x89PNG\r\n\x1a\n", 8) == 0) {
		auto png = read_png(path, error);
		if (!png)
			return false;
		img.width = int(png->width);
		img.height = int(png->height);
		img.rgb = std::move(png->rgb);
		return true;
	}
	error = path + ": neither PNG nor JPEG";
	return false;
}

// Baseline (no progression, 8-bit tables), luma at full size, both chroma components halved
// across and down: 4:2:0.
bool write_frame(const std::string &path, const rgb_image &img, int quality, std::string &error)
{
	FILE *file = fopen(path.c_str(), "wb");
	if (!file) {
		error = path + ": " + strerror(errno);
		return false;
	}
	jpeg_compress_struct cinfo;
	jump_error err;
	cinfo.err = jpeg_std_error(&err.mgr);
	err.mgr.error_exit = jump_back;
	if (setjmp(err.resume)) {
		jpeg_destroy_compress(&cinfo);
		fclose(file);
		error = path + ": " + err.message;
		return false;
	}
	jpeg_create_compress(&cinfo);
	jpeg_stdio_dest(&cinfo, file);
	cinfo.image_width = JDIMENSION(img.width);
	cinfo.image_height = JDIMENSION(img.height);
	cinfo.input_components = 3;
	cinfo.in_color_space = JCS_RGB;
	jpeg_set_defaults(&cinfo);
	jpeg_set_quality(&cinfo, quality, TRUE);
	cinfo.comp_info[0].h_samp_factor = 2;
	cinfo.comp_info[0].v_samp_factor = 2;
	for (int c = 1; c < 3; c++) {
		cinfo.comp_info[c].h_samp_factor = 1;
		cinfo.comp_info[c].v_samp_factor = 1;
	}
	jpeg_start_compress(&cinfo, TRUE);
	while (cinfo.next_scanline < cinfo.image_height) {
		JSAMPROW row =
		        const_cast<JSAMPROW>(&img.rgb[size_t(cinfo.next_scanline) * img.width * 3]);
		jpeg_write_scanlines(&cinfo, &row, 1);
	}
	jpeg_finish_compress(&cinfo);
	jpeg_destroy_compress(&cinfo);
	if (fclose(file) != 0) {
		error = path + ": " + strerror(errno);
		return false;
	}
	return true;
}

bool has_picture_extension(const std::filesystem::path &p)
{
	std::string ext = p.extension().string();
	std::transform(ext.begin(), ext.end(), ext.begin(),
	               [](unsigned char c) { return char(std::tolower(c)); });
	return ext == ".png" || ext == ".jpg" || ext == ".jpeg";
}

// The pictures of `src` in name order (byte order), or `src` itself when it is a file.
bool list_sources(const std::string &src, std::vector<std::string> &out, std::string &error)
{
	namespace fs = std::filesystem;
	std::error_code ec;
	if (!fs::is_directory(src, ec)) {
		if (!fs::is_regular_file(src, ec)) {
			error = src + ": neither a picture nor a directory";
			return false;
		}
		out.push_back(src);
		return true;
	}
	for (fs::directory_iterator it(src, ec), end; !ec && it != end; it.increment(ec))
		if (it->is_regular_file(ec) && has_picture_extension(it->path()))
			out.push_back(it->path().string());
	if (ec) {
		error = src + ": " + ec.message();
		return false;
	}
	std::sort(out.begin(), out.end());
	if (out.empty()) {
		error = src + ": no .png, .jpg or .jpeg file";
		return false;
	}
	return true;
}

bool parse_number(const char *text, int low, int high, int *value)
{
	char *end = nullptr;
	errno = 0;
	const long v = strtol(text, &end, 10);
	if (errno != 0 || end == text || *end != '\0' || v < low || v > high)
		return false;
	*value = int(v);
	return true;
}

// The connector's "panel orientation" names (drm_connector.c: drm_panel_orientation_enum_list,
// set by drm_connector_set_panel_orientation()) and the clockwise turn that shows a picture
// upright on such a panel, as the kernel's console turns: drm_client_rotation()
// (drm_client_modeset.c) makes "Left Side Up" DRM_MODE_ROTATE_90, counter-clockwise, and
// drm_setup_crtcs_fb() (drm_fb_helper.c) turns fbcon FB_ROTATE_CCW for it where the plane
// cannot; "Right Side Up" is FB_ROTATE_CW.
struct orientation {
	const char *name;
	int clockwise;
};
constexpr orientation k_orientations[] = {
        {"Normal", 0}, {"Upside Down", 180}, {"Left Side Up", 270}, {"Right Side Up", 90}};

bool parse_orientation(const std::string &text, int *degrees)
{
	for (const orientation &o : k_orientations)
		if (text == o.name) {
			*degrees = o.clockwise;
			return true;
		}
	return false;
}

bool parse_fit(const std::string &text, fit_mode *mode)
{
	const std::pair<const char *, fit_mode> names[] = {{"stretch", fit_mode::stretch},
	                                                   {"contain", fit_mode::contain},
	                                                   {"cover", fit_mode::cover}};
	for (const auto &[name, m] : names)
		if (text == name) {
			*mode = m;
			return true;
		}
	return false;
}

bool parse_colour(const std::string &text, uint8_t rgb[3])
{
	if (text.size() != 6 || !std::all_of(text.begin(), text.end(),
	                                     [](unsigned char c) { return std::isxdigit(c) != 0; }))
		return false;
	const unsigned long v = strtoul(text.c_str(), nullptr, 16);
	for (int c = 0; c < 3; c++)
		rgb[c] = uint8_t(v >> (16 - 8 * c));
	return true;
}

int usage()
{
	fprintf(stderr, "usage: %s", k_prepare_usage);
	return 2;
}

int fail(const std::string &why)
{
	fprintf(stderr, "bootanim-frames: %s\n", why.c_str());
	return 1;
}

} // namespace

int frames_prepare(int argc, char **argv)
{
	std::vector<std::string> places;
	int width = 0, height = 0, fps = k_default_fps, quality = k_default_quality;
	bool drm_order = false;
	int turn = -1;
	fit_mode mode = fit_mode::stretch;
	uint8_t background[3] = {0, 0, 0};
	bool has_background = false;
	for (int i = 1; i < argc; i++) {
		const std::string a = argv[i];
		const bool has_value = i + 1 < argc;
		if (a == "--size" && has_value) {
			if (!parse_size(argv[++i], &width, &height))
				return usage();
		} else if (a == "--fps" && has_value) {
			if (!parse_number(argv[++i], 0, 1000, &fps))
				return usage();
		} else if (a == "--quality" && has_value) {
			if (!parse_number(argv[++i], 1, 100, &quality))
				return usage();
		} else if (a == "--drm-order") {
			drm_order = true;
		} else if (a == "--rotate" && has_value && turn < 0) {
			const std::string d = argv[++i];
			if (d != "0" && d != "90" && d != "180" && d != "270")
				return usage();
			turn = std::stoi(d);
		} else if (a == "--orientation" && has_value && turn < 0) {
			if (!parse_orientation(argv[++i], &turn))
				return usage();
		} else if (a == "--fit" && has_value) {
			if (!parse_fit(argv[++i], &mode))
				return usage();
		} else if (a == "--background" && has_value) {
			if (!parse_colour(argv[++i], background))
				return usage();
			has_background = true;
		} else if (a.rfind("--", 0) == 0) {
			return usage();
		} else {
			places.push_back(a);
		}
	}
	if (places.size() != 2 || width == 0)
		return usage();
	// A background shows only around a picture that is contained.
	if (has_background && mode != fit_mode::contain) {
		fprintf(stderr, "bootanim-frames: --background goes with --fit contain\n");
		return 2;
	}
	turn = std::max(turn, 0);
	const std::string &dest = places[1];
	if (!holdable(uint64_t(width), uint64_t(height), 3))
		return fail("--size " + std::to_string(width) + "x" + std::to_string(height) +
		            ": frames too large for this machine's memory");

	std::string error;
	std::vector<std::string> sources;
	if (!list_sources(places[0], sources, error))
		return fail(error);
	std::error_code ec;
	std::filesystem::create_directories(dest + "/frames", ec);
	if (ec)
		return fail(dest + "/frames: " + ec.message());

	// Numbered from 0, as the player looks for them.
	for (size_t k = 0; k < sources.size(); k++) {
		rgb_image in;
		if (!read_picture(sources[k], in, error))
			return fail(error);
		// Resized rows first, in floats: as many as the picture has once turned, each as
		// wide as the frame (or less, where it is contained).
		const int rows = turn % 180 == 0 ? in.height : in.width;
		if (!holdable(uint64_t(rows), uint64_t(width), 3 * sizeof(float)))
			return fail(sources[k] + ": " + std::to_string(in.width) + "x" +
			            std::to_string(in.height) + " resized to " +
			            std::to_string(width) +
			            " columns: too large for this machine's memory");
		// Turned first, so that the fit sees the picture as the panel scans it out.
		rgb_image out = fit(turn_clockwise(in, turn), width, height, mode, background);
		if (drm_order)
			for (size_t i = 0; i < out.rgb.size(); i += 3)
				std::swap(out.rgb[i], out.rgb[i + 2]);
		const std::string name = std::to_string(k) + ".jpg";
		if (!write_frame(dest + "/frames/" + name, out, quality, error))
			return fail(error);
		printf("frame %zu: %s from %s %dx%d\n", k, name.c_str(), sources[k].c_str(),
		       in.width, in.height);
	}

	const std::string conf = dest + "/boot.conf";
	FILE *f = fopen(conf.c_str(), "w");
	if (!f)
		return fail(conf + ": " + strerror(errno));
	fprintf(f, "cnt=%zu\npath=%s\nfps=%d\n", sources.size(), k_device_frames, fps);
	if (fclose(f) != 0)
		return fail(conf + ": " + strerror(errno));
	printf("boot.conf: cnt=%zu path=%s fps=%d\n", sources.size(), k_device_frames, fps);
	printf("frames: %zu of %dx%d, quality %d, %s order\n", sources.size(), width, height,
	       quality, drm_order ? "blue-first (DRM)" : "red-first");
	if (turn != 0)
		printf("turned: %d degrees clockwise\n", turn);
	if (mode == fit_mode::contain)
		printf("fit: contain, background %02x%02x%02x\n", background[0], background[1],
		       background[2]);
	else if (mode == fit_mode::cover)
		printf("fit: cover\n");
	return 0;
}
