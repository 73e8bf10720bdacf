// The device model: building a card from a topology, object ids, properties and blobs, and the
// inspection and control functions of sim.h.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

#include <sys/mman.h>
#include <unistd.h>

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

uint64_t vblank_clock::count(int64_t now) const
{
	if (!running || now < t0 || period <= 0)
		return base;
	return base + uint64_t((now - t0) / period);
}

int64_t vblank_clock::time_of(uint64_t seq) const
{
	if (seq < base)
		return t0;
	return t0 + int64_t(seq - base) * period;
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

// Timings in the manner of CVT reduced blanking; when the clock is given, the horizontal total
// is chosen so that the clock gives the asked refresh rate.
drm_mode_modeinfo make_modeinfo(const mode_def &m)
{
	drm_mode_modeinfo mi{};
	const uint32_t refresh = m.vrefresh ? m.vrefresh : 60;
	const uint32_t h = m.hdisplay, v = m.vdisplay;
	const uint32_t vtotal = v + 3 + 5 + std::max<uint32_t>(6, v / 40);
	uint32_t htotal = h + 160;
	uint32_t clock = m.clock;
	if (clock) {
		const uint64_t fit = (uint64_t(clock) * 1000 + uint64_t(vtotal) * refresh / 2) /
		                     (uint64_t(vtotal) * refresh);
		htotal = uint32_t(std::clamp<uint64_t>(fit, h + 80, 65535));
	} else {
		clock = uint32_t((uint64_t(htotal) * vtotal * refresh + 500) / 1000);
	}
	const uint32_t hblank = htotal - h;
	mi.clock = clock;
	mi.hdisplay = uint16_t(h);
	mi.hsync_start = uint16_t(h + hblank / 4);
	mi.hsync_end = uint16_t(h + hblank / 2);
	mi.htotal = uint16_t(htotal);
	mi.vdisplay = uint16_t(v);
	mi.vsync_start = uint16_t(v + 3);
	mi.vsync_end = uint16_t(v + 8);
	mi.vtotal = uint16_t(vtotal);
	mi.flags = DRM_MODE_FLAG_PHSYNC | DRM_MODE_FLAG_NVSYNC;
	mi.type = DRM_MODE_TYPE_DRIVER | (m.preferred ? DRM_MODE_TYPE_PREFERRED : 0);
	std::string name = m.name.empty() ? std::to_string(h) + "x" + std::to_string(v) : m.name;
	strncpy(mi.name, name.c_str(), DRM_DISPLAY_MODE_LEN - 1);
	mi.vrefresh = uint32_t(mode_vrefresh(mi));
	return mi;
}

// drm_mode_vrefresh(): rounded to the closest integer.
int mode_vrefresh(const drm_mode_modeinfo &m)
{
	if (m.htotal == 0 || m.vtotal == 0)
		return 0;
	uint64_t num = m.clock;
	uint64_t den = uint64_t(m.htotal) * m.vtotal;
	if (m.flags & DRM_MODE_FLAG_INTERLACE)
		num *= 2;
	if (m.flags & DRM_MODE_FLAG_DBLSCAN)
		den *= 2;
	if (m.vscan > 1)
		den *= m.vscan;
	return int((num * 1000 + den / 2) / den);
}

// drm_mode_equal(): timings, clock and flags; names and types do not matter.
bool mode_equal(const drm_mode_modeinfo &a, const drm_mode_modeinfo &b)
{
	return a.clock == b.clock && a.hdisplay == b.hdisplay && a.hsync_start == b.hsync_start &&
	       a.hsync_end == b.hsync_end && a.htotal == b.htotal && a.hskew == b.hskew &&
	       a.vdisplay == b.vdisplay && a.vsync_start == b.vsync_start &&
	       a.vsync_end == b.vsync_end && a.vtotal == b.vtotal && a.vscan == b.vscan &&
	       a.flags == b.flags;
}

// The frame duration as drm_calc_timestamping_constants() computes it.
int64_t frame_ns(const drm_mode_modeinfo &m)
{
	if (m.clock == 0 || m.htotal == 0 || m.vtotal == 0)
		return k_ns_per_s / 60;
	uint64_t lines = m.vtotal;
	if (m.flags & DRM_MODE_FLAG_INTERLACE)
		lines = (lines + 1) / 2;
	return int64_t(uint64_t(m.htotal) * lines * 1000000ull / m.clock);
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

void show_console(device &d, int crtc_index, uint32_t fb);

bool same_mode(const drm_mode_modeinfo &a, const drm_mode_modeinfo &b)
{
	return memcmp(&a, &b, sizeof a) == 0;
}

} // namespace

// drm_lastclose() with fbdev emulation: drm_fb_helper_restore_fbdev_mode_unlocked() commits the
// console's configuration again: every plane but the primaries off, each CRTC the console
// used lit with its mode (the same MODE_ID blob when the mode did not change), the console's
// framebuffer on its primary plane and the connector it drove routed to it; CRTCs the console
// did not use, or whose connector is gone, are switched off. The console keeps the mode it chose
// at start: fbdev would probe again only on a hot-plug event, which the card does not send.
// This is a few lines because nothing else of fbdev matters to a client: its files are all
// closed by then, and the next one to open the card finds the screen as the kernel leaves it.
void restore_console(device &d)
{
	if (d.console.empty())
		return;
	const int64_t now = now_ns();
	for (plane &p : d.planes)
		if (p.type != DRM_PLANE_TYPE_PRIMARY)
			p.state = plane_state{};
	for (size_t i = 0; i < d.crtcs.size(); i++) {
		crtc &c = d.crtcs[i];
		const console_output &out = d.console[i];
		const bool lit =
		        out.fb && out.connector >= 0 && d.connectors[out.connector].connected;
		for (size_t k = 0; k < d.connectors.size(); k++) {
			connector &con = d.connectors[k];
			if (con.state.crtc == int(i) && (!lit || int(k) != out.connector)) {
				con.state.crtc = -1;
				con.state.encoder = -1;
			}
		}
		const crtc_state old = c.state;
		if (!lit) {
			// __drm_atomic_helper_set_config() without a mode detaches the primary
			// plane and leaves its rectangles.
			if (c.primary >= 0) {
				d.planes[c.primary].state.fb = 0;
				d.planes[c.primary].state.crtc = -1;
			}
			c.state = crtc_state{};
			blob_unref_state(d, old.mode_blob);
			if (old.active)
				crtc_turned_off(d, int(i), now);
			continue;
		}
		if (!old.mode_blob || !same_mode(old.mode, out.mode)) {
			c.state.mode = out.mode;
			c.state.mode_blob = create_blob(d, &out.mode, sizeof(out.mode), false, -1);
			blob_ref_state(d, c.state.mode_blob);
			blob_unref_state(d, old.mode_blob);
		}
		c.state.active = true;
		const bool modeset = !old.active || c.state.mode_blob != old.mode_blob;
		if (old.active && modeset)
			crtc_turned_off(d, int(i), now);
		if (modeset) {
			c.vblank.running = true;
			c.vblank.t0 = now;
			c.vblank.period = frame_ns(c.state.mode);
		}
		show_console(d, int(i), out.fb);
		connector &con = d.connectors[out.connector];
		con.state.crtc = int(i);
		if (con.state.encoder < 0 ||
		    !(d.encoders[con.state.encoder].possible_crtcs & (1u << i)))
			for (int e : con.encoders)
				if (d.encoders[e].possible_crtcs & (1u << i)) {
					con.state.encoder = e;
					break;
				}
	}
}

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

// drm_mode_sort(): preferred first, then by size, refresh rate and clock, larger first.
void sort_modes(std::vector<drm_mode_modeinfo> &modes)
{
	std::stable_sort(modes.begin(), modes.end(),
	                 [](const drm_mode_modeinfo &a, const drm_mode_modeinfo &b) {
		                 const bool pa = a.type & DRM_MODE_TYPE_PREFERRED;
		                 const bool pb = b.type & DRM_MODE_TYPE_PREFERRED;
		                 if (pa != pb)
			                 return pa;
		                 const int64_t sa = int64_t(a.hdisplay) * a.vdisplay;
		                 const int64_t sb = int64_t(b.hdisplay) * b.vdisplay;
		                 if (sa != sb)
			                 return sa > sb;
		                 if (mode_vrefresh(a) != mode_vrefresh(b))
			                 return mode_vrefresh(a) > mode_vrefresh(b);
		                 return a.clock > b.clock;
	                 });
}

void set_modes(connector &c, const std::vector<mode_def> &specs)
{
	c.modes.clear();
	for (const mode_def &m : specs)
		c.modes.push_back(make_modeinfo(m));
	sort_modes(c.modes);
}

// An EDID 1.3 base block for a monitor whose preferred timing is `m`, as QEMU builds one for its
// display devices: one detailed timing, the monitor's name, no extension.
std::vector<uint8_t> make_edid(const drm_mode_modeinfo &m)
{
	std::vector<uint8_t> e(128, 0);
	const uint8_t header[8] = {0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00};
	memcpy(e.data(), header, sizeof header);
	const auto letter = [](char c) { return unsigned(c - 'A' + 1); };
	const unsigned vendor = letter('S') << 10 | letter('I') << 5 | letter('M');
	e[8] = uint8_t(vendor >> 8);
	e[9] = uint8_t(vendor);
	e[10] = 0x01; // product code
	e[16] = 1;    // week and year of manufacture: 2014
	e[17] = 24;
	e[18] = 1; // EDID 1.3
	e[19] = 3;
	e[20] = 0x80; // digital input
	const unsigned width_mm = m.hdisplay * 264u / 1000, height_mm = m.vdisplay * 264u / 1000;
	e[21] = uint8_t((width_mm + 5) / 10); // screen size in cm
	e[22] = uint8_t((height_mm + 5) / 10);
	e[23] = 120;  // gamma 2.2
	e[24] = 0x0a; // RGB colour, the first detailed timing is the preferred mode
	const uint8_t chroma[10] = {0xee, 0x91, 0xa3, 0x54, 0x4c, 0x99, 0x26, 0x0f, 0x50, 0x54};
	memcpy(&e[25], chroma, sizeof chroma);
	for (int i = 38; i < 54; i++)
		e[i] = 0x01; // no standard timings
	uint8_t *t = &e[54];
	const unsigned clock = m.clock / 10, hblank = m.htotal - m.hdisplay;
	const unsigned vblank = m.vtotal - m.vdisplay;
	const unsigned hso = m.hsync_start - m.hdisplay, hsw = m.hsync_end - m.hsync_start;
	const unsigned vso = m.vsync_start - m.vdisplay, vsw = m.vsync_end - m.vsync_start;
	t[0] = uint8_t(clock);
	t[1] = uint8_t(clock >> 8);
	t[2] = uint8_t(m.hdisplay);
	t[3] = uint8_t(hblank);
	t[4] = uint8_t((m.hdisplay >> 8) << 4 | (hblank >> 8 & 0xf));
	t[5] = uint8_t(m.vdisplay);
	t[6] = uint8_t(vblank);
	t[7] = uint8_t((m.vdisplay >> 8) << 4 | (vblank >> 8 & 0xf));
	t[8] = uint8_t(hso);
	t[9] = uint8_t(hsw);
	t[10] = uint8_t((vso & 0xf) << 4 | (vsw & 0xf));
	t[11] = uint8_t((hso >> 8 & 3) << 6 | (hsw >> 8 & 3) << 4 | (vso >> 4 & 3) << 2 |
	                (vsw >> 4 & 3));
	t[12] = uint8_t(width_mm);
	t[13] = uint8_t(height_mm);
	t[14] = uint8_t((width_mm >> 8) << 4 | (height_mm >> 8 & 0xf));
	t[17] = 0x18 | ((m.flags & DRM_MODE_FLAG_PVSYNC) ? 0x04 : 0) |
	        ((m.flags & DRM_MODE_FLAG_PHSYNC) ? 0x02 : 0);
	uint8_t *name = &e[72];
	name[3] = 0xfc;
	memcpy(&name[5], "simkms\n     ", 13);
	for (uint8_t *dummy : {&e[90], &e[108]})
		dummy[3] = 0x10;
	uint8_t sum = 0;
	for (int i = 0; i < 127; i++)
		sum = uint8_t(sum + e[i]);
	e[127] = uint8_t(0x100 - sum);
	return e;
}

void attach_edid(device &d, connector &c)
{
	const mode_def *preferred = nullptr;
	for (const mode_def &m : c.topology_modes)
		if (!preferred || (m.preferred && !preferred->preferred))
			preferred = &m;
	if (!preferred)
		return;
	const std::vector<uint8_t> edid = make_edid(make_modeinfo(*preferred));
	c.edid_blob = create_blob(d, edid.data(), edid.size(), false, -1);
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
		c.type_id = ++type_ids[cs.type];
		c.connected = cs.connected;
		c.topology_modes = cs.modes;
		for (int e : cs.encoders)
			if (e >= 0 && size_t(e) < t.encoders.size())
				c.encoders.push_back(e);
		if (cs.bound_encoder)
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
				if (std::find(p.props.begin(), p.props.end(), prop_in_formats) ==
				    p.props.end())
					continue;
				const std::vector<uint8_t> data = in_formats_blob(p.formats);
				p.in_formats_blob =
				        create_blob(d, data.data(), data.size(), false, -1);
			}
			break;
		case kind::crtcs:
			for (size_t i = 0; i < d.crtcs.size(); i++)
				d.crtcs[i].id = alloc_object_id(d, DRM_MODE_OBJECT_CRTC, int(i));
			break;
		case kind::connectors:
			for (size_t i = 0; i < d.connectors.size(); i++) {
				d.connectors[i].id =
				        alloc_object_id(d, DRM_MODE_OBJECT_CONNECTOR, int(i));
				if (t.connectors[i].edid == connector_def::edid_blob::at_init)
					attach_edid(d, d.connectors[i]);
			}
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

// fbdev emulation's framebuffer: one for all lit CRTCs, as large as the largest of their modes.
// It has no memory behind it: the console is black, and the screen shows black where a
// framebuffer has no GEM object.
uint32_t create_console_fb(device &d, const topology &t)
{
	uint32_t width = 0, height = 0;
	for (size_t i = 0; i < t.crtcs.size(); i++) {
		if (!t.crtcs[i].active || d.crtcs[i].primary < 0)
			continue;
		width = std::max<uint32_t>(width, t.crtcs[i].mode.hdisplay);
		height = std::max<uint32_t>(height, t.crtcs[i].mode.vdisplay);
	}
	if (!width || !height)
		return 0;
	framebuffer fb;
	fb.width = width;
	fb.height = height;
	// drm_fbdev_generic_setup() is given the driver's preferred depth.
	fb.format = t.driver.preferred_depth == 16 ? DRM_FORMAT_RGB565 : DRM_FORMAT_XRGB8888;
	const format_info *info = find_format(fb.format);
	const uint32_t align = t.driver.pitch_align ? t.driver.pitch_align : 1;
	fb.pitches[0] = (width * (info ? info->cpp[0] : 4) + align - 1) / align * align;
	fb.modifier = DRM_FORMAT_MOD_LINEAR;
	fb.owner = -1;
	fb.id = alloc_object_id(d, DRM_MODE_OBJECT_FB, -1);
	d.fbs[fb.id] = fb;
	return fb.id;
}

void show_console(device &d, int crtc_index, uint32_t fb)
{
	const crtc &c = d.crtcs[size_t(crtc_index)];
	if (c.primary < 0)
		return;
	plane_state &ps = d.planes[size_t(c.primary)].state;
	ps = plane_state{};
	ps.crtc = crtc_index;
	ps.fb = fb;
	ps.crtc_w = c.state.mode.hdisplay;
	ps.crtc_h = c.state.mode.vdisplay;
	ps.src_w = uint32_t(c.state.mode.hdisplay) << 16;
	ps.src_h = uint32_t(c.state.mode.vdisplay) << 16;
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
		if (t.connectors[i].edid == connector_def::edid_blob::at_probe)
			attach_edid(d, d.connectors[i]);
	const uint32_t console_fb = t.driver.fbdev ? create_console_fb(d, t) : 0;
	const int64_t now = now_ns();
	// A lit CRTC drives the first connected connector whose encoder can reach it (and, when the
	// topology names the encoder's CRTC, is meant to).
	for (size_t i = 0; i < t.crtcs.size(); i++) {
		if (!t.crtcs[i].active)
			continue;
		crtc &c = d.crtcs[i];
		c.state.mode = make_modeinfo(t.crtcs[i].mode);
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

device &dev_or_die()
{
	// The inspection functions are for tests that installed a card; without one there is
	// nothing sensible to answer, so an empty device stands in.
	static device *empty = new device;
	return g_dev ? *g_dev : *empty;
}

} // namespace

} // namespace sim::kms

namespace sim
{

using namespace kms;

void install(const topology &t)
{
	card_lock lock;
	device *d = new device;
	build(*d, t);
	device *old = g_dev;
	if (old) {
		d->generation = old->generation + 1;
		// Open descriptors stay files of the card with their client capabilities; whatever
		// they held on the old card (handles, framebuffers, blobs, events) is gone with it.
		for (auto &[fd, f] : old->files) {
			reset_file(*d, *f);
			d->files[fd] = std::move(f);
		}
		destroy_device(old);
	}
	g_dev = d;
	__atomic_store_n(&g_card_mappings, 0, __ATOMIC_RELAXED);
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

void set_connected(int connector_index, bool connected, std::vector<mode_def> modes)
{
	card_lock lock;
	device &d = dev_or_die();
	if (connector_index < 0 || size_t(connector_index) >= d.connectors.size())
		return;
	connector &c = d.connectors[connector_index];
	c.connected = connected;
	if (!modes.empty())
		c.topology_modes = std::move(modes);
	// Probing a disconnected connector leaves it without modes; its CRTC binding stays in the
	// atomic state until a commit changes it.
	if (connected)
		set_modes(c, c.topology_modes);
	else
		c.modes.clear();
	// virtio_gpu answers a display change by asking the host again for every output's EDID
	// (virtio_gpu_cmd_get_edids()); each answer replaces the connector's blob with a new one
	// (drm_property_replace_global_blob()), made before the old one is freed.
	for (size_t i = 0; i < d.connectors.size(); i++) {
		if (d.topo.connectors[i].edid != connector_def::edid_blob::at_probe)
			continue;
		connector &out = d.connectors[i];
		const uint32_t old = out.edid_blob;
		out.edid_blob = 0;
		attach_edid(d, out);
		free_blob_if_unused(d, old);
	}
}

void fail_request(std::string_view request, int err, int nth, uint32_t object_id)
{
	card_lock lock;
	device &d = dev_or_die();
	fault f;
	f.request = std::string(request);
	f.err = err;
	f.nth = nth;
	f.object_id = object_id;
	d.faults.push_back(f);
}

void fail_mmap(int err, int nth)
{
	card_lock lock;
	device &d = dev_or_die();
	fault f;
	f.err = err;
	f.nth = nth;
	d.faults.push_back(f);
}

void fail_open(int err)
{
	card_lock lock;
	dev_or_die().open_fault = err;
}

void clear_faults()
{
	card_lock lock;
	device &d = dev_or_die();
	d.faults.clear();
	d.open_fault = 0;
}

uint64_t request_record::field(const std::string &f) const
{
	auto it = fields.find(f);
	return it == fields.end() ? 0 : it->second;
}

std::vector<request_record> requests()
{
	card_lock lock;
	return dev_or_die().requests;
}

std::vector<commit_record> commits()
{
	card_lock lock;
	return dev_or_die().commits;
}

void clear_records()
{
	card_lock lock;
	device &d = dev_or_die();
	d.requests.clear();
	d.commits.clear();
}

live_counts live()
{
	card_lock lock;
	device &d = dev_or_die();
	live_counts n;
	n.files = int(d.files.size());
	n.dumb_buffers = int(d.gems.size());
	n.mappings = int(d.mappings.size());
	for (const auto &[id, fb] : d.fbs)
		if (fb.owner >= 0)
			n.framebuffers++;
	for (const auto &[id, b] : d.blobs)
		if (b.user)
			n.blobs++;
	return n;
}

std::optional<uint64_t> property_value(uint32_t object_id, std::string_view name)
{
	card_lock lock;
	device &d = dev_or_die();
	const object_ref *o = find_object(d, object_id);
	if (!o)
		return std::nullopt;
	const std::vector<int> *props = object_props(d, *o);
	if (!props)
		return std::nullopt;
	for (int p : *props)
		if (d.props[p].name == name)
			return prop_value(d, *o, p);
	return std::nullopt;
}

uint64_t vblank_count(int crtc_index)
{
	card_lock lock;
	device &d = dev_or_die();
	if (crtc_index < 0 || size_t(crtc_index) >= d.crtcs.size())
		return 0;
	return d.crtcs[crtc_index].vblank.count(now_ns());
}

} // namespace sim
