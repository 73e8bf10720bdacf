// MODE_ATOMIC: drm_mode_atomic_ioctl() with the property setters of drm_atomic_uapi.c, the core
// checks of drm_atomic.c and the checks of drm_atomic_helper_check() for planes that go through
// drm_atomic_helper_check_plane_state(). The driver settings choose scaling, positioning, the
// CRTC check of simple display pipes and what happens to planes left on a CRTC that is switched
// off. RMFB of a framebuffer in use commits through the same checks (atomic_remove_fb()).
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "sim/card.h"

namespace sim::kms
{

namespace
{

struct atomic_state {
	std::vector<plane_state> planes;
	std::vector<crtc_state> crtcs;
	std::vector<connector_state> connectors;
	std::vector<char> plane_in, plane_named, crtc_in, connector_in;
	std::vector<char> event, mode_changed, active_changed, connectors_changed;
	bool allow_modeset = false;

	explicit atomic_state(const device &d)
	{
		for (const plane &p : d.planes)
			planes.push_back(p.state);
		for (const crtc &c : d.crtcs)
			crtcs.push_back(c.state);
		for (const connector &c : d.connectors)
			connectors.push_back(c.state);
		plane_in.assign(planes.size(), 0);
		plane_named.assign(planes.size(), 0);
		crtc_in.assign(crtcs.size(), 0);
		connector_in.assign(connectors.size(), 0);
		event.assign(crtcs.size(), 0);
		mode_changed.assign(crtcs.size(), 0);
		active_changed.assign(crtcs.size(), 0);
		connectors_changed.assign(crtcs.size(), 0);
	}
	bool needs_modeset(size_t i) const
	{
		return mode_changed[i] || active_changed[i] || connectors_changed[i];
	}
};

// drm_atomic_get_plane_state() and drm_atomic_get_connector_state() bring the object's
// current CRTC into the state with it.
void add_crtc(atomic_state &s, int crtc)
{
	if (crtc >= 0)
		s.crtc_in[crtc] = 1;
}

void add_plane(const device &d, atomic_state &s, size_t i)
{
	s.plane_in[i] = 1;
	add_crtc(s, d.planes[i].state.crtc);
}

void add_connector(const device &d, atomic_state &s, size_t i)
{
	s.connector_in[i] = 1;
	add_crtc(s, d.connectors[i].state.crtc);
}

// drm_property_change_valid_get().
bool value_valid(const device &d, const property &p, uint64_t value)
{
	if (p.flags & DRM_MODE_PROP_IMMUTABLE)
		return false;
	if (p.flags & DRM_MODE_PROP_RANGE)
		return value >= p.values[0] && value <= p.values[1];
	if ((p.flags & DRM_MODE_PROP_EXTENDED_TYPE) == DRM_MODE_PROP_SIGNED_RANGE)
		return int64_t(value) >= int64_t(p.values[0]) &&
		       int64_t(value) <= int64_t(p.values[1]);
	if (p.flags & DRM_MODE_PROP_BLOB)
		return value == 0 || d.blobs.count(uint32_t(value)) != 0;
	if ((p.flags & DRM_MODE_PROP_EXTENDED_TYPE) == DRM_MODE_PROP_OBJECT) {
		if (value == 0)
			return true;
		const object_ref *o =
		        value <= UINT32_MAX ? find_object(d, uint32_t(value)) : nullptr;
		return o && o->type == p.values[0];
	}
	return std::find(p.values.begin(), p.values.end(), value) != p.values.end();
}

// drm_mode_convert_umode() with drm_mode_validate_basic().
bool mode_valid(const drm_mode_modeinfo &m)
{
	constexpr uint32_t flags_all =
	        0x3ff | DRM_MODE_FLAG_DBLCLK | DRM_MODE_FLAG_CLKDIV2 | DRM_MODE_FLAG_3D_MASK;
	if (m.clock > INT_MAX || m.vrefresh > INT_MAX)
		return false;
	const uint32_t flags = m.flags & ~uint32_t(DRM_MODE_FLAG_PIC_AR_MASK);
	if ((m.flags & DRM_MODE_FLAG_PIC_AR_MASK) > DRM_MODE_FLAG_PIC_AR_256_135)
		return false;
	if (flags & ~flags_all)
		return false;
	if ((flags & DRM_MODE_FLAG_3D_MASK) > DRM_MODE_FLAG_3D_SIDE_BY_SIDE_HALF)
		return false;
	if (m.clock == 0)
		return false;
	if (m.hdisplay == 0 || m.hsync_start < m.hdisplay || m.hsync_end < m.hsync_start ||
	    m.htotal < m.hsync_end)
		return false;
	if (m.vdisplay == 0 || m.vsync_start < m.vdisplay || m.vsync_end < m.vsync_start ||
	    m.vtotal < m.vsync_end)
		return false;
	return true;
}

int set_crtc_prop(device &d, atomic_state &s, int i, int prop, uint64_t value)
{
	crtc_state &cs = s.crtcs[i];
	switch (prop) {
	case prop_active:
		cs.active = value;
		return 0;
	case prop_mode_id: {
		// drm_atomic_set_mode_prop_for_crtc().
		const uint32_t id = uint32_t(value);
		if (id == cs.mode_blob)
			return 0;
		cs.mode_blob = 0;
		cs.mode = drm_mode_modeinfo{};
		if (!id)
			return 0;
		const blob &b = d.blobs.at(id);
		if (b.data.size() != sizeof(drm_mode_modeinfo))
			return -EINVAL;
		drm_mode_modeinfo m{};
		memcpy(&m, b.data.data(), sizeof(m));
		if (!mode_valid(m))
			return -EINVAL;
		m.type &= DRM_MODE_TYPE_PREFERRED | DRM_MODE_TYPE_USERDEF | DRM_MODE_TYPE_DRIVER;
		m.name[DRM_DISPLAY_MODE_LEN - 1] = 0;
		cs.mode = m;
		cs.mode_blob = id;
		return 0;
	}
	case prop_vrr_enabled:
		cs.vrr_enabled = value;
		return 0;
	case prop_out_fence_ptr:
		// Out-fences would need sync files, which the card does not make.
		return value ? -EOPNOTSUPP : 0;
	default:
		return -EINVAL;
	}
}

int set_plane_prop(device &d, atomic_state &s, int i, int prop, uint64_t value)
{
	plane_state &ps = s.planes[i];
	// The immutable zpos never gets here: value_valid() refuses every value of it.
	if (prop == d.planes[i].blend_mode_prop) {
		ps.pixel_blend_mode = value;
		return 0;
	}
	if (prop == d.planes[i].alpha_prop) {
		ps.alpha = value;
		return 0;
	}
	switch (prop) {
	case prop_fb_id:
		ps.fb = uint32_t(value);
		return 0;
	case prop_in_fence_fd:
		// Only "no fence"; any descriptor would have to be a sync file.
		return int64_t(value) == -1 ? 0 : -EINVAL;
	case prop_crtc_id: {
		int crtc = -1;
		if (value)
			crtc = d.objects.at(uint32_t(value)).index;
		ps.crtc = crtc;
		add_crtc(s, crtc);
		return 0;
	}
	case prop_crtc_x:
		ps.crtc_x = int32_t(int64_t(value));
		return 0;
	case prop_crtc_y:
		ps.crtc_y = int32_t(int64_t(value));
		return 0;
	case prop_crtc_w:
		ps.crtc_w = uint32_t(value);
		return 0;
	case prop_crtc_h:
		ps.crtc_h = uint32_t(value);
		return 0;
	case prop_src_x:
		ps.src_x = uint32_t(value);
		return 0;
	case prop_src_y:
		ps.src_y = uint32_t(value);
		return 0;
	case prop_src_w:
		ps.src_w = uint32_t(value);
		return 0;
	case prop_src_h:
		ps.src_h = uint32_t(value);
		return 0;
	default:
		return -EINVAL;
	}
}

int set_connector_prop(device &d, atomic_state &s, int i, int prop, uint64_t value)
{
	connector_state &cs = s.connectors[i];
	switch (prop) {
	case prop_crtc_id: {
		int crtc = -1;
		if (value)
			crtc = d.objects.at(uint32_t(value)).index;
		cs.crtc = crtc;
		add_crtc(s, crtc);
		return 0;
	}
	case prop_dpms:
		// The legacy property path owns DPMS; atomic writes are refused.
		return -EINVAL;
	case prop_link_status:
		// Userspace may only reset a bad link, never mark a good one bad.
		if (cs.link_status != DRM_MODE_LINK_STATUS_GOOD)
			cs.link_status = value;
		return 0;
	default:
		return -EINVAL;
	}
}

bool plane_takes_format(const device &d, const plane &p, uint32_t format)
{
	if (std::find(p.formats.begin(), p.formats.end(), format) == p.formats.end())
		return false;
	const auto &narrow = d.topo.driver.commit_formats;
	return !narrow || std::find(narrow->begin(), narrow->end(), format) != narrow->end();
}

// drm_atomic_plane_check().
int plane_core_check(const device &d, const atomic_state &s, size_t i)
{
	const plane &p = d.planes[i];
	const plane_state &ns = s.planes[i];
	const plane_state &os = p.state;
	if (ns.crtc >= 0 && !ns.fb)
		return -EINVAL;
	if (ns.fb && ns.crtc < 0)
		return -EINVAL;
	if (ns.crtc < 0)
		return 0;
	if (!(p.possible_crtcs & (1u << ns.crtc)))
		return -EINVAL;
	const framebuffer &fb = d.fbs.at(ns.fb);
	if (!plane_takes_format(d, p, fb.format) || fb.modifier != DRM_FORMAT_MOD_LINEAR)
		return -EINVAL;
	if (ns.crtc_w > INT_MAX || ns.crtc_x > INT_MAX - int32_t(ns.crtc_w) ||
	    ns.crtc_h > INT_MAX || ns.crtc_y > INT_MAX - int32_t(ns.crtc_h))
		return -ERANGE;
	const uint32_t fb_w = fb.width << 16, fb_h = fb.height << 16;
	if (ns.src_w > fb_w || ns.src_x > fb_w - ns.src_w || ns.src_h > fb_h ||
	    ns.src_y > fb_h - ns.src_h)
		return -ENOSPC;
	// No plane moves between CRTCs without being switched off in between.
	if (os.crtc >= 0 && os.crtc != ns.crtc)
		return -EINVAL;
	return 0;
}

// drm_calc_scale() in 16.16, -1 for a source beyond what a drm_rect holds.
int64_t calc_scale(int64_t src, int64_t dst)
{
	if (src < 0 || src > INT_MAX || dst < 0)
		return -1;
	if (dst == 0)
		return 0;
	if (src > (dst << 16))
		return (src + dst - 1) / dst;
	return src / dst;
}

// A driver that copies the framebuffer into its own video memory (cirrus_check_size()): the
// copy's pitch and size must fit. XR24 rows too long for it are converted to RG24, or to RG16.
int scanout_check(const driver_def &drv, const framebuffer &fb)
{
	uint64_t pitch = fb.pitches[0];
	if (drv.max_scanout_pitch && fb.format == DRM_FORMAT_XRGB8888 &&
	    pitch > drv.max_scanout_pitch)
		pitch = uint64_t(fb.width) * 3 <= drv.max_scanout_pitch ? uint64_t(fb.width) * 3
		                                                        : uint64_t(fb.width) * 2;
	if (drv.max_scanout_pitch && pitch > drv.max_scanout_pitch)
		return -EINVAL;
	if (drv.scanout_memory && pitch * fb.height > drv.scanout_memory)
		return -EINVAL;
	return 0;
}

// drm_atomic_helper_check_plane_state() as a driver's plane atomic_check calls it, followed by
// the driver's own check of a visible plane.
int plane_helper_check(const device &d, const atomic_state &s, size_t i)
{
	const driver_def &drv = d.topo.driver;
	const plane_state &ns = s.planes[i];
	if (!ns.fb || ns.crtc < 0)
		return 0;
	const crtc_state &cs = s.crtcs[ns.crtc];
	if (!cs.enable())
		return -EINVAL; // "Cannot update plane of a disabled CRTC."
	const plane_def &pd = d.topo.planes[i];
	const int64_t min_scale = pd.min_scale ? *pd.min_scale : drv.can_scale ? 1 : 1 << 16;
	const int64_t max_scale = pd.max_scale ? *pd.max_scale : drv.can_scale ? INT_MAX : 1 << 16;
	for (auto [src, dst] : {std::pair<int64_t, int64_t>{ns.src_w, ns.crtc_w},
	                        std::pair<int64_t, int64_t>{ns.src_h, ns.crtc_h}}) {
		const int64_t scale = calc_scale(src, dst);
		if (scale < 0)
			return -ERANGE;
		if (dst != 0 && (scale < min_scale || scale > max_scale))
			return -ERANGE; // "Invalid scaling of plane"
	}
	const int64_t x1 = ns.crtc_x, y1 = ns.crtc_y;
	const int64_t x2 = x1 + ns.crtc_w, y2 = y1 + ns.crtc_h;
	const int64_t cx1 = std::max<int64_t>(x1, 0), cy1 = std::max<int64_t>(y1, 0);
	const int64_t cx2 = std::min<int64_t>(x2, cs.mode.hdisplay);
	const int64_t cy2 = std::min<int64_t>(y2, cs.mode.vdisplay);
	const bool visible = cx2 > cx1 && cy2 > cy1;
	if (!visible)
		return 0;
	const bool can_position =
	        pd.can_position ? *pd.can_position
	                        : drv.can_position || d.planes[i].type != DRM_PLANE_TYPE_PRIMARY;
	// The destination is compared after clipping to the mode, so a plane larger than a new,
	// smaller mode still covers it.
	if (!can_position &&
	    (cx1 != 0 || cy1 != 0 || cx2 != cs.mode.hdisplay || cy2 != cs.mode.vdisplay))
		return -EINVAL; // "Plane must cover entire CRTC"
	// tidss_plane_atomic_check(): "Lite plane %d can't scale %ux%u->%ux%u".
	const std::vector<uint32_t> &only = pd.refuses_scaling_formats;
	const bool refused = pd.refuses_scaling &&
	                     (only.empty() || std::find(only.begin(), only.end(),
	                                                d.fbs.at(ns.fb).format) != only.end());
	if (refused && (ns.src_w != ns.crtc_w << 16 || ns.src_h != ns.crtc_h << 16))
		return -pd.scaling_refusal;
	return scanout_check(drv, d.fbs.at(ns.fb));
}

// update_connector_routing(): the connector's encoder must be able to drive its CRTC.
int route_connector(const device &d, atomic_state &s, size_t i)
{
	const connector &con = d.connectors[i];
	const connector_state &os = con.state;
	connector_state &ns = s.connectors[i];
	if (os.crtc != ns.crtc) {
		if (os.crtc >= 0)
			s.connectors_changed[os.crtc] = 1;
		if (ns.crtc >= 0)
			s.connectors_changed[ns.crtc] = 1;
	}
	if (os.crtc >= 0 && os.link_status != ns.link_status)
		s.connectors_changed[os.crtc] = 1;
	if (ns.crtc < 0) {
		ns.encoder = -1;
		return 0;
	}
	auto drives = [&](int e) {
		return e >= 0 && (d.encoders[e].possible_crtcs & (1u << ns.crtc));
	};
	int chosen = -1;
	if (std::find(con.encoders.begin(), con.encoders.end(), ns.encoder) != con.encoders.end() &&
	    drives(ns.encoder))
		chosen = ns.encoder;
	for (int e : con.encoders)
		if (chosen < 0 && drives(e))
			chosen = e;
	if (chosen < 0)
		return -EINVAL; // "[ENCODER] incompatible with [CRTC]"
	if (chosen != os.encoder)
		s.connectors_changed[ns.crtc] = 1;
	ns.encoder = chosen;
	return 0;
}

// drm_atomic_helper_check_modeset().
int check_modeset(const device &d, atomic_state &s)
{
	for (size_t i = 0; i < s.crtcs.size(); i++) {
		if (!s.crtc_in[i])
			continue;
		const crtc_state &os = d.crtcs[i].state;
		const crtc_state &ns = s.crtcs[i];
		if (!mode_equal(os.mode, ns.mode))
			s.mode_changed[i] = 1;
		if (os.enable() != ns.enable()) {
			s.mode_changed[i] = 1;
			s.connectors_changed[i] = 1;
		}
		if (os.active != ns.active)
			s.active_changed[i] = 1;
		bool has_connectors = false;
		for (const connector_state &cs : s.connectors)
			has_connectors = has_connectors || cs.crtc == int(i);
		if (ns.enable() != has_connectors)
			return -EINVAL; // "enabled/connectors mismatch"
	}
	for (size_t i = 0; i < s.connectors.size(); i++) {
		if (!s.connector_in[i])
			continue;
		if (int ret = route_connector(d, s, i))
			return ret;
	}
	// handle_conflicting_encoders(): one encoder drives one connector.
	for (size_t i = 0; i < s.connectors.size(); i++) {
		for (size_t j = i + 1; j < s.connectors.size(); j++) {
			const connector_state &a = s.connectors[i], &b = s.connectors[j];
			if (a.crtc >= 0 && b.crtc >= 0 && a.encoder >= 0 && a.encoder == b.encoder)
				return -EINVAL;
		}
	}
	// mode_fixup() through the CRTC's mode_valid: a mode beyond what the CRTC drives.
	for (size_t i = 0; i < s.crtcs.size(); i++) {
		const crtc_def &cd = d.topo.crtcs[i];
		const drm_mode_modeinfo &m = s.crtcs[i].mode;
		if (!s.crtc_in[i] || !s.needs_modeset(i) || !s.crtcs[i].enable())
			continue;
		if ((cd.max_hdisplay && m.hdisplay > cd.max_hdisplay) ||
		    (cd.max_vdisplay && m.vdisplay > cd.max_vdisplay))
			return -EINVAL; // "[CRTC] mode_valid() failed"
	}
	// A CRTC that needs a modeset brings its planes into the state, so a plane still showing
	// a framebuffer on a CRTC being disabled meets the plane checks.
	for (size_t i = 0; i < s.crtcs.size(); i++) {
		if (!s.crtc_in[i] || !s.needs_modeset(i))
			continue;
		for (size_t p = 0; p < d.planes.size(); p++) {
			if (d.planes[p].state.crtc != int(i))
				continue;
			s.plane_in[p] = 1;
			if (d.topo.driver.disable_planes_with_crtc && !s.crtcs[i].enable() &&
			    !s.plane_named[p] && s.planes[p].crtc == int(i)) {
				s.planes[p].fb = 0;
				s.planes[p].crtc = -1;
			}
		}
	}
	return 0;
}

// drm_simple_kms_crtc_check() with drm_atomic_helper_check_crtc_state(): an enabled CRTC needs
// a primary plane in its new plane mask ("Cannot enable CRTC without a primary plane"). A
// primary plane left on a disabled CRTC is the plane check's "Cannot update plane of a disabled
// CRTC".
int simple_pipe_crtc_check(const device &d, const atomic_state &s, size_t i)
{
	if (!s.crtcs[i].enable())
		return 0;
	for (size_t p = 0; p < s.planes.size(); p++)
		if (d.planes[p].type == DRM_PLANE_TYPE_PRIMARY && s.planes[p].crtc == int(i))
			return 0;
	return -EINVAL;
}

// The CRTC's own primary-plane rule: 6.x drm_atomic_helper_check_crtc_state() ("Cannot enable
// CRTC without a primary plane") or 4.19 drm_simple_kms_crtc_check() (has_primary != enable).
int primary_rule_check(const device &d, const atomic_state &s, size_t i)
{
	const crtc_def &cd = d.topo.crtcs[i];
	bool has_primary = false;
	for (size_t p = 0; p < s.planes.size(); p++)
		has_primary = has_primary || (d.planes[p].type == DRM_PLANE_TYPE_PRIMARY &&
		                              s.planes[p].crtc == int(i));
	if (cd.primary_matches_enable && has_primary != s.crtcs[i].enable())
		return -EINVAL;
	if (cd.needs_primary && s.crtcs[i].enable() && !has_primary)
		return -EINVAL;
	return 0;
}

int check(const device &d, atomic_state &s, uint32_t flags)
{
	for (size_t i = 0; i < s.planes.size(); i++)
		if (s.plane_in[i])
			if (int ret = plane_core_check(d, s, i))
				return ret;
	for (size_t i = 0; i < s.crtcs.size(); i++) {
		if (!s.crtc_in[i])
			continue;
		const crtc_state &ns = s.crtcs[i];
		if (ns.active && !ns.enable())
			return -EINVAL; // "active without enabled"
		if (s.event[i] && !ns.active && !d.crtcs[i].state.active)
			return -EINVAL; // "requesting event but off"
	}
	if (int ret = check_modeset(d, s))
		return ret;
	// drm_atomic_helper_check_planes(): every plane's check, then every CRTC's.
	for (size_t i = 0; i < s.planes.size(); i++)
		if (s.plane_in[i])
			if (int ret = plane_helper_check(d, s, i))
				return ret;
	if (d.topo.driver.simple_display_pipe)
		for (size_t i = 0; i < s.crtcs.size(); i++)
			if (s.crtc_in[i])
				if (int ret = simple_pipe_crtc_check(d, s, i))
					return ret;
	for (size_t i = 0; i < s.crtcs.size(); i++)
		if (s.crtc_in[i])
			if (int ret = primary_rule_check(d, s, i))
				return ret;
	if (!(flags & DRM_MODE_ATOMIC_ALLOW_MODESET))
		for (size_t i = 0; i < s.crtcs.size(); i++)
			if (s.crtc_in[i] && s.needs_modeset(i))
				return -EINVAL; // "requires full modeset"
	return 0;
}

// Reads the request's (object, property, value) triples for the record, as far as the arrays
// are given.
std::vector<prop_triple> read_triples(const device &d, const drm_mode_atomic &arg)
{
	std::vector<prop_triple> out;
	const auto *objs = reinterpret_cast<const uint32_t *>(uintptr_t(arg.objs_ptr));
	const auto *counts = reinterpret_cast<const uint32_t *>(uintptr_t(arg.count_props_ptr));
	const auto *props = reinterpret_cast<const uint32_t *>(uintptr_t(arg.props_ptr));
	const auto *values = reinterpret_cast<const uint64_t *>(uintptr_t(arg.prop_values_ptr));
	if (!objs || !counts)
		return out;
	size_t k = 0;
	for (uint32_t i = 0; i < arg.count_objs; i++) {
		if (counts[i] && (!props || !values))
			break;
		const object_ref *o = find_object(d, objs[i]);
		for (uint32_t j = 0; j < counts[i]; j++, k++) {
			prop_triple t;
			t.object_id = objs[i];
			t.object_type = o ? o->type : 0;
			t.prop_id = props[k];
			t.value = values[k];
			const int p = prop_index_by_id(d, props[k]);
			if (p >= 0)
				t.name = d.props[p].name;
			out.push_back(std::move(t));
		}
	}
	return out;
}

// Walks the request as drm_mode_atomic_ioctl() does, setting each property in the new state.
int set_properties(device &d, atomic_state &s, const drm_mode_atomic &arg)
{
	const auto *objs = reinterpret_cast<const uint32_t *>(uintptr_t(arg.objs_ptr));
	const auto *counts = reinterpret_cast<const uint32_t *>(uintptr_t(arg.count_props_ptr));
	const auto *props = reinterpret_cast<const uint32_t *>(uintptr_t(arg.props_ptr));
	const auto *values = reinterpret_cast<const uint64_t *>(uintptr_t(arg.prop_values_ptr));
	size_t k = 0;
	for (uint32_t i = 0; i < arg.count_objs; i++) {
		if (!objs || !counts)
			return -EFAULT;
		const object_ref *o = find_object(d, objs[i]);
		if (!o)
			return -ENOENT;
		const std::vector<int> *attached = object_props(d, *o);
		if (!attached)
			return -ENOENT;
		for (uint32_t j = 0; j < counts[i]; j++, k++) {
			if (!props || !values)
				return -EFAULT;
			const int p = prop_index_by_id(d, props[k]);
			if (p < 0 ||
			    std::find(attached->begin(), attached->end(), p) == attached->end())
				return -ENOENT;
			if (!value_valid(d, d.props[p], values[k]))
				return -EINVAL;
			int ret = 0;
			switch (o->type) {
			case DRM_MODE_OBJECT_PLANE:
				add_plane(d, s, o->index);
				s.plane_named[o->index] = 1;
				ret = set_plane_prop(d, s, o->index, p, values[k]);
				break;
			case DRM_MODE_OBJECT_CRTC:
				s.crtc_in[o->index] = 1;
				ret = set_crtc_prop(d, s, o->index, p, values[k]);
				break;
			case DRM_MODE_OBJECT_CONNECTOR:
				add_connector(d, s, o->index);
				ret = set_connector_prop(d, s, o->index, p, values[k]);
				break;
			default:
				ret = -EINVAL;
			}
			if (ret)
				return ret;
		}
	}
	return 0;
}

void turn_on(crtc &c, int64_t now)
{
	c.vblank.running = true;
	c.vblank.t0 = now;
	c.vblank.period = frame_ns(c.state.mode);
}

// The commit itself: the new state becomes current, pipes start or stop counting vblanks, and
// the reserved flip events are queued for the vblank that completes the flip.
int64_t apply(device &d, drm_file *f, atomic_state &s, uint64_t user_data)
{
	const int64_t now = now_ns();
	int64_t wait_until = 0;
	for (size_t i = 0; i < s.planes.size(); i++)
		if (s.plane_in[i]) {
			const uint32_t damage = d.planes[i].state.damage_blob;
			d.planes[i].state = s.planes[i];
			d.planes[i].state.damage_blob = 0;
			blob_unref_state(d, damage);
		}
	for (size_t i = 0; i < s.connectors.size(); i++)
		if (s.connector_in[i])
			d.connectors[i].state = s.connectors[i];
	for (size_t i = 0; i < s.crtcs.size(); i++) {
		if (!s.crtc_in[i])
			continue;
		crtc &c = d.crtcs[i];
		const crtc_state old = c.state;
		c.state = s.crtcs[i];
		if (old.mode_blob != c.state.mode_blob) {
			blob_ref_state(d, c.state.mode_blob);
			blob_unref_state(d, old.mode_blob);
		}
		if (old.active && (!c.state.active || s.needs_modeset(i)))
			crtc_turned_off(d, int(i), now);
		if (c.state.active && (!old.active || s.needs_modeset(i)))
			turn_on(c, now);
	}
	for (size_t i = 0; i < s.crtcs.size(); i++) {
		if (!s.crtc_in[i])
			continue;
		const crtc &c = d.crtcs[i];
		int64_t due = now;
		uint64_t seq = 0;
		if (d.topo.driver.vblank && c.state.active) {
			seq = c.vblank.count(now) + 1;
			due = c.vblank.time_of(seq);
			wait_until = std::max(wait_until, due);
		} else if (d.topo.driver.vblank) {
			seq = c.vblank.count(now);
		}
		if (!s.event[i] || !f)
			continue;
		// Without vblank interrupts the helpers send the event at once, counted 0.
		pending_event e;
		e.due = due;
		e.ev.base.type = DRM_EVENT_FLIP_COMPLETE;
		e.ev.base.length = sizeof(e.ev);
		e.ev.user_data = user_data;
		e.ev.sequence = uint32_t(seq);
		e.ev.tv_sec = uint32_t(due / k_ns_per_s);
		e.ev.tv_usec = uint32_t((due % k_ns_per_s) / 1000);
		e.ev.crtc_id = c.id;
		queue_event(d, *f, e);
	}
	return wait_until;
}

// One try of atomic_remove_fb(): a blocking commit, modesets allowed, that takes the
// framebuffer off every plane showing it (only FB_ID and CRTC_ID change; the rectangles stay).
// With disable_crtcs a CRTC whose primary plane shows it is switched off as well (ACTIVE 0, no
// mode) and so are the connectors it drives.
int commit_remove_fb(device &d, uint32_t fb_id, bool disable_crtcs)
{
	atomic_state s(d);
	bool any = false;
	for (size_t p = 0; p < d.planes.size(); p++) {
		if (d.planes[p].state.fb != fb_id)
			continue;
		add_plane(d, s, p);
		const int crtc = d.planes[p].state.crtc;
		if (disable_crtcs && crtc >= 0 && d.crtcs[crtc].primary == int(p)) {
			// drm_atomic_add_affected_connectors().
			for (size_t k = 0; k < d.connectors.size(); k++)
				if (d.connectors[k].state.crtc == crtc)
					add_connector(d, s, k);
			s.crtcs[crtc].active = false;
			s.crtcs[crtc].mode_blob = 0;
			s.crtcs[crtc].mode = drm_mode_modeinfo{};
		}
		s.planes[p].fb = 0;
		s.planes[p].crtc = -1;
		any = true;
	}
	for (size_t k = 0; k < s.connectors.size(); k++)
		if (s.connector_in[k])
			s.connectors[k].crtc = -1;
	if (!any)
		return 0;
	if (int ret = check(d, s, DRM_MODE_ATOMIC_ALLOW_MODESET))
		return ret;
	apply(d, nullptr, s, 0);
	return 0;
}

} // namespace

int atomic_remove_fb(device &d, uint32_t fb_id)
{
	const int ret = commit_remove_fb(d, fb_id, false);
	if (ret != -EINVAL)
		return ret;
	return commit_remove_fb(d, fb_id, true);
}

int atomic_ioctl(request_ctx &c, drm_mode_atomic &arg)
{
	device &d = *c.dev;
	commit_record rec;
	rec.flags = arg.flags;
	rec.props = read_triples(d, arg);
	auto finish = [&](int ret) {
		rec.error = -ret;
		keep_record(c.dev->commits, std::move(rec));
		return ret;
	};
	if (!c.file->atomic)
		return finish(-EINVAL);
	if (arg.flags & ~uint32_t(DRM_MODE_ATOMIC_FLAGS))
		return finish(-EINVAL);
	if (arg.reserved)
		return finish(-EINVAL);
	if (arg.flags & DRM_MODE_PAGE_FLIP_ASYNC)
		return finish(-EINVAL);
	if ((arg.flags & DRM_MODE_ATOMIC_TEST_ONLY) && (arg.flags & DRM_MODE_PAGE_FLIP_EVENT))
		return finish(-EINVAL);

	atomic_state s(d);
	if (int ret = set_properties(d, s, arg))
		return finish(ret);

	// prepare_signaling(): one event per CRTC in the commit, each reserving its space now.
	uint32_t reserved = 0;
	if (!(arg.flags & DRM_MODE_ATOMIC_TEST_ONLY) && (arg.flags & DRM_MODE_PAGE_FLIP_EVENT)) {
		int crtcs = 0;
		for (size_t i = 0; i < s.crtcs.size(); i++) {
			if (!s.crtc_in[i])
				continue;
			crtcs++;
			if (c.file->event_space < sizeof(drm_event_vblank)) {
				c.file->event_space += reserved;
				return finish(-ENOMEM);
			}
			c.file->event_space -= uint32_t(sizeof(drm_event_vblank));
			reserved += uint32_t(sizeof(drm_event_vblank));
			s.event[i] = 1;
		}
		if (crtcs == 0)
			return finish(-EINVAL);
	}
	if (int ret = check(d, s, arg.flags)) {
		c.file->event_space += reserved;
		return finish(ret);
	}
	if (arg.flags & DRM_MODE_ATOMIC_TEST_ONLY)
		return finish(0);

	const int64_t wait_until = apply(d, c.file, s, arg.user_data);
	finish(0);
	c.after_commit = true;
	c.commit_flags = arg.flags;
	if (d.topo.driver.commit_waits_vblank && d.topo.driver.vblank && wait_until > 0 &&
	    !(arg.flags & DRM_MODE_ATOMIC_NONBLOCK)) {
		const uint64_t generation = d.generation;
		c.lock.unlock();
		sleep_until(wait_until);
		c.relock(generation);
	}
	return 0;
}

} // namespace sim::kms
