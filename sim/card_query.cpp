// The query requests: VERSION, capabilities, the mode objects, properties and blobs.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "sim/card.h"

namespace sim::kms
{

const std::vector<int> *object_props(const device &d, const object_ref &o)
{
	switch (o.type) {
	case DRM_MODE_OBJECT_PLANE:
		return &d.planes[o.index].props;
	case DRM_MODE_OBJECT_CRTC:
		return &d.crtcs[o.index].props;
	case DRM_MODE_OBJECT_CONNECTOR:
		return &d.connectors[o.index].props;
	default:
		return nullptr;
	}
}

int prop_index_by_id(const device &d, uint32_t prop_id)
{
	const object_ref *o = find_object(d, prop_id);
	if (!o || o->type != DRM_MODE_OBJECT_PROPERTY)
		return -1;
	return o->index;
}

// For atomic drivers the helpers keep the legacy DPMS value on while the connector's CRTC is
// active.
bool connector_dpms_on(const device &d, const connector &c)
{
	return c.state.crtc >= 0 && d.crtcs[c.state.crtc].state.active;
}

uint64_t prop_value(const device &d, const object_ref &o, int prop)
{
	if (o.type == DRM_MODE_OBJECT_PLANE) {
		const plane &p = d.planes[o.index];
		const plane_state &s = p.state;
		if (prop == p.zpos_prop)
			return d.props[size_t(prop)].values[0];
		if (prop == p.blend_mode_prop)
			return s.pixel_blend_mode;
		if (prop == p.alpha_prop)
			return s.alpha;
		switch (prop) {
		case prop_type:
			return p.type;
		case prop_fb_id:
			return s.fb;
		case prop_in_fence_fd:
			return uint64_t(int64_t(-1));
		case prop_crtc_id:
			return s.crtc >= 0 ? d.crtcs[s.crtc].id : 0;
		case prop_crtc_x:
			return uint64_t(int64_t(s.crtc_x));
		case prop_crtc_y:
			return uint64_t(int64_t(s.crtc_y));
		case prop_crtc_w:
			return s.crtc_w;
		case prop_crtc_h:
			return s.crtc_h;
		case prop_src_x:
			return s.src_x;
		case prop_src_y:
			return s.src_y;
		case prop_src_w:
			return s.src_w;
		case prop_src_h:
			return s.src_h;
		case prop_in_formats:
			return p.in_formats_blob;
		case prop_fb_damage_clips:
			return s.damage_blob;
		default:
			return 0;
		}
	}
	if (o.type == DRM_MODE_OBJECT_CRTC) {
		const crtc_state &s = d.crtcs[o.index].state;
		switch (prop) {
		case prop_active:
			return s.active;
		case prop_mode_id:
			return s.mode_blob;
		case prop_vrr_enabled:
			return s.vrr_enabled;
		default:
			return 0;
		}
	}
	if (o.type == DRM_MODE_OBJECT_CONNECTOR) {
		const connector &c = d.connectors[o.index];
		switch (prop) {
		case prop_edid:
			return c.edid_blob;
		case prop_dpms:
			return connector_dpms_on(d, c) ? DRM_MODE_DPMS_ON : DRM_MODE_DPMS_OFF;
		case prop_link_status:
			return c.state.link_status;
		case prop_crtc_id:
			return c.state.crtc >= 0 ? d.crtcs[c.state.crtc].id : 0;
		default:
			return 0;
		}
	}
	return 0;
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

} // namespace

void fill_version(drm_version &v, const driver_def &drv, std::string_view date)
{
	// drm_copy_field(): copies what fits, reports the full length.
	auto copy = [](std::string_view value, __kernel_size_t &len, char *buf) {
		const size_t n = std::min<size_t>(value.size(), len);
		len = value.size();
		if (n && buf)
			memcpy(buf, value.data(), n);
	};
	v.version_major = drv.version_major;
	v.version_minor = drv.version_minor;
	v.version_patchlevel = drv.version_patchlevel;
	copy(drv.name, v.name_len, v.name);
	copy(date, v.date_len, v.date);
	copy(drv.desc, v.desc_len, v.desc);
}

int version(request_ctx &c, drm_version &v)
{
	fill_version(v, c.dev->topo.driver, "20240101");
	return 0;
}

bool render_cap(drm_get_cap &cap, uint64_t prime)
{
	cap.value = 0;
	switch (cap.capability) {
	case DRM_CAP_TIMESTAMP_MONOTONIC:
		cap.value = 1;
		return true;
	case DRM_CAP_PRIME:
		cap.value = prime;
		return true;
	case DRM_CAP_SYNCOBJ:
	case DRM_CAP_SYNCOBJ_TIMELINE:
		return true;
	default:
		return false;
	}
}

int get_cap(request_ctx &c, drm_get_cap &cap)
{
	const driver_def &drv = c.dev->topo.driver;
	if (render_cap(cap, 0))
		return 0;
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

namespace
{

// drm_master_check_perm(): a file that has been master takes it back or lets it go freely (its
// opener is this process, as every file of the card is); any other needs CAP_SYS_ADMIN, else
// EACCES.
int master_perm(const request_ctx &c)
{
	return c.file->was_master || c.dev->sys_admin ? 0 : -EACCES;
}

} // namespace

// drm_setmaster_ioctl(): a no-op for the master itself, EBUSY while another file is master.
int set_master(request_ctx &c, void *)
{
	if (const int err = master_perm(c))
		return err;
	if (c.dev->master == c.fd)
		return 0;
	if (c.dev->master >= 0)
		return -EBUSY;
	c.dev->master = c.fd;
	c.file->was_master = true;
	return 0;
}

// drm_dropmaster_ioctl(): EINVAL from a file that is not the current master.
int drop_master(request_ctx &c, void *)
{
	if (const int err = master_perm(c))
		return err;
	if (c.dev->master != c.fd)
		return -EINVAL;
	c.dev->master = -1;
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
		if (!x.added || (x.type == DRM_MODE_CONNECTOR_WRITEBACK && !c.file->writeback))
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

} // namespace sim::kms
