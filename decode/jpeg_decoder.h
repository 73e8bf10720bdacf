// JPEG frame files decoded row by row into scan-out buffers.
#pragma once

#include "buffer/bo.h"

// Reads only the header of the JPEG file `path` and stores the picture's output size; 0 and 0
// when the file cannot be opened, is not a regular file, or the library rejects it (its message
// on standard error).
void jpeg_get_size(const char *path, int *width, int *height);

// Decodes the JPEG file `path` into the mapping of `bo`, row r at ptr + r * pitch: for an XR24
// buffer 4 bytes per pixel (blue, green, red, unused, as DRM defines XR24), for any other 3 bytes
// per pixel (red, green, blue). A picture larger than the buffer, a buffer without a mapping, a
// component count other than 1 or 3, a file that is not a regular file, more scans than a real
// encoder writes, or an error of the library (its memory limit included) leaves the frame
// undecoded (rows already written stay written); the caller is not told. Takes no ownership.
void jpeg_sf_decode(const char *path, bo *bo);

// The same, with the picture centred on the buffer: a smaller picture in its middle (the rest
// of the buffer left as it is), a larger one cropped to its middle part.
void jpeg_sf_decode_centred(const char *path, bo *bo);
