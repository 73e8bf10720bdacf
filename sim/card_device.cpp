// The device and its mode objects: building a card from a topology, object ids, properties
// and blobs, and the public id lookups.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

#include "sim/card.h"

namespace sim::kms
{

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
device *g_dev = nullptr;
int g_card_files = 0;
int g_card_mappings = 0;

int64_t now_ns()
{
	timespec ts{};
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return int64_t(ts.tv_sec) * k_ns_per_s + ts.tv_nsec;
}

void sleep_until(int64_t t)
{
	timespec ts{};
	ts.tv_sec = t / k_ns_per_s;
	ts.tv_nsec = t % k_ns_per_s;
	while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
	}
}

// Mode object ids come from one idr per device: the lowest free id from 1 on.
uint32_t alloc_object_id(device &d, uint32_t type, int index)
{
	uint32_t id = 1;
	for (const auto &[used, ref] : d.objects) {
		if (used != id)
			break;
		id++;
	}
	d.objects[id] = object_ref{type, index};
	return id;
}

const object_ref *find_object(const device &d, uint32_t id)
{
	auto it = d.objects.find(id);
	return it == d.objects.end() ? nullptr : &it->second;
}

uint32_t create_blob(device &d, const void *data, size_t len, bool user, int owner)
{
	uint32_t id = alloc_object_id(d, DRM_MODE_OBJECT_BLOB, -1);
	blob &b = d.blobs[id];
	b.id = id;
	b.data.assign(static_cast<const uint8_t *>(data), static_cast<const uint8_t *>(data) + len);
	b.user = user;
	b.owner = owner;
	return id;
}

// Kernel-created blobs other than a CRTC's mode live as long as the device.
bool blob_alive(const blob &b)
{
	return b.owner >= 0 || b.state_refs > 0;
}

void free_blob_if_unused(device &d, uint32_t id)
{
	auto it = d.blobs.find(id);
	if (it == d.blobs.end() || blob_alive(it->second))
		return;
	d.objects.erase(id);
	d.blobs.erase(it);
}

void blob_ref_state(device &d, uint32_t id)
{
	auto it = d.blobs.find(id);
	if (it != d.blobs.end())
		it->second.state_refs++;
}

void blob_unref_state(device &d, uint32_t id)
{
	auto it = d.blobs.find(id);
	if (it == d.blobs.end())
		return;
	it->second.state_refs--;
	free_blob_if_unused(d, id);
}

