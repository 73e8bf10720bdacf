#include "buffer/bo.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>

#include <drm_fourcc.h>
#include <xf86drm.h>
#include <xf86drmMode.h>

namespace
{

enum class rows_rule { same, yuv420, yuv422 };

struct format_info {
	uint32_t format;
	uint32_t bpp;
	rows_rule rows;
};

constexpr std::array k_formats = {
        format_info{DRM_FORMAT_XRGB4444, 16, rows_rule::same},
        format_info{DRM_FORMAT_XBGR4444, 16, rows_rule::same},
        format_info{DRM_FORMAT_RGBX4444, 16, rows_rule::same},
        format_info{DRM_FORMAT_BGRX4444, 16, rows_rule::same},
        format_info{DRM_FORMAT_ARGB4444, 16, rows_rule::same},
        format_info{DRM_FORMAT_ABGR4444, 16, rows_rule::same},
        format_info{DRM_FORMAT_RGBA4444, 16, rows_rule::same},
        format_info{DRM_FORMAT_BGRA4444, 16, rows_rule::same},
        format_info{DRM_FORMAT_XRGB1555, 16, rows_rule::same},
        format_info{DRM_FORMAT_XBGR1555, 16, rows_rule::same},
        format_info{DRM_FORMAT_RGBX5551, 16, rows_rule::same},
        format_info{DRM_FORMAT_BGRX5551, 16, rows_rule::same},
        format_info{DRM_FORMAT_ARGB1555, 16, rows_rule::same},
        format_info{DRM_FORMAT_ABGR1555, 16, rows_rule::same},
        format_info{DRM_FORMAT_RGBA5551, 16, rows_rule::same},
        format_info{DRM_FORMAT_BGRA5551, 16, rows_rule::same},
        format_info{DRM_FORMAT_RGB565, 16, rows_rule::same},
        format_info{DRM_FORMAT_BGR565, 16, rows_rule::same},
        format_info{DRM_FORMAT_YUYV, 16, rows_rule::same},
        format_info{DRM_FORMAT_YVYU, 16, rows_rule::same},
        format_info{DRM_FORMAT_UYVY, 16, rows_rule::same},
        format_info{DRM_FORMAT_VYUY, 16, rows_rule::same},
        format_info{DRM_FORMAT_RGB888, 24, rows_rule::same},
        format_info{DRM_FORMAT_BGR888, 24, rows_rule::same},
        format_info{DRM_FORMAT_XRGB8888, 32, rows_rule::same},
        format_info{DRM_FORMAT_XBGR8888, 32, rows_rule::same},
        format_info{DRM_FORMAT_RGBX8888, 32, rows_rule::same},
        format_info{DRM_FORMAT_BGRX8888, 32, rows_rule::same},
        format_info{DRM_FORMAT_ARGB8888, 32, rows_rule::same},
        format_info{DRM_FORMAT_ABGR8888, 32, rows_rule::same},
        format_info{DRM_FORMAT_RGBA8888, 32, rows_rule::same},
        format_info{DRM_FORMAT_BGRA8888, 32, rows_rule::same},
        format_info{DRM_FORMAT_XRGB2101010, 32, rows_rule::same},
        format_info{DRM_FORMAT_XBGR2101010, 32, rows_rule::same},
        format_info{DRM_FORMAT_RGBX1010102, 32, rows_rule::same},
        format_info{DRM_FORMAT_BGRX1010102, 32, rows_rule::same},
        format_info{DRM_FORMAT_ARGB2101010, 32, rows_rule::same},
        format_info{DRM_FORMAT_ABGR2101010, 32, rows_rule::same},
        format_info{DRM_FORMAT_RGBA1010102, 32, rows_rule::same},
        format_info{DRM_FORMAT_BGRA1010102, 32, rows_rule::same},
        format_info{DRM_FORMAT_NV12, 8, rows_rule::yuv420},
        format_info{DRM_FORMAT_NV21, 8, rows_rule::yuv420},
        format_info{DRM_FORMAT_YUV420, 8, rows_rule::yuv420},
        format_info{DRM_FORMAT_YVU420, 8, rows_rule::yuv420},
        format_info{DRM_FORMAT_NV16, 8, rows_rule::yuv422},
        format_info{DRM_FORMAT_NV61, 8, rows_rule::yuv422},
};
static_assert(k_formats.size() == 46);

const format_info *find_format(uint32_t format)
{
	for (const format_info &info : k_formats)
		if (info.format == format)
			return &info;
	return nullptr;
}

// The multi-planar YUV formats get one 8-bit plane tall enough for luma and chroma; the sums
// are unsigned 32-bit as the kernel's arguments are, so an odd 4:2:0 height loses half a row.
uint32_t rows_for(const format_info &info, uint32_t height)
{
	switch (info.rows) {
	case rows_rule::yuv420:
		return (height * 3u) >> 1;
	case rows_rule::yuv422:
		return height * 2u;
	case rows_rule::same:
		break;
	}
	return height;
}

} // namespace

