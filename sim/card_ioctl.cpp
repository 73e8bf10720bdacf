// The card's ioctl entry (drm_ioctl()) and the requests other than ATOMIC and WAIT_VBLANK:
// capabilities, the mode-object queries, properties and blobs, dumb buffers and framebuffers.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <drm_fourcc.h>

#include "sim/card.h"
#include "sim/control.h"
#include "sim/preload.h"

namespace sim::kms
{

bool request_ctx::relock(uint64_t generation)
{
	lock.lock();
	if (!g_dev || g_dev->generation != generation)
		return false;
	dev = g_dev;
	file = find_file(*dev, fd);
	return file != nullptr;
}

namespace
{

// Writes to the caller's arrays; a null array where the kernel would write is EFAULT.
bool put_u32(uint64_t ptr, size_t index, uint32_t v)
{
	if (!ptr)
		return false;
	memcpy(reinterpret_cast<uint32_t *>(uintptr_t(ptr)) + index, &v, sizeof(v));
	return true;
}

bool put_u64(uint64_t ptr, size_t index, uint64_t v)
{
	if (!ptr)
		return false;
	memcpy(reinterpret_cast<uint64_t *>(uintptr_t(ptr)) + index, &v, sizeof(v));
	return true;
}

bool put_bytes(uint64_t ptr, const void *data, size_t len)
{
	if (!ptr)
		return false;
	if (len)
		memcpy(reinterpret_cast<void *>(uintptr_t(ptr)), data, len);
	return true;
}

const object_ref *find_typed(const device &d, uint32_t id, uint32_t type)
{
	const object_ref *o = find_object(d, id);
	if (!o || (type != DRM_MODE_OBJECT_ANY && o->type != type))
		return nullptr;
	return o;
}

// drm_mode_object_get_properties(): atomic properties only for atomic clients; fills as many
// as the caller has room for and reports the full count.
int get_properties(request_ctx &c, const object_ref &o, uint64_t props_ptr, uint64_t values_ptr,
                   uint32_t *count_props)
{
	const device &d = *c.dev;
	const std::vector<int> *props = object_props(d, o);
	uint32_t count = 0;
	for (int p : *props) {
		const property &prop = d.props[p];
		if ((prop.flags & DRM_MODE_PROP_ATOMIC) && !c.file->atomic)
			continue;
		if (*count_props > count) {
			if (!put_u32(props_ptr, count, prop.id) ||
			    !put_u64(values_ptr, count, prop_value(d, o, p)))
				return -EFAULT;
		}
		count++;
	}
	*count_props = count;
	return 0;
}

drm_mode_modeinfo to_umode(const drm_file &f, drm_mode_modeinfo m)
{
	m.vrefresh = uint32_t(mode_vrefresh(m));
	if (!f.aspect_ratio)
		m.flags &= ~DRM_MODE_FLAG_PIC_AR_MASK;
	return m;
}

int version(request_ctx &c, drm_version &v)
{
	const driver_def &drv = c.dev->topo.driver;
	// drm_copy_field(): copies what fits, reports the full length.
	auto copy = [](const std::string &value, __kernel_size_t &len, char *buf) {
		const size_t n = std::min<size_t>(value.size(), len);
		len = value.size();
		if (n && buf)
			memcpy(buf, value.data(), n);
	};
	v.version_major = drv.version_major;
	v.version_minor = drv.version_minor;
	v.version_patchlevel = drv.version_patchlevel;
	copy(drv.name, v.name_len, v.name);
	copy("20240101", v.date_len, v.date);
	copy(drv.desc, v.desc_len, v.desc);
	return 0;
}

int get_cap(request_ctx &c, drm_get_cap &cap)
{
	const driver_def &drv = c.dev->topo.driver;
	cap.value = 0;
	switch (cap.capability) {
	case DRM_CAP_TIMESTAMP_MONOTONIC:
		cap.value = 1;
		return 0;
	case DRM_CAP_PRIME:
	case DRM_CAP_SYNCOBJ:
	case DRM_CAP_SYNCOBJ_TIMELINE:
		return 0;
	}
	switch (cap.capability) {
	case DRM_CAP_DUMB_BUFFER:
		cap.value = 1;
		break;
	case DRM_CAP_VBLANK_HIGH_CRTC:
		cap.value = 1;
		break;
	case DRM_CAP_DUMB_PREFERRED_DEPTH:
		cap.value = drv.preferred_depth;
		break;
	case DRM_CAP_DUMB_PREFER_SHADOW:
	case DRM_CAP_ASYNC_PAGE_FLIP:
	case DRM_CAP_PAGE_FLIP_TARGET:
		break;
	case DRM_CAP_CURSOR_WIDTH:
		cap.value = drv.cursor_width;
		break;
	case DRM_CAP_CURSOR_HEIGHT:
		cap.value = drv.cursor_height;
		break;
	case DRM_CAP_ADDFB2_MODIFIERS:
		cap.value = drv.fb_modifiers;
		break;
	case DRM_CAP_CRTC_IN_VBLANK_EVENT:
		cap.value = 1;
		break;
	default:
		return -EINVAL;
	}
	return 0;
}

// drm_setclientcap(): the atomic capability implies universal planes (and aspect ratios).
int set_client_cap(request_ctx &c, drm_set_client_cap &cap)
{
	drm_file &f = *c.file;
	switch (cap.capability) {
	case DRM_CLIENT_CAP_STEREO_3D:
		if (cap.value > 1)
			return -EINVAL;
		f.stereo = cap.value;
		return 0;
	case DRM_CLIENT_CAP_UNIVERSAL_PLANES:
		if (cap.value > 1)
			return -EINVAL;
		f.universal_planes = cap.value;
		return 0;
	case DRM_CLIENT_CAP_ATOMIC:
		if (cap.value > 2)
			return -EINVAL;
		f.atomic = cap.value;
		f.universal_planes = cap.value;
		f.aspect_ratio = cap.value;
		return 0;
	case DRM_CLIENT_CAP_ASPECT_RATIO:
		if (cap.value > 1)
			return -EINVAL;
		f.aspect_ratio = cap.value;
		return 0;
	case DRM_CLIENT_CAP_WRITEBACK_CONNECTORS:
		if (!f.atomic || cap.value > 1)
			return -EINVAL;
		f.writeback = cap.value;
		return 0;
	default:
		return -EINVAL;
	}
}

int master(request_ctx &, void *)
{
	return 0;
}

int get_resources(request_ctx &c, drm_mode_card_res &r)
{
	const device &d = *c.dev;
	const driver_def &drv = d.topo.driver;
	uint32_t count = 0;
	for (uint32_t id : c.file->fbs) {
		if (count < r.count_fbs && !put_u32(r.fb_id_ptr, count, id))
			return -EFAULT;
		count++;
	}
	r.count_fbs = count;
	r.min_width = drv.min_width;
	r.max_width = drv.max_width;
	r.min_height = drv.min_height;
	r.max_height = drv.max_height;
	count = 0;
	for (const crtc &x : d.crtcs) {
		if (count < r.count_crtcs && !put_u32(r.crtc_id_ptr, count, x.id))
			return -EFAULT;
		count++;
	}
	r.count_crtcs = count;
	count = 0;
	for (const encoder &x : d.encoders) {
		if (count < r.count_encoders && !put_u32(r.encoder_id_ptr, count, x.id))
			return -EFAULT;
		count++;
	}
	r.count_encoders = count;
	count = 0;
	for (const connector &x : d.connectors) {
		if (x.type == DRM_MODE_CONNECTOR_WRITEBACK && !c.file->writeback)
			continue;
		if (count < r.count_connectors && !put_u32(r.connector_id_ptr, count, x.id))
			return -EFAULT;
		count++;
	}
	r.count_connectors = count;
	return 0;
}

int get_crtc(request_ctx &c, drm_mode_crtc &r)
{
	const device &d = *c.dev;
	const object_ref *o = find_typed(d, r.crtc_id, DRM_MODE_OBJECT_CRTC);
	if (!o)
		return -ENOENT;
	const crtc &x = d.crtcs[o->index];
	r.gamma_size = 0;
	r.fb_id = 0;
	if (x.primary >= 0) {
		const plane_state &ps = d.planes[x.primary].state;
		r.fb_id = ps.fb;
		r.x = ps.src_x >> 16;
		r.y = ps.src_y >> 16;
	}
	if (x.state.enable()) {
		r.mode = to_umode(*c.file, x.state.mode);
		r.mode_valid = 1;
	} else {
		r.mode_valid = 0;
	}
	return 0;
}

int get_encoder(request_ctx &c, drm_mode_get_encoder &r)
{
	const device &d = *c.dev;
	const object_ref *o = find_typed(d, r.encoder_id, DRM_MODE_OBJECT_ENCODER);
	if (!o)
		return -ENOENT;
	const encoder &e = d.encoders[o->index];
	// drm_encoder_get_crtc(): the CRTC of the connector whose best encoder this is.
	r.crtc_id = 0;
	for (const connector &con : d.connectors) {
		if (con.state.encoder != o->index)
			continue;
		r.crtc_id = con.state.crtc >= 0 ? d.crtcs[con.state.crtc].id : 0;
		break;
	}
	r.encoder_type = e.type;
	r.encoder_id = e.id;
	r.possible_crtcs = e.possible_crtcs;
	r.possible_clones = e.possible_clones;
	return 0;
}

// drm_mode_getconnector(): encoders and modes are copied only when all of them fit, which is
// how libdrm's two calls (count, then fetch) work; properties fill as many as fit.
int get_connector(request_ctx &c, drm_mode_get_connector &r)
{
	const device &d = *c.dev;
	const object_ref *o = find_typed(d, r.connector_id, DRM_MODE_OBJECT_CONNECTOR);
	if (!o)
		return -ENOENT;
	const connector &con = d.connectors[o->index];
	const uint32_t encoders = uint32_t(con.encoders.size());
	if (r.count_encoders >= encoders && encoders) {
		for (uint32_t i = 0; i < encoders; i++)
			if (!put_u32(r.encoders_ptr, i, d.encoders[con.encoders[i]].id))
				return -EFAULT;
	}
	r.count_encoders = encoders;
	r.connector_id = con.id;
	r.connector_type = con.type;
	r.connector_type_id = con.type_id;
	r.mm_width = 0;
	r.mm_height = 0;
	r.subpixel = 0; // SubPixelUnknown
	r.connection = con.connected ? 1 : 2;
	const uint32_t modes = uint32_t(con.modes.size());
	if (r.count_modes >= modes && modes) {
		for (uint32_t i = 0; i < modes; i++) {
			const drm_mode_modeinfo m = to_umode(*c.file, con.modes[i]);
			if (!r.modes_ptr)
				return -EFAULT;
			memcpy(reinterpret_cast<drm_mode_modeinfo *>(uintptr_t(r.modes_ptr)) + i,
			       &m, sizeof(m));
		}
	}
	r.count_modes = modes;
	r.encoder_id = con.state.encoder >= 0 ? d.encoders[con.state.encoder].id : 0;
	return get_properties(c, *o, r.props_ptr, r.prop_values_ptr, &r.count_props);
}

int get_plane_resources(request_ctx &c, drm_mode_get_plane_res &r)
{
	const device &d = *c.dev;
	uint32_t count = 0;
	for (const plane &p : d.planes) {
		// Without universal planes only overlays are listed.
		if (p.type != DRM_PLANE_TYPE_OVERLAY && !c.file->universal_planes)
			continue;
		if (count < r.count_planes && !put_u32(r.plane_id_ptr, count, p.id))
			return -EFAULT;
		count++;
	}
	r.count_planes = count;
	return 0;
}

int get_plane(request_ctx &c, drm_mode_get_plane &r)
{
	const device &d = *c.dev;
	const object_ref *o = find_typed(d, r.plane_id, DRM_MODE_OBJECT_PLANE);
	if (!o)
		return -ENOENT;
	const plane &p = d.planes[o->index];
	r.crtc_id = p.state.crtc >= 0 ? d.crtcs[p.state.crtc].id : 0;
	r.fb_id = p.state.fb;
	r.plane_id = p.id;
	r.possible_crtcs = p.possible_crtcs;
	r.gamma_size = 0;
	const uint32_t n = uint32_t(p.formats.size());
	if (n && r.count_format_types >= n) {
		if (!put_bytes(r.format_type_ptr, p.formats.data(), n * sizeof(uint32_t)))
			return -EFAULT;
	}
	r.count_format_types = n;
	return 0;
}

int obj_get_properties(request_ctx &c, drm_mode_obj_get_properties &r)
{
	const object_ref *o = find_typed(*c.dev, r.obj_id, r.obj_type);
	if (!o)
		return -ENOENT;
	if (!object_props(*c.dev, *o))
		return -EINVAL;
	return get_properties(c, *o, r.props_ptr, r.prop_values_ptr, &r.count_props);
}

int get_property(request_ctx &c, drm_mode_get_property &r)
{
	const int index = prop_index_by_id(*c.dev, r.prop_id);
	if (index < 0)
		return -ENOENT;
	const property &p = c.dev->props[index];
	memset(r.name, 0, sizeof(r.name));
	strncpy(r.name, p.name.c_str(), DRM_PROP_NAME_LEN - 1);
	r.flags = p.flags;
	const uint32_t values = uint32_t(p.values.size());
	for (uint32_t i = 0; i < values; i++)
		if (i < r.count_values && !put_u64(r.values_ptr, i, p.values[i]))
			return -EFAULT;
	r.count_values = values;
	if (p.flags & (DRM_MODE_PROP_ENUM | DRM_MODE_PROP_BITMASK)) {
		uint32_t count = 0;
		for (const auto &[value, name] : p.enums) {
			count++;
			if (r.count_enum_blobs < count)
				continue;
			drm_mode_property_enum e{};
			e.value = value;
			strncpy(e.name, name.c_str(), DRM_PROP_NAME_LEN - 1);
			if (!r.enum_blob_ptr)
				return -EFAULT;
			memcpy(reinterpret_cast<drm_mode_property_enum *>(
			               uintptr_t(r.enum_blob_ptr)) +
			               count - 1,
			       &e, sizeof(e));
		}
		r.count_enum_blobs = count;
	}
	if (p.flags & DRM_MODE_PROP_BLOB)
		r.count_enum_blobs = 0;
	return 0;
}

int get_prop_blob(request_ctx &c, drm_mode_get_blob &r)
{
	auto it = c.dev->blobs.find(r.blob_id);
	if (it == c.dev->blobs.end())
		return -ENOENT;
	const blob &b = it->second;
	if (r.length == b.data.size() && !put_bytes(r.data, b.data.data(), b.data.size()))
		return -EFAULT;
	r.length = uint32_t(b.data.size());
	return 0;
}

int create_prop_blob(request_ctx &c, drm_mode_create_blob &r)
{
	// drm_property_create_blob() refuses empty blobs and sizes near INT_MAX; the card also
	// refuses anything beyond 64 MiB as memory it will not give.
	if (r.length == 0 || r.length > INT_MAX - 64)
		return -EINVAL;
	if (r.length > (64u << 20))
		return -ENOMEM;
	if (!r.data)
		return -EFAULT;
	r.blob_id = create_blob(*c.dev, reinterpret_cast<const void *>(uintptr_t(r.data)), r.length,
	                        true, c.fd);
	c.file->blobs.push_back(r.blob_id);
	return 0;
}

int destroy_prop_blob(request_ctx &c, drm_mode_destroy_blob &r)
{
	auto it = c.dev->blobs.find(r.blob_id);
	if (it == c.dev->blobs.end())
		return -ENOENT;
	// Only the file that created a blob may destroy it.
	auto mine = std::find(c.file->blobs.begin(), c.file->blobs.end(), r.blob_id);
	if (mine == c.file->blobs.end())
		return -EPERM;
	c.file->blobs.erase(mine);
	it->second.owner = -1;
	free_blob_if_unused(*c.dev, r.blob_id);
	return 0;
}

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
	r.size = size;
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

int destroy_dumb(request_ctx &c, drm_mode_destroy_dumb &r)
{
	return delete_handle(c, r.handle);
}

int gem_close(request_ctx &c, drm_gem_close &r)
{
	return delete_handle(c, r.handle);
}

bool format_offered(const device &d, uint32_t format)
{
	const std::vector<uint32_t> &fb_formats = d.topo.driver.fb_formats;
	if (!fb_formats.empty())
		return std::find(fb_formats.begin(), fb_formats.end(), format) != fb_formats.end();
	for (const plane &p : d.planes)
		if (std::find(p.formats.begin(), p.formats.end(), format) != p.formats.end())
			return true;
	return false;
}

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

int atomic(request_ctx &c, drm_mode_atomic &r)
{
	return atomic_ioctl(c, r);
}

int wait_vblank(request_ctx &c, drm_wait_vblank &r)
{
	return wait_vblank_ioctl(c, r);
}

// --- the request table -----------------------------------------------------------------------

#define F(x) rec.fields[#x] = uint64_t(o.x)

void rec_version(request_record &rec, const drm_version &, const drm_version &o)
{
	F(version_major);
	F(version_minor);
	F(version_patchlevel);
	F(name_len);
	F(date_len);
	F(desc_len);
}

void rec_get_cap(request_record &rec, const drm_get_cap &, const drm_get_cap &o)
{
	F(capability);
	F(value);
}

void rec_set_client_cap(request_record &rec, const drm_set_client_cap &,
                        const drm_set_client_cap &o)
{
	F(capability);
	F(value);
}

void rec_card_res(request_record &rec, const drm_mode_card_res &, const drm_mode_card_res &o)
{
	F(count_fbs);
	F(count_crtcs);
	F(count_connectors);
	F(count_encoders);
	F(min_width);
	F(max_width);
	F(min_height);
	F(max_height);
}

void rec_crtc(request_record &rec, const drm_mode_crtc &, const drm_mode_crtc &o)
{
	F(crtc_id);
	F(fb_id);
	F(x);
	F(y);
	F(gamma_size);
	F(mode_valid);
}

void rec_encoder(request_record &rec, const drm_mode_get_encoder &, const drm_mode_get_encoder &o)
{
	F(encoder_id);
	F(encoder_type);
	F(crtc_id);
	F(possible_crtcs);
	F(possible_clones);
}

void rec_connector(request_record &rec, const drm_mode_get_connector &,
                   const drm_mode_get_connector &o)
{
	F(count_modes);
	F(count_props);
	F(count_encoders);
	F(encoder_id);
	F(connector_id);
	F(connector_type);
	F(connector_type_id);
	F(connection);
	F(mm_width);
	F(mm_height);
	F(subpixel);
}

void rec_plane_res(request_record &rec, const drm_mode_get_plane_res &,
                   const drm_mode_get_plane_res &o)
{
	F(count_planes);
}

void rec_plane(request_record &rec, const drm_mode_get_plane &, const drm_mode_get_plane &o)
{
	F(plane_id);
	F(crtc_id);
	F(fb_id);
	F(possible_crtcs);
	F(gamma_size);
	F(count_format_types);
}

void rec_obj_props(request_record &rec, const drm_mode_obj_get_properties &,
                   const drm_mode_obj_get_properties &o)
{
	F(count_props);
	F(obj_id);
	F(obj_type);
}

void rec_property(request_record &rec, const drm_mode_get_property &,
                  const drm_mode_get_property &o)
{
	F(prop_id);
	F(flags);
	F(count_values);
	F(count_enum_blobs);
}

void rec_get_blob(request_record &rec, const drm_mode_get_blob &, const drm_mode_get_blob &o)
{
	F(blob_id);
	F(length);
}

void rec_create_blob(request_record &rec, const drm_mode_create_blob &,
                     const drm_mode_create_blob &o)
{
	F(length);
	F(blob_id);
}

void rec_destroy_blob(request_record &rec, const drm_mode_destroy_blob &,
                      const drm_mode_destroy_blob &o)
{
	F(blob_id);
}

void rec_create_dumb(request_record &rec, const drm_mode_create_dumb &,
                     const drm_mode_create_dumb &o)
{
	F(height);
	F(width);
	F(bpp);
	F(flags);
	F(handle);
	F(pitch);
	F(size);
}

void rec_map_dumb(request_record &rec, const drm_mode_map_dumb &, const drm_mode_map_dumb &o)
{
	F(handle);
	F(offset);
}

void rec_destroy_dumb(request_record &rec, const drm_mode_destroy_dumb &,
                      const drm_mode_destroy_dumb &o)
{
	F(handle);
}

void rec_gem_close(request_record &rec, const drm_gem_close &, const drm_gem_close &o)
{
	F(handle);
}

void rec_fb2(request_record &rec, const drm_mode_fb_cmd2 &, const drm_mode_fb_cmd2 &o)
{
	F(fb_id);
	F(width);
	F(height);
	F(pixel_format);
	F(flags);
	for (int i = 0; i < 4; i++) {
		const std::string n = "[" + std::to_string(i) + "]";
		rec.fields["handles" + n] = o.handles[i];
		rec.fields["pitches" + n] = o.pitches[i];
		rec.fields["offsets" + n] = o.offsets[i];
		rec.fields["modifier" + n] = o.modifier[i];
	}
}

void rec_rm_fb(request_record &rec, const unsigned int &, const unsigned int &o)
{
	rec.fields["fb_id"] = o;
}

void rec_atomic(request_record &rec, const drm_mode_atomic &, const drm_mode_atomic &o)
{
	F(flags);
	F(count_objs);
	F(reserved);
	F(user_data);
}

void rec_wait_vblank(request_record &rec, const drm_wait_vblank &in, const drm_wait_vblank &out)
{
	rec.fields["request.type"] = in.request.type;
	rec.fields["request.sequence"] = in.request.sequence;
	rec.fields["request.signal"] = in.request.signal;
	rec.fields["reply.type"] = out.reply.type;
	rec.fields["reply.sequence"] = out.reply.sequence;
	rec.fields["reply.tval_sec"] = uint64_t(out.reply.tval_sec);
	rec.fields["reply.tval_usec"] = uint64_t(out.reply.tval_usec);
}

#undef F

struct request_desc {
	unsigned long cmd = 0;
	const char *name = nullptr;
	int (*serve)(request_ctx &, void *) = nullptr;
	void (*record)(request_record &, const void *, const void *) = nullptr;
	uint32_t (*object)(const void *) = nullptr;
};

template <typename T, int (*Serve)(request_ctx &, T &)>
int serve_as(request_ctx &c, void *data)
{
	return Serve(c, *static_cast<T *>(data));
}

template <typename T, void (*Record)(request_record &, const T &, const T &)>
void record_as(request_record &rec, const void *in, const void *out)
{
	Record(rec, *static_cast<const T *>(in), *static_cast<const T *>(out));
}

template <typename T, uint32_t T::*Field>
uint32_t object_of(const void *in)
{
	return static_cast<const T *>(in)->*Field;
}

#define REQ(cmd, name, type, serve, record)                                                        \
	request_desc                                                                               \
	{                                                                                          \
		cmd, name, serve_as<type, serve>, record_as<type, record>, nullptr                 \
	}
#define REQ_OBJ(cmd, name, type, serve, record, field)                                             \
	request_desc                                                                               \
	{                                                                                          \
		cmd, name, serve_as<type, serve>, record_as<type, record>,                         \
		        object_of<type, &type::field>                                              \
	}
#define UNSUPPORTED(cmd, name)                                                                     \
	request_desc                                                                               \
	{                                                                                          \
		cmd, name, nullptr, nullptr, nullptr                                               \
	}

const request_desc k_requests[] = {
        REQ(DRM_IOCTL_VERSION, "VERSION", drm_version, version, rec_version),
        REQ(DRM_IOCTL_GET_CAP, "GET_CAP", drm_get_cap, get_cap, rec_get_cap),
        REQ(DRM_IOCTL_SET_CLIENT_CAP, "SET_CLIENT_CAP", drm_set_client_cap, set_client_cap,
            rec_set_client_cap),
        request_desc{DRM_IOCTL_SET_MASTER, "SET_MASTER", master, nullptr, nullptr},
        request_desc{DRM_IOCTL_DROP_MASTER, "DROP_MASTER", master, nullptr, nullptr},
        REQ(DRM_IOCTL_GEM_CLOSE, "GEM_CLOSE", drm_gem_close, gem_close, rec_gem_close),
        REQ(DRM_IOCTL_WAIT_VBLANK, "WAIT_VBLANK", drm_wait_vblank, wait_vblank, rec_wait_vblank),
        REQ(DRM_IOCTL_MODE_GETRESOURCES, "MODE_GETRESOURCES", drm_mode_card_res, get_resources,
            rec_card_res),
        REQ_OBJ(DRM_IOCTL_MODE_GETCRTC, "MODE_GETCRTC", drm_mode_crtc, get_crtc, rec_crtc, crtc_id),
        REQ_OBJ(DRM_IOCTL_MODE_GETENCODER, "MODE_GETENCODER", drm_mode_get_encoder, get_encoder,
                rec_encoder, encoder_id),
        REQ_OBJ(DRM_IOCTL_MODE_GETCONNECTOR, "MODE_GETCONNECTOR", drm_mode_get_connector,
                get_connector, rec_connector, connector_id),
        REQ_OBJ(DRM_IOCTL_MODE_GETPROPERTY, "MODE_GETPROPERTY", drm_mode_get_property, get_property,
                rec_property, prop_id),
        REQ_OBJ(DRM_IOCTL_MODE_GETPROPBLOB, "MODE_GETPROPBLOB", drm_mode_get_blob, get_prop_blob,
                rec_get_blob, blob_id),
        REQ(DRM_IOCTL_MODE_RMFB, "MODE_RMFB", unsigned int, rm_fb, rec_rm_fb),
        REQ(DRM_IOCTL_MODE_CREATE_DUMB, "MODE_CREATE_DUMB", drm_mode_create_dumb, create_dumb,
            rec_create_dumb),
        REQ(DRM_IOCTL_MODE_MAP_DUMB, "MODE_MAP_DUMB", drm_mode_map_dumb, map_dumb, rec_map_dumb),
        REQ(DRM_IOCTL_MODE_DESTROY_DUMB, "MODE_DESTROY_DUMB", drm_mode_destroy_dumb, destroy_dumb,
            rec_destroy_dumb),
        REQ(DRM_IOCTL_MODE_GETPLANERESOURCES, "MODE_GETPLANERESOURCES", drm_mode_get_plane_res,
            get_plane_resources, rec_plane_res),
        REQ_OBJ(DRM_IOCTL_MODE_GETPLANE, "MODE_GETPLANE", drm_mode_get_plane, get_plane, rec_plane,
                plane_id),
        REQ(DRM_IOCTL_MODE_ADDFB2, "MODE_ADDFB2", drm_mode_fb_cmd2, add_fb2, rec_fb2),
        REQ_OBJ(DRM_IOCTL_MODE_OBJ_GETPROPERTIES, "MODE_OBJ_GETPROPERTIES",
                drm_mode_obj_get_properties, obj_get_properties, rec_obj_props, obj_id),
        REQ(DRM_IOCTL_MODE_ATOMIC, "MODE_ATOMIC", drm_mode_atomic, atomic, rec_atomic),
        REQ(DRM_IOCTL_MODE_CREATEPROPBLOB, "MODE_CREATEPROPBLOB", drm_mode_create_blob,
            create_prop_blob, rec_create_blob),
        REQ(DRM_IOCTL_MODE_DESTROYPROPBLOB, "MODE_DESTROYPROPBLOB", drm_mode_destroy_blob,
            destroy_prop_blob, rec_destroy_blob),
        // Known requests the card does not serve: they fail with EOPNOTSUPP under their names.
        UNSUPPORTED(DRM_IOCTL_GET_UNIQUE, "GET_UNIQUE"),
        UNSUPPORTED(DRM_IOCTL_GET_MAGIC, "GET_MAGIC"),
        UNSUPPORTED(DRM_IOCTL_AUTH_MAGIC, "AUTH_MAGIC"),
        UNSUPPORTED(DRM_IOCTL_GEM_FLINK, "GEM_FLINK"),
        UNSUPPORTED(DRM_IOCTL_GEM_OPEN, "GEM_OPEN"),
        UNSUPPORTED(DRM_IOCTL_PRIME_HANDLE_TO_FD, "PRIME_HANDLE_TO_FD"),
        UNSUPPORTED(DRM_IOCTL_PRIME_FD_TO_HANDLE, "PRIME_FD_TO_HANDLE"),
        UNSUPPORTED(DRM_IOCTL_CRTC_GET_SEQUENCE, "CRTC_GET_SEQUENCE"),
        UNSUPPORTED(DRM_IOCTL_CRTC_QUEUE_SEQUENCE, "CRTC_QUEUE_SEQUENCE"),
        UNSUPPORTED(DRM_IOCTL_MODE_SETCRTC, "MODE_SETCRTC"),
        UNSUPPORTED(DRM_IOCTL_MODE_CURSOR, "MODE_CURSOR"),
        UNSUPPORTED(DRM_IOCTL_MODE_GETGAMMA, "MODE_GETGAMMA"),
        UNSUPPORTED(DRM_IOCTL_MODE_SETGAMMA, "MODE_SETGAMMA"),
        UNSUPPORTED(DRM_IOCTL_MODE_SETPROPERTY, "MODE_SETPROPERTY"),
        UNSUPPORTED(DRM_IOCTL_MODE_GETFB, "MODE_GETFB"),
        UNSUPPORTED(DRM_IOCTL_MODE_ADDFB, "MODE_ADDFB"),
        UNSUPPORTED(DRM_IOCTL_MODE_PAGE_FLIP, "MODE_PAGE_FLIP"),
        UNSUPPORTED(DRM_IOCTL_MODE_DIRTYFB, "MODE_DIRTYFB"),
        UNSUPPORTED(DRM_IOCTL_MODE_SETPLANE, "MODE_SETPLANE"),
        UNSUPPORTED(DRM_IOCTL_MODE_OBJ_SETPROPERTY, "MODE_OBJ_SETPROPERTY"),
        UNSUPPORTED(DRM_IOCTL_MODE_CURSOR2, "MODE_CURSOR2"),
        UNSUPPORTED(DRM_IOCTL_MODE_CREATE_LEASE, "MODE_CREATE_LEASE"),
        UNSUPPORTED(DRM_IOCTL_MODE_LIST_LESSEES, "MODE_LIST_LESSEES"),
        UNSUPPORTED(DRM_IOCTL_MODE_GET_LEASE, "MODE_GET_LEASE"),
        UNSUPPORTED(DRM_IOCTL_MODE_REVOKE_LEASE, "MODE_REVOKE_LEASE"),
        UNSUPPORTED(DRM_IOCTL_MODE_GETFB2, "MODE_GETFB2"),
};

#undef REQ
#undef REQ_OBJ
#undef UNSUPPORTED

const request_desc *find_request(unsigned nr)
{
	for (const request_desc &r : k_requests)
		if (_IOC_NR(r.cmd) == nr)
			return &r;
	return nullptr;
}

bool take_fault(device &d, const std::string &name, uint32_t object_id, int *err)
{
	for (auto it = d.faults.begin(); it != d.faults.end(); ++it) {
		if (it->request != name || (it->object_id && it->object_id != object_id))
			continue;
		if (it->nth == 0) {
			*err = it->err;
			return true;
		}
		if (++it->seen == it->nth) {
			*err = it->err;
			d.faults.erase(it);
			return true;
		}
	}
	return false;
}

} // namespace

// drm_ioctl(): the request's struct is copied in as far as the caller's size and the kernel's
// size allow, zero-filled beyond, served, and copied back whatever the result.
int card_ioctl(int fd, unsigned long cmd, void *arg)
{
	unsigned commit_flags = 0;
	bool after_commit = false;
	int ret = 0;
	{
		card_lock lock;
		if (!g_dev)
			return -EBADF;
		drm_file *f = find_file(*g_dev, fd);
		if (!f)
			return -EBADF;
		if (_IOC_TYPE(cmd) != DRM_IOCTL_BASE)
			return -ENOTTY;
		const unsigned nr = _IOC_NR(cmd);
		const request_desc *desc = find_request(nr);
		const uint64_t generation = g_dev->generation;
		request_ctx c{lock, g_dev, f, fd, {}, false, 0};
		if (desc) {
			c.rec.name = desc->name;
		} else {
			char name[32];
			snprintf(name, sizeof(name), "IOCTL_0x%02X", nr);
			c.rec.name = name;
		}
		alignas(16) static thread_local unsigned char in[1 << 14];
		alignas(16) static thread_local unsigned char kdata[1 << 14];
		size_t in_size = _IOC_SIZE(cmd), out_size = _IOC_SIZE(cmd);
		const unsigned long kcmd = desc ? desc->cmd : 0;
		if ((cmd & kcmd & IOC_IN) == 0)
			in_size = 0;
		if ((cmd & kcmd & IOC_OUT) == 0)
			out_size = 0;
		const size_t ksize = std::max({in_size, out_size, size_t(_IOC_SIZE(kcmd))});
		memset(kdata, 0, ksize);
		if (in_size) {
			if (!arg)
				ret = -EFAULT;
			else
				memcpy(kdata, arg, in_size);
		}
		memcpy(in, kdata, ksize);
		int err = 0;
		if (ret) {
		} else if (!desc) {
			ret = -EINVAL;
		} else if (take_fault(*c.dev, c.rec.name, desc->object ? desc->object(in) : 0,
		                      &err)) {
			ret = -err;
		} else if (!desc->serve) {
			ret = -EOPNOTSUPP;
		} else {
			ret = desc->serve(c, kdata);
		}
		// A handler that blocked may find the card replaced; its request then goes
		// unrecorded.
		if (g_dev && g_dev->generation == generation) {
			if (out_size && arg)
				memcpy(arg, kdata, out_size);
			if (desc && desc->record)
				desc->record(c.rec, in, kdata);
			c.rec.error = -ret;
			keep_record(g_dev->requests, std::move(c.rec));
		} else if (out_size && arg) {
			memcpy(arg, kdata, out_size);
		}
		after_commit = c.after_commit && ret == 0;
		commit_flags = c.commit_flags;
	}
	if (after_commit && simkms_preload_after_commit)
		simkms_preload_after_commit(commit_flags);
	return ret;
}

} // namespace sim::kms
