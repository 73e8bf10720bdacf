// fbdev emulation's console: its framebuffer, how it is shown at start and restored on the
// last close.
#include <algorithm>
#include <cstring>

#include "sim/card.h"

namespace sim::kms
{

namespace
{

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
	const uint32_t damage = ps.damage_blob;
	ps = plane_state{};
	blob_unref_state(d, damage);
	ps.crtc = crtc_index;
	ps.fb = fb;
	ps.crtc_w = c.state.mode.hdisplay;
	ps.crtc_h = c.state.mode.vdisplay;
	ps.src_w = uint32_t(c.state.mode.hdisplay) << 16;
	ps.src_h = uint32_t(c.state.mode.vdisplay) << 16;
}

// drm_client_pick_crtcs() and drm_client_modeset_probe(): each connected connector, in order,
// gets the lowest-index CRTC its encoder can drive that no earlier connector took, lit with the
// connector's preferred mode (or its first). The topology comes back with those CRTCs active.
topology pick_console_crtcs(const device &d, const topology &t)
{
	topology lit = t;
	for (crtc_def &c : lit.crtcs)
		c.active = false;
	for (size_t k = 0; k < d.connectors.size(); k++) {
		const connector &con = d.connectors[k];
		const std::vector<mode_def> &modes = con.topology_modes;
		// drm_client_for_each_connector_iter() skips writeback connectors.
		if (!con.connected || con.state.encoder < 0 || modes.empty() ||
		    con.type == DRM_MODE_CONNECTOR_WRITEBACK)
			continue;
		const mode_def *chosen = &modes.front();
		for (const mode_def &m : modes)
			if (m.preferred && !chosen->preferred)
				chosen = &m;
		const uint32_t possible = d.encoders[con.state.encoder].possible_crtcs;
		for (size_t i = 0; i < lit.crtcs.size(); i++) {
			if (lit.crtcs[i].active || !(possible & (1u << i)))
				continue;
			lit.crtcs[i].active = true;
			lit.crtcs[i].mode = *chosen;
			break;
		}
	}
	return lit;
}

} // namespace sim::kms