bo *bo_create(int fd, uint32_t format, uint32_t width, uint32_t height, bool *dumb_refused)
{
	if (dumb_refused)
		*dumb_refused = false;
	const format_info *info = find_format(format);
	if (!info) {
		fprintf(stderr, "unsupported format 0x%08x\n", format);
		return nullptr;
	}
	bo *b = create_dumb_buffer(fd, width, rows_for(*info, height), info->bpp);
	if (!b) {
		if (dumb_refused)
			*dumb_refused = true;
		return nullptr;
	}
	b->format = format;
	if (map_buffer(b) == 0)
		return b;
	// map_buffer leaves errno as the failed call set it; the caller reads it after the
	// clean-up, so keep it.
	int err = errno;
	fprintf(stderr, "failed to map buffer: %s\n", strerror(err));
	bo_release(b);
	errno = err;
	return nullptr;
}

bo *create_dumb_buffer(int fd, uint32_t width, uint32_t height, uint32_t bpp)
{
	bo *b = static_cast<bo *>(calloc(1, sizeof(bo)));
	if (!b) {
		fprintf(stderr, "failed to allocate buffer object\n");
		return nullptr;
	}
	drm_mode_create_dumb req{};
	req.width = width;
	req.height = height;
	req.bpp = bpp;
	if (drmIoctl(fd, DRM_IOCTL_MODE_CREATE_DUMB, &req) != 0) {
		fprintf(stderr, "failed to create dumb buffer: %s\n", strerror(errno));
		free(b);
		return nullptr;
	}
	b->fd = fd;
	b->handle = req.handle;
	b->pitch = req.pitch;
	b->size = req.size;
	b->width = width;
	b->height = height;
	return b;
}

int map_buffer(bo *b)
{
	drm_mode_map_dumb req{};
	req.handle = b->handle;
	int ret = drmIoctl(b->fd, DRM_IOCTL_MODE_MAP_DUMB, &req);
	if (ret != 0)
		return ret;
	void *map = mmap(nullptr, b->size, PROT_READ | PROT_WRITE, MAP_SHARED, b->fd,
	                 static_cast<off_t>(req.offset));
	if (map == MAP_FAILED)
		return -EINVAL;
	b->ptr = static_cast<uint8_t *>(map);
	return 0;
}

void unmap_buffer(bo *b)
{
	if (!b->ptr)
		return;
	drmUnmap(b->ptr, b->size);
	b->ptr = nullptr;
}

int destroy_buffer(bo *b)
{
	if (b->fb_id != 0) {
		drmModeRmFB(b->fd, b->fb_id);
		b->fb_id = 0;
	}
	drm_mode_destroy_dumb req{};
	req.handle = b->handle;
	int ret = drmIoctl(b->fd, DRM_IOCTL_MODE_DESTROY_DUMB, &req);
	if (ret != 0)
		fprintf(stderr, "failed to destroy dumb buffer: %s fd=0x%x\n", strerror(errno),
		        static_cast<unsigned>(b->fd));
	return ret;
}

void bo_free(bo *b)
{
	free(b);
}

void bo_release(bo *b)
{
	unmap_buffer(b);
	destroy_buffer(b);
	bo_free(b);
}

bool bo_live(const bo *b)
{
	return b && b->fd != 0 && b->ptr;
}
