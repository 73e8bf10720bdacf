// JPEG frame files decoded row by row into scan-out buffers.
#pragma once

#include "buffer/bo.h"

// What a JPEG file's header tells: the output size and components (4 for CMYK) and the scan
// mode.
struct jpeg_info {
	int width;
	int height;
	int components;
	bool progressive;
};

// Reads only the header of the JPEG file `path`; false with all zero when the file cannot be
// opened, is not a regular file, or the library rejects it (its message on standard error).
bool jpeg_get_info(const char *path, jpeg_info *info);

// The output size of jpeg_get_info; 0 and 0 when it fails.
void jpeg_get_size(const char *path, int *width, int *height);

// Decodes the JPEG file `path` into the mapping of `bo`, row r at ptr + r * pitch: for an XR24
// buffer 4 bytes per pixel (blue, green, red, unused, as DRM defines XR24), for any other 3 bytes
// per pixel (red, green, blue). A picture larger than the buffer, a buffer without a mapping, a
// component count other than 1 or 3, a file that is not a regular file, more scans than a real
// encoder writes, or an error of the library (its memory limit included) leaves the frame
// undecoded (rows already written stay written). True only when every row was written. Takes no
// ownership.
bool jpeg_sf_decode(const char *path, bo *bo);

// The same, with the picture centred on the buffer: a smaller picture in its middle (the rest
// of the buffer left as it is), a larger one cropped to its middle part.
bool jpeg_sf_decode_centred(const char *path, bo *bo);
