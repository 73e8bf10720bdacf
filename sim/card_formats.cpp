// The pixel formats the card knows (a subset of the kernel's drm_fourcc.c table): what ADDFB2
// accepts as a format at all, and the bytes per pixel of each of its planes.
#include <drm_fourcc.h>

#include "sim/card.h"

namespace sim::kms
{

namespace
{

constexpr format_info packed(uint32_t format, uint8_t cpp)
{
	format_info f;
	f.format = format;
	f.planes = 1;
	f.cpp[0] = cpp;
	return f;
}

constexpr format_info yuv(uint32_t format, int planes, uint8_t c0, uint8_t c1, uint8_t c2,
                          uint8_t hsub, uint8_t vsub)
{
	format_info f;
	f.format = format;
	f.planes = planes;
	f.cpp[0] = c0;
	f.cpp[1] = c1;
	f.cpp[2] = c2;
	f.hsub = hsub;
	f.vsub = vsub;
	return f;
}

constexpr format_info k_formats[] = {
        packed(DRM_FORMAT_C8, 1),
        packed(DRM_FORMAT_R8, 1),
        packed(DRM_FORMAT_RGB332, 1),
        packed(DRM_FORMAT_BGR233, 1),
        packed(DRM_FORMAT_XRGB4444, 2),
        packed(DRM_FORMAT_XBGR4444, 2),
        packed(DRM_FORMAT_ARGB4444, 2),
        packed(DRM_FORMAT_ABGR4444, 2),
        packed(DRM_FORMAT_XRGB1555, 2),
        packed(DRM_FORMAT_XBGR1555, 2),
        packed(DRM_FORMAT_ARGB1555, 2),
        packed(DRM_FORMAT_ABGR1555, 2),
        packed(DRM_FORMAT_RGB565, 2),
        packed(DRM_FORMAT_BGR565, 2),
        packed(DRM_FORMAT_RGB888, 3),
        packed(DRM_FORMAT_BGR888, 3),
        packed(DRM_FORMAT_XRGB8888, 4),
        packed(DRM_FORMAT_XBGR8888, 4),
        packed(DRM_FORMAT_RGBX8888, 4),
        packed(DRM_FORMAT_BGRX8888, 4),
        packed(DRM_FORMAT_ARGB8888, 4),
        packed(DRM_FORMAT_ABGR8888, 4),
        packed(DRM_FORMAT_RGBA8888, 4),
        packed(DRM_FORMAT_BGRA8888, 4),
        packed(DRM_FORMAT_XRGB2101010, 4),
        packed(DRM_FORMAT_XBGR2101010, 4),
        packed(DRM_FORMAT_ARGB2101010, 4),
        packed(DRM_FORMAT_ABGR2101010, 4),
        packed(DRM_FORMAT_XRGB16161616, 8),
        packed(DRM_FORMAT_XBGR16161616, 8),
        packed(DRM_FORMAT_ARGB16161616, 8),
        packed(DRM_FORMAT_ABGR16161616, 8),
        packed(DRM_FORMAT_XRGB16161616F, 8),
        packed(DRM_FORMAT_ARGB16161616F, 8),
        packed(DRM_FORMAT_YUYV, 2),
        packed(DRM_FORMAT_YVYU, 2),
        packed(DRM_FORMAT_UYVY, 2),
        packed(DRM_FORMAT_VYUY, 2),
        yuv(DRM_FORMAT_NV12, 2, 1, 2, 0, 2, 2),
        yuv(DRM_FORMAT_NV21, 2, 1, 2, 0, 2, 2),
        yuv(DRM_FORMAT_NV16, 2, 1, 2, 0, 2, 1),
        yuv(DRM_FORMAT_NV61, 2, 1, 2, 0, 2, 1),
        yuv(DRM_FORMAT_NV24, 2, 1, 2, 0, 1, 1),
        yuv(DRM_FORMAT_YUV420, 3, 1, 1, 1, 2, 2),
        yuv(DRM_FORMAT_YVU420, 3, 1, 1, 1, 2, 2),
        yuv(DRM_FORMAT_YUV422, 3, 1, 1, 1, 2, 1),
        yuv(DRM_FORMAT_YUV444, 3, 1, 1, 1, 1, 1),
};

} // namespace

const format_info *find_format(uint32_t fourcc)
{
	for (const format_info &f : k_formats)
		if (f.format == fourcc)
			return &f;
	return nullptr;
}

} // namespace sim::kms