namespace
{

void add_prop(device &d, const char *name, uint32_t flags, std::vector<uint64_t> values,
              std::vector<std::pair<uint64_t, std::string>> enums = {})
{
	property p;
	p.id = alloc_object_id(d, DRM_MODE_OBJECT_PROPERTY, int(d.props.size()));
	p.name = name;
	p.flags = flags;
	p.values = std::move(values);
	p.enums = std::move(enums);
	if (!p.enums.empty()) {
		p.values.clear();
		for (const auto &e : p.enums)
			p.values.push_back(e.first);
	}
	d.props.push_back(std::move(p));
}

// drm_connector_create_standard_properties() and drm_mode_create_standard_properties().
void create_standard_properties(device &d)
{
	constexpr uint32_t atomic = DRM_MODE_PROP_ATOMIC;
	constexpr uint32_t immutable = DRM_MODE_PROP_IMMUTABLE;
	const uint64_t int_min = uint64_t(int64_t(INT_MIN));
	add_prop(d, "EDID", DRM_MODE_PROP_BLOB | immutable, {});
	add_prop(d, "DPMS", DRM_MODE_PROP_ENUM, {},
	         {{DRM_MODE_DPMS_ON, "On"},
	          {DRM_MODE_DPMS_STANDBY, "Standby"},
	          {DRM_MODE_DPMS_SUSPEND, "Suspend"},
	          {DRM_MODE_DPMS_OFF, "Off"}});
	add_prop(d, "PATH", DRM_MODE_PROP_BLOB | immutable, {});
	add_prop(d, "TILE", DRM_MODE_PROP_BLOB | immutable, {});
	add_prop(d, "link-status", DRM_MODE_PROP_ENUM, {},
	         {{DRM_MODE_LINK_STATUS_GOOD, "Good"}, {DRM_MODE_LINK_STATUS_BAD, "Bad"}});
	add_prop(d, "non-desktop", DRM_MODE_PROP_RANGE | immutable, {0, 1});
	add_prop(d, "HDR_OUTPUT_METADATA", DRM_MODE_PROP_BLOB, {});
	add_prop(d, "type", DRM_MODE_PROP_ENUM | immutable, {},
	         {{DRM_PLANE_TYPE_OVERLAY, "Overlay"},
	          {DRM_PLANE_TYPE_PRIMARY, "Primary"},
	          {DRM_PLANE_TYPE_CURSOR, "Cursor"}});
	add_prop(d, "SRC_X", DRM_MODE_PROP_RANGE | atomic, {0, UINT_MAX});
	add_prop(d, "SRC_Y", DRM_MODE_PROP_RANGE | atomic, {0, UINT_MAX});
	add_prop(d, "SRC_W", DRM_MODE_PROP_RANGE | atomic, {0, UINT_MAX});
	add_prop(d, "SRC_H", DRM_MODE_PROP_RANGE | atomic, {0, UINT_MAX});
	add_prop(d, "CRTC_X", DRM_MODE_PROP_SIGNED_RANGE | atomic, {int_min, INT_MAX});
	add_prop(d, "CRTC_Y", DRM_MODE_PROP_SIGNED_RANGE | atomic, {int_min, INT_MAX});
	add_prop(d, "CRTC_W", DRM_MODE_PROP_RANGE | atomic, {0, INT_MAX});
	add_prop(d, "CRTC_H", DRM_MODE_PROP_RANGE | atomic, {0, INT_MAX});
	add_prop(d, "FB_ID", DRM_MODE_PROP_OBJECT | atomic, {DRM_MODE_OBJECT_FB});
	add_prop(d, "IN_FENCE_FD", DRM_MODE_PROP_SIGNED_RANGE | atomic,
	         {uint64_t(int64_t(-1)), INT_MAX});
	add_prop(d, "OUT_FENCE_PTR", DRM_MODE_PROP_RANGE | atomic, {0, UINT64_MAX});
	add_prop(d, "CRTC_ID", DRM_MODE_PROP_OBJECT | atomic, {DRM_MODE_OBJECT_CRTC});
	add_prop(d, "FB_DAMAGE_CLIPS", DRM_MODE_PROP_BLOB | atomic, {});
	add_prop(d, "ACTIVE", DRM_MODE_PROP_RANGE | atomic, {0, 1});
	add_prop(d, "MODE_ID", DRM_MODE_PROP_BLOB | atomic, {});
	add_prop(d, "VRR_ENABLED", DRM_MODE_PROP_RANGE, {0, 1});
	add_prop(d, "DEGAMMA_LUT", DRM_MODE_PROP_BLOB, {});
	add_prop(d, "DEGAMMA_LUT_SIZE", DRM_MODE_PROP_RANGE | immutable, {0, UINT_MAX});
	add_prop(d, "CTM", DRM_MODE_PROP_BLOB, {});
	add_prop(d, "GAMMA_LUT", DRM_MODE_PROP_BLOB, {});
	add_prop(d, "GAMMA_LUT_SIZE", DRM_MODE_PROP_RANGE | immutable, {0, UINT_MAX});
	add_prop(d, "IN_FORMATS", DRM_MODE_PROP_BLOB | immutable, {});
}

// create_in_format_blob(): every format with the linear modifier only.
std::vector<uint8_t> in_formats_blob(const std::vector<uint32_t> &formats)
{
	drm_format_modifier_blob head{};
	const size_t formats_size = formats.size() * sizeof(uint32_t);
	head.version = FORMAT_BLOB_CURRENT;
	head.count_formats = uint32_t(formats.size());
	head.formats_offset = sizeof(head);
	head.count_modifiers = 1;
	head.modifiers_offset = uint32_t((sizeof(head) + formats_size + 7) & ~size_t(7));
	drm_format_modifier mod{};
	for (size_t i = 0; i < formats.size() && i < 64; i++)
		mod.formats |= 1ull << i;
	mod.offset = 0;
	mod.modifier = DRM_FORMAT_MOD_LINEAR;
	std::vector<uint8_t> out(head.modifiers_offset + sizeof(mod));
	memcpy(out.data(), &head, sizeof(head));
	if (formats_size)
		memcpy(out.data() + head.formats_offset, formats.data(), formats_size);
	memcpy(out.data() + head.modifiers_offset, &mod, sizeof(mod));
	return out;
}

// The mode objects without their ids.
void build_objects(device &d, const topology &t)
{
	for (const plane_def &ps : t.planes) {
		plane p;
		p.type = ps.type;
		p.possible_crtcs = ps.possible_crtcs;
		p.formats = ps.formats;
		p.props = {prop_type,   prop_fb_id,  prop_in_fence_fd, prop_crtc_id,
		           prop_crtc_x, prop_crtc_y, prop_crtc_w,      prop_crtc_h,
		           prop_src_x,  prop_src_y,  prop_src_w,       prop_src_h};
		if (t.driver.fb_modifiers && !ps.formats.empty())
			p.props.push_back(prop_in_formats);
		if (ps.damage_clips)
			p.props.push_back(prop_fb_damage_clips);
		d.planes.push_back(std::move(p));
	}
	for (size_t i = 0; i < t.crtcs.size(); i++) {
		crtc c;
		c.props = {prop_active, prop_mode_id, prop_out_fence_ptr, prop_vrr_enabled};
		for (size_t p = 0; p < d.planes.size(); p++) {
			const plane &pl = d.planes[p];
			if (pl.type != DRM_PLANE_TYPE_PRIMARY || !(pl.possible_crtcs & (1u << i)))
				continue;
			bool taken = false;
			for (const crtc &other : d.crtcs)
				taken = taken || other.primary == int(p);
			if (!taken) {
				c.primary = int(p);
				break;
			}
		}
		d.crtcs.push_back(std::move(c));
	}
	std::map<uint32_t, uint32_t> type_ids;
	for (const connector_def &cs : t.connectors) {
		connector c;
		c.type = cs.type;
		c.added = !cs.late;
		// A late connector gets its type's next number when it is added.
		c.type_id = cs.late ? 0 : ++type_ids[cs.type];
		c.connected = cs.connected && !cs.late;
		c.topology_modes = cs.modes;
		for (int e : cs.encoders)
			if (e >= 0 && size_t(e) < t.encoders.size())
				c.encoders.push_back(e);
		if (cs.late)
			c.state.encoder = -1; // a new connector's state has no best encoder
		else if (cs.bound_encoder)
			c.state.encoder = *cs.bound_encoder;
		else if (!c.encoders.empty())
			c.state.encoder = c.encoders.front();
		if (c.state.encoder >= int(t.encoders.size()))
			c.state.encoder = -1;
		if (c.connected)
			set_modes(c, c.topology_modes);
		const bool virtual_type = cs.type == DRM_MODE_CONNECTOR_VIRTUAL ||
		                          cs.type == DRM_MODE_CONNECTOR_WRITEBACK;
		if (!virtual_type)
			c.props.push_back(prop_edid);
		for (int p :
		     {prop_dpms, prop_link_status, prop_non_desktop, prop_tile, prop_crtc_id})
			c.props.push_back(p);
		// The driver attaches EDID to a Virtual connector itself, after the core's
		// properties.
		if (virtual_type && cs.edid != connector_def::edid_blob::none)
			c.props.push_back(prop_edid);
		d.connectors.push_back(std::move(c));
	}
	for (size_t i = 0; i < t.encoders.size(); i++) {
		encoder e;
		e.type = t.encoders[i].type;
		e.possible_crtcs = t.encoders[i].possible_crtcs;
		e.possible_clones = 1u << i;
		d.encoders.push_back(e);
	}
}

} // namespace

