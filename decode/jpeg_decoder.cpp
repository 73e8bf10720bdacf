#include "decode/jpeg_decoder.h"

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>

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

// Writes every output row of a started decompression into `out`; false when the frame is
// abandoned before its first row.
bool write_rows(j_decompress_ptr cinfo, const bo &out)
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
	} else if (n == 1) {
		for (JDIMENSION r = 0; r < h; r++) {
			jpeg_read_scanlines(cinfo, row, 1);
			expand_gray_row(out.ptr + r * out.pitch, row[0], w);
		}
	} else {
		printf("Error: the number of color channels is %d.\tThis program only handles 1 or "
		       "3\n",
		       n);
		return false;
	}
	return true;
}

} // namespace

// Both operations keep only trivially destructible locals around setjmp, and nothing they
// change after it is read on the way back.

void jpeg_get_size(const char *path, int *width, int *height)
{
	FILE *file = fopen(path, "rb");
	if (!file) {
		*width = 0;
		*height = 0;
		return;
	}

	jpeg_decompress_struct cinfo;
	recovering_error err;
	cinfo.err = recovering_std_error(&err);
	if (setjmp(err.resume)) {
		jpeg_destroy_decompress(&cinfo);
		fclose(file);
		*width = 0;
		*height = 0;
		return;
	}
	jpeg_create_decompress(&cinfo);
	jpeg_stdio_src(&cinfo, file);
	jpeg_read_header(&cinfo, TRUE);
	jpeg_calc_output_dimensions(&cinfo);
	*width = static_cast<int>(cinfo.output_width);
	*height = static_cast<int>(cinfo.output_height);
	jpeg_destroy_decompress(&cinfo);
	fclose(file);
}

void jpeg_sf_decode(const char *path, bo *bo)
{
	if (!bo)
		return;
	FILE *file = fopen(path, "rb");
	if (!file) {
		perror("fopen fail");
		return;
	}

	jpeg_decompress_struct cinfo;
	recovering_error err;
	cinfo.err = recovering_std_error(&err);
	if (setjmp(err.resume)) {
		// Destroying without finishing: the library refuses to finish a partial read.
		jpeg_destroy_decompress(&cinfo);
		fclose(file);
		return;
	}
	jpeg_create_decompress(&cinfo);
	jpeg_stdio_src(&cinfo, file);
	jpeg_read_header(&cinfo, TRUE);
	jpeg_start_decompress(&cinfo);
	if (write_rows(&cinfo, *bo))
		jpeg_finish_decompress(&cinfo);
	jpeg_destroy_decompress(&cinfo);
	fclose(file);
}
