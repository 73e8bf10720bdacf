// Scan-out buffers: DRM dumb buffers mapped into the process, optionally registered as a
// framebuffer by the caller.
#pragma once

#include <cstddef>
#include <cstdint>

// One scan-out buffer. Made zero-filled by create_dumb_buffer; the caller of bo_create owns it
// and tears it down with bo_release.
struct bo {
	int fd;          // DRM descriptor the buffer was created on
	uint8_t *ptr;    // CPU mapping of all `size` bytes; null while unmapped
	uint64_t size;   // byte size, as the kernel reported it
	uint64_t pitch;  // bytes from one row to the next, as the kernel reported it
	uint32_t width;  // pixels, as requested
	uint32_t height; // rows allocated (enlarged for the multi-planar YUV formats)
	uint32_t format; // DRM fourcc
	uint32_t handle; // GEM handle on fd
	uint32_t fb_id;  // framebuffer registered over the buffer; 0 while there is none
};

// A new mapped buffer of `format` (one of the 46 packed and YUV codes of the format table),
// or null with a message on standard error; `dumb_refused`, when given, tells whether the card
// refused the dumb buffer itself (rather than its mapping). The caller owns the result.
bo *bo_create(int fd, uint32_t format, uint32_t width, uint32_t height,
              bool *dumb_refused = nullptr);

// A new unmapped buffer of `height` rows at `bpp` bits per pixel, or null. Used by bo_create.
bo *create_dumb_buffer(int fd, uint32_t width, uint32_t height, uint32_t bpp);

// Maps the whole buffer: 0, the failed MAP_DUMB result, or -EINVAL when mmap fails.
int map_buffer(bo *bo);

// Removes the mapping, if there is one.
void unmap_buffer(bo *bo);

// Removes the framebuffer (if fb_id is set) and destroys the dumb buffer: 0 or the failed
// DESTROY_DUMB result. The record itself stays; release it with bo_free.
int destroy_buffer(bo *bo);

// Releases the record (after unmap_buffer and destroy_buffer).
void bo_free(bo *bo);

// The one teardown of a buffer from bo_create: unmap, framebuffer and dumb buffer, record.
void bo_release(bo *bo);

// Whether `b` still holds a mapped buffer on a descriptor, as a slot of the ring does until
// its frame is released.
bool bo_live(const bo *b);
