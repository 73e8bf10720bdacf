#include "decode/jpeg_decoder.h"

#include <cerrno>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <drm_fourcc.h>

// Older libjpeg headers carry no C++ linkage block of their own.
extern "C" {
#include <jpeglib.h>
}

namespace
{

// The library's standard error manager with one change: an error comes back here instead of
// ending the process, so one bad frame file cannot take the picture on screen and the hot-plug
// handling down with it. The library's own message is still printed; warnings are untouched.
struct recovering_error {
	jpeg_error_mgr mgr; // first, so the library's pointer to it is also a pointer to this
	jmp_buf resume;
};

[[noreturn]] void return_to_caller(j_common_ptr cinfo)
{
	(*cinfo->err->output_message)(cinfo);
	longjmp(reinterpret_cast<recovering_error *>(cinfo->err)->resume, 1);
}

jpeg_error_mgr *recovering_std_error(recovering_error *err)
{
	jpeg_error_mgr *mgr = jpeg_std_error(&err->mgr);
	mgr->error_exit = return_to_caller;
	return mgr;
}

// Real encoders write about ten scans; a file with far more is a decompression bomb that would
// keep the worker busy for minutes on one frame.
constexpr int k_max_scans = 100;

// Coefficients of a 3840x2160 4:4:4 progressive picture take 48 MiB; beyond this the library
// gives up instead of taking hundreds of MiB for a forged header.
constexpr long k_max_decoder_memory = 64L << 20;

struct scan_limit {
	jpeg_progress_mgr mgr; // first, so the library's pointer to it is also a pointer to this
	recovering_error *err;
};

void check_scans(j_common_ptr cinfo)
{
	auto *d = reinterpret_cast<j_decompress_ptr>(cinfo);
	if (d->input_scan_number <= k_max_scans)
		return;
	printf("%s: more than %d scans, frame abandoned\n", "jpeg_sf_decode", k_max_scans);
	longjmp(reinterpret_cast<scan_limit *>(cinfo->progress)->err->resume, 1);
}

// Opens a frame file for reading without blocking on a FIFO or a device; null (errno set) when
// it cannot be opened or is not a regular file.
FILE *open_frame(const char *path)
{
	int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0)
		return nullptr;
	struct stat st;
	if (fstat(fd, &st) != 0) {
		const int err = errno;
		close(fd);
		errno = err;
		return nullptr;
	}
	if (!S_ISREG(st.st_mode)) {
		close(fd);
		errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
		return nullptr;
	}
	FILE *file = fdopen(fd, "rb");
	if (!file)
		close(fd);
	return file;
}

// DRM's XR24: blue, green, red, then a byte the display ignores, at increasing addresses.
bool is_xr24(const bo &out)
{
	return out.format == DRM_FORMAT_XRGB8888;
}

int bytes_per_pixel(const bo &out)
{
	return is_xr24(out) ? 4 : 3;
}

// A gray row as colour: the sample in red, green and blue, and XR24's unused byte set as the
// library sets it.
void gray_row(uint8_t *__restrict dst, const JSAMPLE *__restrict src, JDIMENSION width, size_t bpp)
{
	for (JDIMENSION x = 0; x < width; x++) {
		const uint8_t v = src[x];
		dst[0] = v;
		dst[1] = v;
		dst[2] = v;
		if (bpp == 4)
			dst[3] = 0xff;
		dst += bpp;
	}
}

// For a libjpeg without the extended colour spaces, which writes red first.
void rgb_to_xr24_row(uint8_t *__restrict dst, const JSAMPLE *__restrict src, JDIMENSION width)
{
	for (JDIMENSION x = 0; x < width; x++) {
		dst[0] = src[2];
		dst[1] = src[1];
		dst[2] = src[0];
		dst[3] = 0xff;
		src += 3;
		dst += 4;
	}
}

// Colour pictures go straight into XR24's byte order where the library can write it.
void choose_output(j_decompress_ptr cinfo, const bo &out)
{
#ifdef JCS_EXTENSIONS
	if (is_xr24(out) && cinfo->num_components == 3)
		cinfo->out_color_space = JCS_EXT_BGRX;
#else
	(void)cinfo;
	(void)out;
#endif
}

bool bgrx_output(j_decompress_ptr cinfo)
{
#ifdef JCS_EXTENSIONS
	return cinfo->out_color_space == JCS_EXT_BGRX;
#else
	(void)cinfo;
	return false;
#endif
}

// The part of the picture that is written and where it goes: all of it at the buffer's origin,
// or, centred, the middle of the picture in the middle of the buffer.
struct placement {
	JDIMENSION src_x, src_y, dst_x, dst_y, w, h;
};

placement place(j_decompress_ptr cinfo, const bo &out, bool centred)
{
	const JDIMENSION w = cinfo->output_width, h = cinfo->output_height;
	if (!centred)
		return {0, 0, 0, 0, w, h};
	placement p{};
	p.w = w < out.width ? w : out.width;
	p.h = h < out.height ? h : out.height;
	p.src_x = (w - p.w) / 2;
	p.src_y = (h - p.h) / 2;
	p.dst_x = (out.width - p.w) / 2;
	p.dst_y = (out.height - p.h) / 2;
	return p;
}