// drm_connector_init(): the connector's id and its type's next number, and an EDID read at init.
void register_connector(device &d, int index)
{
	connector &c = d.connectors[size_t(index)];
	c.added = true;
	c.id = alloc_object_id(d, DRM_MODE_OBJECT_CONNECTOR, index);
	if (!c.type_id) {
		for (const connector &other : d.connectors)
			if (&other != &c && other.type == c.type)
				c.type_id = std::max(c.type_id, other.type_id);
		c.type_id++;
	}
	if (d.topo.connectors[size_t(index)].edid == connector_def::edid_blob::at_init)
		attach_edid(d, c);
}

namespace
{

// The properties a driver makes for one plane, each a new object (plane_def::immutable_zpos,
// blend_mode, alpha).
void add_plane_props(device &d, const plane_def &ps, plane &p)
{
	auto attach = [&](int &slot) {
		slot = int(d.props.size()) - 1;
		p.props.push_back(slot);
	};
	if (ps.immutable_zpos) {
		const uint64_t z = uint64_t(ps.zpos.value_or(0));
		add_prop(d, "zpos", DRM_MODE_PROP_RANGE | DRM_MODE_PROP_IMMUTABLE, {z, z});
		attach(p.zpos_prop);
	}
	if (ps.blend_mode) {
		// DRM_MODE_BLEND_PIXEL_NONE, _PREMULTI and _COVERAGE, in drm_blend.c's order.
		add_prop(d, "pixel blend mode", DRM_MODE_PROP_ENUM, {},
		         {{2, "None"}, {0, "Pre-multiplied"}, {1, "Coverage"}});
		attach(p.blend_mode_prop);
	}
	if (ps.alpha) {
		add_prop(d, "alpha", DRM_MODE_PROP_RANGE, {0, 0xffff});
		attach(p.alpha_prop);
	}
}

// Ids in the driver's creation order, each plane followed by its IN_FORMATS blob and each
// connector by an EDID read at init.
void assign_ids(device &d, const topology &t)
{
	using kind = driver_def::object_kind;
	std::vector<kind> order = t.driver.creation_order;
	for (kind k : {kind::planes, kind::crtcs, kind::connectors, kind::encoders})
		if (std::find(order.begin(), order.end(), k) == order.end())
			order.push_back(k);
	std::vector<char> done(4, 0);
	for (kind k : order) {
		if (done[size_t(k)]++)
			continue;
		switch (k) {
		case kind::planes:
			for (size_t i = 0; i < d.planes.size(); i++) {
				plane &p = d.planes[i];
				p.id = alloc_object_id(d, DRM_MODE_OBJECT_PLANE, int(i));
				if (std::find(p.props.begin(), p.props.end(), prop_in_formats) !=
				    p.props.end()) {
					const std::vector<uint8_t> data =
					        in_formats_blob(p.formats);
					p.in_formats_blob =
					        create_blob(d, data.data(), data.size(), false, -1);
				}
				add_plane_props(d, t.planes[i], p);
			}
			break;
		case kind::crtcs:
			for (size_t i = 0; i < d.crtcs.size(); i++)
				d.crtcs[i].id = alloc_object_id(d, DRM_MODE_OBJECT_CRTC, int(i));
			break;
		case kind::connectors:
			for (size_t i = 0; i < d.connectors.size(); i++)
				if (d.connectors[i].added)
					register_connector(d, int(i));
			break;
		case kind::encoders:
			for (size_t i = 0; i < d.encoders.size(); i++)
				d.encoders[i].id =
				        alloc_object_id(d, DRM_MODE_OBJECT_ENCODER, int(i));
			break;
		}
	}
	// Held by objects no client is shown; no request finds anything under these ids.
	for (uint32_t i = 0; i < t.driver.hidden_ids; i++)
		alloc_object_id(d, 0, -1);
}

// The objects in the driver's creation order; then what the first probe and fbdev emulation
// create: EDIDs that arrive at probe time, the console's framebuffer and the mode blobs of the
// CRTCs lit at start.
void build(device &d, const topology &t)
{
	d.topo = t;
	create_standard_properties(d);
	build_objects(d, t);
	assign_ids(d, t);
	for (size_t i = 0; i < t.connectors.size(); i++)
		if (t.connectors[i].edid == connector_def::edid_blob::at_probe &&
		    d.connectors[i].added)
			attach_edid(d, d.connectors[i]);
	// With fbdev choosing its outputs, the CRTCs lit at start are the ones it picks.
	const topology lit =
	        t.driver.fbdev && t.driver.fbdev_picks_crtcs ? pick_console_crtcs(d, t) : t;
	const uint32_t console_fb = t.driver.fbdev ? create_console_fb(d, lit) : 0;
	const int64_t now = now_ns();
	// A lit CRTC drives the first connected connector whose encoder can reach it, or every one
	// whose encoder the topology names it for: a clone.
	for (size_t i = 0; i < lit.crtcs.size(); i++) {
		if (!lit.crtcs[i].active)
			continue;
		crtc &c = d.crtcs[i];
		c.state.mode = make_modeinfo(lit.crtcs[i].mode);
		c.state.mode_blob = create_blob(d, &c.state.mode, sizeof(c.state.mode), false, -1);
		d.blobs[c.state.mode_blob].state_refs = 1;
		c.state.active = true;
		c.vblank.running = true;
		c.vblank.t0 = now;
		c.vblank.period = frame_ns(c.state.mode);
		for (size_t k = 0; k < d.connectors.size(); k++) {
			connector &con = d.connectors[k];
			if (!con.connected || con.state.crtc >= 0 || con.state.encoder < 0)
				continue;
			if (!(d.encoders[con.state.encoder].possible_crtcs & (1u << i)))
				continue;
			// An encoder given its CRTC (or -1, none) drives only that one at start.
			const std::optional<int> &wanted =
			        t.encoders[size_t(con.state.encoder)].crtc;
			if (wanted && *wanted != int(i))
				continue;
			bool encoder_busy = false;
			for (const connector &other : d.connectors)
				encoder_busy =
				        encoder_busy || (other.state.crtc >= 0 &&
				                         other.state.encoder == con.state.encoder);
			if (encoder_busy)
				continue;
			con.state.crtc = int(i);
			if (!wanted)
				break;
		}
		if (console_fb && c.primary >= 0) {
			d.console.resize(d.crtcs.size());
			console_output &out = d.console[i];
			out.fb = console_fb;
			out.mode = c.state.mode;
			for (size_t k = 0; k < d.connectors.size(); k++)
				if (d.connectors[k].state.crtc == int(i))
					out.connector = int(k);
			show_console(d, int(i), console_fb);
			plane &primary = d.planes[size_t(c.primary)];
			if (std::find(primary.props.begin(), primary.props.end(),
			              prop_fb_damage_clips) != primary.props.end()) {
				// The console's first flush: the whole screen.
				const drm_mode_rect all{0, 0, c.state.mode.hdisplay,
				                        c.state.mode.vdisplay};
				primary.state.damage_blob =
				        create_blob(d, &all, sizeof all, false, -1);
				blob_ref_state(d, primary.state.damage_blob);
			}
		}
	}
}

void destroy_device(device *d)
{
	for (auto &[key, g] : d->gems) {
		if (g.pixels)
			libc().munmap(g.pixels, g.size);
		if (g.parked)
			libc().munmap(g.parked, g.size);
		if (g.memfd >= 0)
			libc().close(g.memfd);
	}
	for (const pooled_memory &mem : d->pool) {
		if (mem.map)
			libc().munmap(mem.map, mem.size);
		libc().close(mem.memfd);
	}
	delete d;
}

} // namespace

