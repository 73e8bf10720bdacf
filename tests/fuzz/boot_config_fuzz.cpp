// boot.conf as any bytes: the reader must keep its values in range and its directory a
// terminated string of the buffer.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "animation/boot_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	mImageCount = 0;
	memset(mBootAnimPath, 0, sizeof mBootAnimPath);
	mFps = 15;
	// fmemopen wants a writable buffer even for reading.
	char *copy = static_cast<char *>(malloc(size + 1));
	memcpy(copy, data, size);
	FILE *file = size ? fmemopen(copy, size, "rb") : nullptr;
	read_boot_config(file);
	free(copy);

	if (mImageCount <= 0)
		abort();
	if (memchr(mBootAnimPath, '\0', sizeof mBootAnimPath) == nullptr)
		abort();
	for (size_t i = 0; mBootAnimPath[i]; i++)
		if (mBootAnimPath[i] == ' ' || mBootAnimPath[i] == '\n' || mBootAnimPath[i] == '\r')
			abort();
	// Without a count line the defaults stand.
	if (size == 0 && (mImageCount != 4 || strcmp(mBootAnimPath, "/media/bootanimation") != 0))
		abort();
	return 0;
}
