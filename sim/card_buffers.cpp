// Dumb buffers (GEM objects), the memory kept for resident ones, and framebuffers.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <drm_fourcc.h>

#include "sim/card.h"
#include "sim/control.h"

namespace sim::kms
{

void gem_unref(device &d, uint64_t key)
{
	auto it = d.gems.find(key);
	if (it == d.gems.end())
		return;
	gem_object &g = it->second;
	if (g.handles > 0 || g.fbs > 0 || g.mappings > 0)
		return;
	if (g.pixels)
		libc().munmap(g.pixels, g.size);
	// A handful of buffers is what a player cycles through; more would only hold memory.
	constexpr size_t k_pool_max = 8;
	if (g.resident && g.memfd >= 0 && d.pool.size() < k_pool_max) {
		d.pool.push_back(pooled_memory{g.size, g.memfd, g.parked});
	} else {
		if (g.parked)
			libc().munmap(g.parked, g.size);
		if (g.memfd >= 0)
			libc().close(g.memfd);
	}
	d.gems.erase(it);
}

namespace
{

// drm_mode_create_dumb() and a GEM helper's dumb_create.
// Memory a destroyed resident buffer left, zeroed as the kernel hands out every new buffer;
// memfd -1 when none of that size is waiting.
pooled_memory take_pooled_memory(device &d, uint64_t size)
{
	for (auto it = d.pool.begin(); it != d.pool.end(); ++it) {
		if (it->size != size)
			continue;
		pooled_memory mem = *it;
		d.pool.erase(it);
		if (mem.map) {
			memset(mem.map, 0, size);
		} else if (ftruncate(mem.memfd, 0) != 0 || ftruncate(mem.memfd, off_t(size)) != 0) {
			libc().close(mem.memfd);
			return pooled_memory{size, -1, nullptr};
		}
		return mem;
	}
	return pooled_memory{size, -1, nullptr};
}

} // namespace

int create_dumb(request_ctx &c, drm_mode_create_dumb &r)
{
	const driver_def &drv = c.dev->topo.driver;
	if (!r.width || !r.height || !r.bpp)
		return -EINVAL;
	if (r.bpp > UINT32_MAX - 8)
		return -EINVAL;
	const uint32_t cpp = (r.bpp + 7) / 8;
	if (cpp > UINT32_MAX / r.width)
		return -EINVAL;
	const uint32_t stride = cpp * r.width;
	if (r.height > UINT32_MAX / stride)
		return -EINVAL;
	if (((uint64_t(stride) * r.height + k_page - 1) & ~(k_page - 1)) > UINT32_MAX)
		return -EINVAL;
	r.handle = 0;
	r.pitch = 0;
	r.size = 0;
	if (drv.dumb_bpp.empty() ? (r.bpp % 8 != 0)
	                         : std::find(drv.dumb_bpp.begin(), drv.dumb_bpp.end(), r.bpp) ==
	                                   drv.dumb_bpp.end())
		return -EINVAL;
	const uint64_t align = drv.pitch_align ? drv.pitch_align : 1;
	const uint64_t min_pitch = (uint64_t(r.width) * r.bpp + 7) / 8;
	const uint64_t pitch = (min_pitch + align - 1) / align * align;
	const uint64_t size = (pitch * r.height + k_page - 1) & ~(k_page - 1);
	if (pitch > UINT32_MAX || size > UINT32_MAX)
		return -EINVAL;
	device &d = *c.dev;
	pooled_memory mem{size, -1, nullptr};
	if (drv.resident_buffers)
		mem = take_pooled_memory(d, size);
	if (mem.memfd < 0) {
		mem.memfd = memfd_create("simkms-dumb", MFD_CLOEXEC);
		if (mem.memfd < 0)
			return -ENOMEM;
		// A kernel buffer takes no descriptor of the process: keep the low numbers free, so
		// that what the program opens next gets the number it would get on the kernel.
		if (mem.memfd < k_own_fd_base) {
			const int moved = fcntl(mem.memfd, F_DUPFD_CLOEXEC, k_own_fd_base);
			if (moved >= 0) {
				libc().close(mem.memfd);
				mem.memfd = moved;
			}
		}
		if (ftruncate(mem.memfd, off_t(size)) != 0) {
			libc().close(mem.memfd);
			return -ENOMEM;
		}
	}
	const uint64_t key = d.next_gem++;
	gem_object &g = d.gems[key];
	g.size = size;
	g.memfd = mem.memfd;
	g.parked = mem.map;
	g.resident = drv.resident_buffers;
	g.handles = 1;
	// Handles come from a per-file idr: the lowest free number from 1 on.
	uint32_t handle = 1;
	for (const auto &[h, k] : c.file->handles) {
		if (h != handle)
			break;
		handle++;
	}
	c.file->handles[handle] = key;
	r.handle = handle;
	r.pitch = uint32_t(pitch);
	r.size = drv.dumb_size_in_pages ? size : pitch * r.height;
	return 0;
}

int map_dumb(request_ctx &c, drm_mode_map_dumb &r)
{
	auto h = c.file->handles.find(r.handle);
	if (h == c.file->handles.end())
		return -ENOENT;
	gem_object &g = c.dev->gems[h->second];
	if (!g.offset) {
		g.offset = c.dev->next_offset;
		c.dev->next_offset += g.size;
	}
	r.offset = g.offset;
	return 0;
}

namespace
{

int delete_handle(request_ctx &c, uint32_t handle)
{
	auto h = c.file->handles.find(handle);
	if (h == c.file->handles.end())
		return -EINVAL;
	const uint64_t key = h->second;
	c.file->handles.erase(h);
	c.dev->gems[key].handles--;
	gem_unref(*c.dev, key);
	return 0;
}

} // namespace

int destroy_dumb(request_ctx &c, drm_mode_destroy_dumb &r)
{
	return delete_handle(c, r.handle);
}

int gem_close(request_ctx &c, drm_gem_close &r)
{
	return delete_handle(c, r.handle);
}

namespace
{

bool format_offered(const device &d, uint32_t format)
{
	if (d.topo.driver.fb_any_format)
		return true;
	const std::vector<uint32_t> &fb_formats = d.topo.driver.fb_formats;
	if (!fb_formats.empty())
		return std::find(fb_formats.begin(), fb_formats.end(), format) != fb_formats.end();
	for (const plane &p : d.planes)
		if (std::find(p.formats.begin(), p.formats.end(), format) != p.formats.end())
			return true;
	return false;
}

} // namespace

// drm_mode_addfb2(): drm_internal_framebuffer_create(), framebuffer_check() and the GEM
// framebuffer helper's checks, in that order.
int add_fb2(request_ctx &c, drm_mode_fb_cmd2 &r)
{
	device &d = *c.dev;
	const driver_def &drv = d.topo.driver;
	if (r.flags & ~uint32_t(DRM_MODE_FB_INTERLACED | DRM_MODE_FB_MODIFIERS))
		return -EINVAL;
	if (drv.min_width > r.width || r.width > drv.max_width)
		return -EINVAL;
	if (drv.min_height > r.height || r.height > drv.max_height)
		return -EINVAL;
	const bool modifiers = r.flags & DRM_MODE_FB_MODIFIERS;
	if (modifiers && !drv.fb_modifiers)
		return -EINVAL;
	const format_info *info = find_format(r.pixel_format);
	if (!info)
		return -EINVAL;
	auto plane_w = [&](int i) { return i ? r.width / info->hsub : r.width; };
	auto plane_h = [&](int i) { return i ? r.height / info->vsub : r.height; };
	for (int i = 0; i < info->planes; i++) {
		const uint64_t min_pitch = uint64_t(plane_w(i)) * info->cpp[i];
		if (!r.handles[i])
			return -EINVAL;
		if (min_pitch > UINT_MAX)
			return -ERANGE;
		if (uint64_t(plane_h(i)) * r.pitches[i] + r.offsets[i] > UINT_MAX)
			return -ERANGE;
		if (r.pitches[i] < min_pitch)
			return -EINVAL;
		if (r.modifier[i] && !modifiers)
			return -EINVAL;
		if (modifiers && r.modifier[i] != r.modifier[0])
			return -EINVAL;
	}
	for (int i = info->planes; i < 4; i++) {
		if (r.modifier[i])
			return -EINVAL;
		if (!modifiers)
			continue;
		if (r.handles[i] || r.pitches[i] || r.offsets[i])
			return -EINVAL;
	}
	// Every plane scans out linear buffers only.
	if (!format_offered(d, r.pixel_format) || r.modifier[0] != DRM_FORMAT_MOD_LINEAR)
		return -EINVAL;
	framebuffer fb;
	for (int i = 0; i < info->planes; i++) {
		auto h = c.file->handles.find(r.handles[i]);
		if (h == c.file->handles.end())
			return -ENOENT;
		const uint64_t min_size = uint64_t(plane_h(i) - 1) * r.pitches[i] +
		                          uint64_t(plane_w(i)) * info->cpp[i] + r.offsets[i];
		if (d.gems[h->second].size < min_size)
			return -EINVAL;
		fb.gems[i] = h->second;
		fb.pitches[i] = r.pitches[i];
		fb.offsets[i] = r.offsets[i];
	}
	fb.gem_count = info->planes;
	fb.width = r.width;
	fb.height = r.height;
	fb.format = r.pixel_format;
	fb.flags = r.flags;
	fb.modifier = r.modifier[0];
	fb.owner = c.fd;
	fb.id = alloc_object_id(d, DRM_MODE_OBJECT_FB, -1);
	for (int i = 0; i < fb.gem_count; i++)
		d.gems[fb.gems[i]].fbs++;
	d.fbs[fb.id] = fb;
	c.file->fbs.insert(c.file->fbs.begin(), fb.id);
	r.fb_id = fb.id;
	return 0;
}

int rm_fb(request_ctx &c, unsigned int &fb_id)
{
	auto it = c.dev->fbs.find(fb_id);
	if (it == c.dev->fbs.end() || it->second.owner != c.fd)
		return -ENOENT;
	remove_fb(*c.dev, fb_id);
	return 0;
}

} // namespace sim::kms