// Whether the picture, its output size computed but not yet started, can go into `out`; the
// library allocates nothing large before this is known.
bool fits(j_decompress_ptr cinfo, const bo &out, const placement &p)
{
	const int n = cinfo->output_components;

	if (!out.ptr)
		return false;
	// 64-bit: 65500 x 65500 x 3 does not fit 32 bits.
	const uint64_t bpp = uint64_t(bytes_per_pixel(out));
	const uint64_t end =
	        (uint64_t{p.dst_y} + p.h - 1) * out.pitch + (uint64_t{p.dst_x} + p.w) * bpp;
	if ((p.h > 0 && out.size < end) || out.size < uint64_t{p.w} * p.h * bpp ||
	    p.dst_x + p.w > out.width || p.dst_y + p.h > out.height) {
		printf("%s: jpeg reslution(%dx%d) not match fb(%dx%d)\n", "jpeg_sf_decode",
		       static_cast<int>(cinfo->output_width),
		       static_cast<int>(cinfo->output_height), static_cast<int>(out.width),
		       static_cast<int>(out.height));
		return false;
	}
	if (n != 1 && n != 3 && !bgrx_output(cinfo)) {
		printf("Error: the number of color channels is %d.\tThis program only handles 1 or "
		       "3\n",
		       n);
		return false;
	}
	return true;
}

// Writes the placed rows of a started decompression into `out`; the rows below them are left
// unread.
void write_rows(j_decompress_ptr cinfo, const bo &out, const placement &p)
{
	const JDIMENSION w = cinfo->output_width;
	const int n = cinfo->output_components;
	const size_t bpp = size_t(bytes_per_pixel(out));

	JSAMPARRAY row = (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo),
	                                             JPOOL_IMAGE, w * n, 1);
	while (cinfo->output_scanline < p.src_y)
		jpeg_read_scanlines(cinfo, row, 1);
	uint8_t *dst = out.ptr + p.dst_y * out.pitch + p.dst_x * bpp;
	for (JDIMENSION r = 0; r < p.h; r++, dst += out.pitch) {
		jpeg_read_scanlines(cinfo, row, 1);
		const JSAMPLE *src = row[0] + size_t{p.src_x} * size_t(n);
		// RG24 bytes go out red, green, blue at increasing addresses, as the library emits
		// them, even though DRM's RG24 puts blue first: the frames are prepared for that
		// order. XR24 follows DRM's definition.
		if (n == 1)
			gray_row(dst, src, p.w, bpp);
		else if (size_t(n) == bpp)
			memcpy(dst, src, size_t{p.w} * bpp);
		else
			rgb_to_xr24_row(dst, src, p.w);
	}
}

bool decode(const char *path, bo *bo, bool centred)
{
	if (!bo)
		return false;
	FILE *file = open_frame(path);
	if (!file) {
		perror("fopen fail");
		return false;
	}

	jpeg_decompress_struct cinfo;
	recovering_error err;
	cinfo.err = recovering_std_error(&err);
	if (setjmp(err.resume)) {
		// Destroying without finishing: the library refuses to finish a partial read.
		jpeg_destroy_decompress(&cinfo);
		fclose(file);
		return false;
	}
	jpeg_create_decompress(&cinfo);
	cinfo.mem->max_memory_to_use = k_max_decoder_memory;
	scan_limit scans{};
	scans.mgr.progress_monitor = check_scans;
	scans.err = &err;
	cinfo.progress = &scans.mgr;
	jpeg_stdio_src(&cinfo, file);
	jpeg_read_header(&cinfo, TRUE);
	choose_output(&cinfo, *bo);
	jpeg_calc_output_dimensions(&cinfo);
	const placement p = place(&cinfo, *bo, centred);
	const bool decoded = fits(&cinfo, *bo, p);
	if (decoded) {
		jpeg_start_decompress(&cinfo);
		write_rows(&cinfo, *bo, p);
		// A cropped picture's last rows are never read, and finishing would refuse that.
		if (cinfo.output_scanline == cinfo.output_height)
			jpeg_finish_decompress(&cinfo);
	}
	jpeg_destroy_decompress(&cinfo);
	fclose(file);
	return decoded;
}

} // namespace

// Both operations keep only trivially destructible locals around setjmp, and nothing they
// change after it is read on the way back.

bool jpeg_get_info(const char *path, jpeg_info *info)
{
	*info = {};
	FILE *file = open_frame(path);
	if (!file)
		return false;

	jpeg_decompress_struct cinfo;
	recovering_error err;
	cinfo.err = recovering_std_error(&err);
	if (setjmp(err.resume)) {
		jpeg_destroy_decompress(&cinfo);
		fclose(file);
		*info = {};
		return false;
	}
	jpeg_create_decompress(&cinfo);
	jpeg_stdio_src(&cinfo, file);
	jpeg_read_header(&cinfo, TRUE);
	jpeg_calc_output_dimensions(&cinfo);
	info->width = static_cast<int>(cinfo.output_width);
	info->height = static_cast<int>(cinfo.output_height);
	info->components = cinfo.output_components;
	info->progressive = cinfo.progressive_mode != 0;
	jpeg_destroy_decompress(&cinfo);
	fclose(file);
	return true;
}

void jpeg_get_size(const char *path, int *width, int *height)
{
	jpeg_info info;
	jpeg_get_info(path, &info);
	*width = info.width;
	*height = info.height;
}

bool jpeg_sf_decode(const char *path, bo *bo)
{
	return decode(path, bo, false);
}

bool jpeg_sf_decode_centred(const char *path, bo *bo)
{
	return decode(path, bo, true);
}
