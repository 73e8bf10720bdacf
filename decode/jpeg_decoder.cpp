#include "decode/jpeg_decoder.h"

#include <cerrno>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

void expand_gray_row(uint8_t *__restrict dst, const JSAMPLE *__restrict src, JDIMENSION width)
{
	for (JDIMENSION x = 0; x < width; x++) {
		const uint8_t v = src[x];
		dst[0] = v;
		dst[1] = v;
		dst[2] = v;
		dst += 3;
	}
}

// Whether the picture, its output size computed but not yet started, can go into `out`; the
// library allocates nothing large before this is known.
bool fits(j_decompress_ptr cinfo, const bo &out)
{
	const JDIMENSION w = cinfo->output_width;
	const JDIMENSION h = cinfo->output_height;
	const int n = cinfo->output_components;

	if (!out.ptr)
		return false;
	// 64-bit: 65500 x 65500 x 3 does not fit 32 bits.
	if (out.size < uint64_t{w} * h * 3 || w > out.width || h > out.height) {
		printf("%s: jpeg reslution(%dx%d) not match fb(%dx%d)\n", "jpeg_sf_decode",
		       static_cast<int>(w), static_cast<int>(h), static_cast<int>(out.width),
		       static_cast<int>(out.height));
		return false;
	}
	if (n != 1 && n != 3) {
		printf("Error: the number of color channels is %d.\tThis program only handles 1 or "
		       "3\n",
		       n);
		return false;
	}
	return true;
}

// Writes every output row of a started decompression into `out`.
void write_rows(j_decompress_ptr cinfo, const bo &out)
{
	const JDIMENSION w = cinfo->output_width;
	const JDIMENSION h = cinfo->output_height;
	const int n = cinfo->output_components;

	JSAMPARRAY row = (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo),
	                                             JPOOL_IMAGE, w * n, 1);
	// Bytes go out red, green, blue at increasing addresses, as the library emits them, even
	// though DRM's RG24 puts blue first: the frames are prepared for that order.
	if (n == 3) {
		const size_t row_bytes = size_t{w} * 3;
		for (JDIMENSION r = 0; r < h; r++) {
			jpeg_read_scanlines(cinfo, row, 1);
			memcpy(out.ptr + r * out.pitch, row[0], row_bytes);
		}
	} else {
		for (JDIMENSION r = 0; r < h; r++) {
			jpeg_read_scanlines(cinfo, row, 1);
			expand_gray_row(out.ptr + r * out.pitch, row[0], w);
		}
	}
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
	jpeg_calc_output_dimensions(&cinfo);
	const bool decoded = fits(&cinfo, *bo);
	if (decoded) {
		jpeg_start_decompress(&cinfo);
		write_rows(&cinfo, *bo);
		jpeg_finish_decompress(&cinfo);
	}
	jpeg_destroy_decompress(&cinfo);
	fclose(file);
	return decoded;
}
