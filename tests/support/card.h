// Puts the display subsystem back to its process-start state on a freshly installed virtual card.
#pragma once

#include <unistd.h>

#include "display/display.h"
#include "sim/sim.h"

// Installs `t` and forgets every display value, closing the card descriptor, so the next
// drm_open_card opens a new DRM file as a fresh process would.
inline void install_card(const sim::topology &t)
{
	drm_release_display();
	int fd = g_drm_fd.exchange(0);
	if (fd > 0)
		close(fd);
	sim::install(t);
	sim::clear_faults();
	sim::clear_records();
}

// Opens the card with universal planes and atomic, as the entry does.
inline int open_atomic_card()
{
	int fd = drm_open_card();
	drmSetClientCap(fd, DRM_CLIENT_CAP_UNIVERSAL_PLANES, 1);
	drmSetClientCap(fd, DRM_CLIENT_CAP_ATOMIC, 1);
	return fd;
}

// A mode of w x h at 60 Hz.
inline sim::mode_def test_mode(uint16_t w, uint16_t h, bool preferred = true)
{
	sim::mode_def m;
	m.hdisplay = w;
	m.vdisplay = h;
	m.preferred = preferred;
	return m;
}

inline sim::plane_def test_plane(uint32_t type, std::vector<uint32_t> formats)
{
	sim::plane_def p;
	p.type = type;
	p.formats = std::move(formats);
	return p;
}

// One HDMI monitor offering `modes`, bound to the only encoder, whose CRTC is lit with the first
// mode as at boot; `planes` can all reach that CRTC.
inline sim::topology lit_hdmi_card(std::vector<sim::mode_def> modes,
                                   std::vector<sim::plane_def> planes)
{
	sim::topology t;
	sim::connector_def c;
	c.type = DRM_MODE_CONNECTOR_HDMIA;
	c.modes = std::move(modes);
	c.encoders = {0};
	c.bound_encoder = 0;
	t.crtcs = {sim::crtc_def{}};
	t.crtcs[0].active = true;
	t.crtcs[0].mode = c.modes.at(0);
	t.connectors = {c};
	t.encoders = {sim::encoder_def{}};
	t.planes = std::move(planes);
	return t;
}
