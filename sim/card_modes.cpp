// Display modes: modeinfo timings, the kernel's sort order, EDID blobs, and hot-plug.
#include <algorithm>
#include <cstring>

#include "sim/card.h"

namespace sim::kms
{

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
	if (m.no_blanking) {
		mi.hsync_start = mi.hsync_end = mi.htotal = uint16_t(h);
		mi.vsync_start = mi.vsync_end = mi.vtotal = uint16_t(v);
		mi.flags = 0;
	}
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

namespace
{

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

} // namespace

void set_modes(connector &c, const std::vector<mode_def> &specs)
{
	c.modes.clear();
	for (const mode_def &m : specs)
		c.modes.push_back(make_modeinfo(m));
	sort_modes(c.modes);
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

} // namespace sim::kms

namespace sim
{

using namespace kms;

void set_connected(int connector_index, bool connected, std::vector<mode_def> modes)
{
	card_lock lock;
	device &d = dev_or_die();
	if (connector_index < 0 || size_t(connector_index) >= d.connectors.size())
		return;
	connector &c = d.connectors[connector_index];
	// A late connector joins the card when its panel driver binds; it then stays.
	if (!c.added && !connected)
		return;
	if (!modes.empty())
		c.topology_modes = std::move(modes);
	if (!c.added)
		register_connector(d, connector_index);
	c.connected = connected;
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
		if (d.topo.connectors[i].edid != connector_def::edid_blob::at_probe ||
		    !d.connectors[i].added)
			continue;
		connector &out = d.connectors[i];
		const uint32_t old = out.edid_blob;
		out.edid_blob = 0;
		attach_edid(d, out);
		free_blob_if_unused(d, old);
	}
}

} // namespace sim
