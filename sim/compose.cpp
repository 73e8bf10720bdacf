// sim::screen(): what a CRTC scans out, composed from its planes' framebuffers.
#include <algorithm>

#include <sys/mman.h>

#include "sim/card.h"

namespace sim
{

namespace
{

using namespace kms;

struct rgb {
	uint8_t r = 0, g = 0, b = 0;
};

uint8_t expand(uint32_t v, int bits)
{
	return uint8_t(bits == 5 ? (v << 3) | (v >> 2) : (v << 2) | (v >> 4));
}

// One pixel of a packed RGB format; false for formats the card cannot show.
bool read_pixel(uint32_t format, bool rg24_red_first, const uint8_t *p, rgb *out)
{
	switch (format) {
	case DRM_FORMAT_XRGB8888:
	case DRM_FORMAT_ARGB8888:
		*out = {p[2], p[1], p[0]};
		return true;
	case DRM_FORMAT_XBGR8888:
	case DRM_FORMAT_ABGR8888:
		*out = {p[0], p[1], p[2]};
		return true;
	case DRM_FORMAT_RGBX8888:
	case DRM_FORMAT_RGBA8888:
		*out = {p[3], p[2], p[1]};
		return true;
	case DRM_FORMAT_BGRX8888:
	case DRM_FORMAT_BGRA8888:
		*out = {p[1], p[2], p[3]};
		return true;
	case DRM_FORMAT_RGB888:
		// DRM's RGB888 is little-endian [23:0] R:G:B, so blue comes first in memory.
		*out = rg24_red_first ? rgb{p[0], p[1], p[2]} : rgb{p[2], p[1], p[0]};
		return true;
	case DRM_FORMAT_BGR888:
		*out = {p[0], p[1], p[2]};
		return true;
	case DRM_FORMAT_RGB565: {
		const uint32_t v = p[0] | uint32_t(p[1]) << 8;
		*out = {expand(v >> 11, 5), expand((v >> 5) & 0x3f, 6), expand(v & 0x1f, 5)};
		return true;
	}
	case DRM_FORMAT_BGR565: {
		const uint32_t v = p[0] | uint32_t(p[1]) << 8;
		*out = {expand(v & 0x1f, 5), expand((v >> 5) & 0x3f, 6), expand(v >> 11, 5)};
		return true;
	}
	case DRM_FORMAT_XRGB16161616:
	case DRM_FORMAT_ARGB16161616:
		*out = {p[5], p[3], p[1]};
		return true;
	case DRM_FORMAT_XBGR16161616:
	case DRM_FORMAT_ABGR16161616:
		*out = {p[1], p[3], p[5]};
		return true;
	default:
		return false;
	}
}

void draw_plane(device &d, const plane_state &ps, image &img)
{
	auto it = d.fbs.find(ps.fb);
	if (it == d.fbs.end() || ps.crtc_w == 0 || ps.crtc_h == 0)
		return;
	const framebuffer &fb = it->second;
	const format_info *info = find_format(fb.format);
	rgb probe;
	static const uint8_t zeros[8] = {};
	if (!info || info->planes != 1 || !read_pixel(fb.format, false, zeros, &probe))
		return;
	auto g = d.gems.find(fb.gems[0]);
	if (g == d.gems.end())
		return;
	gem_object &gem = g->second;
	if (!gem.pixels) {
		void *p = libc().mmap(nullptr, gem.size, PROT_READ, MAP_SHARED, gem.memfd, 0);
		if (p == MAP_FAILED)
			return;
		gem.pixels = static_cast<uint8_t *>(p);
	}
	const bool red_first = d.topo.driver.rg24_red_first;
	const uint64_t cpp = info->cpp[0];
	const uint64_t sx = ps.src_x >> 16, sy = ps.src_y >> 16;
	const uint64_t sw = ps.src_w >> 16, sh = ps.src_h >> 16;
	const int64_t i0 = std::max<int64_t>(0, -int64_t(ps.crtc_x));
	const int64_t i1 = std::min<int64_t>(ps.crtc_w, int64_t(img.width) - ps.crtc_x);
	const int64_t j0 = std::max<int64_t>(0, -int64_t(ps.crtc_y));
	const int64_t j1 = std::min<int64_t>(ps.crtc_h, int64_t(img.height) - ps.crtc_y);
	for (int64_t j = j0; j < j1; j++) {
		const uint64_t py = sy + uint64_t(j) * sh / ps.crtc_h;
		if (py >= fb.height)
			continue;
		uint8_t *row = &img.rgb[(uint64_t(ps.crtc_y + j) * img.width) * 3];
		for (int64_t i = i0; i < i1; i++) {
			const uint64_t px = sx + uint64_t(i) * sw / ps.crtc_w;
			if (px >= fb.width)
				continue;
			const uint64_t at = fb.offsets[0] + py * fb.pitches[0] + px * cpp;
			if (at + cpp > gem.size)
				continue;
			rgb c;
			read_pixel(fb.format, red_first, gem.pixels + at, &c);
			uint8_t *out = row + uint64_t(ps.crtc_x + i) * 3;
			out[0] = c.r;
			out[1] = c.g;
			out[2] = c.b;
		}
	}
}

} // namespace

image screen(int crtc_index)
{
	card_lock lock;
	return g_dev ? kms::compose_screen(*g_dev, crtc_index) : image{};
}

image kms::compose_screen(device &d, int crtc_index)
{
	image img;
	if (crtc_index < 0 || size_t(crtc_index) >= d.crtcs.size())
		return img;
	const crtc &c = d.crtcs[crtc_index];
	if (!c.state.active || !c.state.enable())
		return img;
	img.width = c.state.mode.hdisplay;
	img.height = c.state.mode.vdisplay;
	img.rgb.assign(size_t(img.width) * img.height * 3, 0);
	// The hardware blends in zpos order; a plane without one takes its type's place (primary
	// 0, overlays 1, cursor 2), ties in list order.
	std::vector<std::pair<int, size_t>> order;
	for (size_t i = 0; i < d.planes.size(); i++) {
		const plane &p = d.planes[i];
		if (p.state.crtc != crtc_index || !p.state.fb)
			continue;
		const int rank = p.type == DRM_PLANE_TYPE_PRIMARY  ? 0
		                 : p.type == DRM_PLANE_TYPE_CURSOR ? 2
		                                                   : 1;
		order.emplace_back(d.topo.planes[i].zpos.value_or(rank), i);
	}
	std::stable_sort(order.begin(), order.end());
	for (const auto &[z, i] : order)
		draw_plane(d, d.planes[i].state, img);
	return img;
}

} // namespace sim