device &dev_or_die()
{
	// The inspection functions are for tests that installed a card; without one there is
	// nothing sensible to answer, so an empty device stands in.
	static device *empty = new device;
	return g_dev ? *g_dev : *empty;
}

} // namespace sim::kms

namespace sim
{

using namespace kms;

void install(const topology &t)
{
	card_lock lock;
	device *d = new device;
	build(*d, t);
	d->installed_at = now_ns();
	device *old = g_dev;
	if (old) {
		d->generation = old->generation + 1;
		// Open descriptors stay files of the card with their client capabilities; whatever
		// they held on the old card (handles, framebuffers, blobs, events) is gone with it.
		for (auto &[fd, f] : old->files) {
			reset_file(*d, *f);
			d->files[fd] = std::move(f);
		}
		// ... and the master stays master.
		d->master = old->master;
		destroy_device(old);
	}
	g_dev = d;
	__atomic_store_n(&g_card_mappings, 0, __ATOMIC_RELAXED);
}

void set_sys_admin(bool has)
{
	card_lock lock;
	dev_or_die().sys_admin = has;
}

uint32_t connector_id(int index)
{
	card_lock lock;
	device &d = dev_or_die();
	return index >= 0 && size_t(index) < d.connectors.size() ? d.connectors[index].id : 0;
}

uint32_t encoder_id(int index)
{
	card_lock lock;
	device &d = dev_or_die();
	return index >= 0 && size_t(index) < d.encoders.size() ? d.encoders[index].id : 0;
}

uint32_t crtc_id(int index)
{
	card_lock lock;
	device &d = dev_or_die();
	return index >= 0 && size_t(index) < d.crtcs.size() ? d.crtcs[index].id : 0;
}

uint32_t plane_id(int index)
{
	card_lock lock;
	device &d = dev_or_die();
	return index >= 0 && size_t(index) < d.planes.size() ? d.planes[index].id : 0;
}

} // namespace sim
