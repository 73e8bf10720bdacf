// Puts the display subsystem back to its process-start state on a freshly installed virtual card.
#pragma once

#include <string>
#include <unistd.h>
#include <vector>

#include <drm_fourcc.h>

#include "animation/player.h"
#include "buffer/bo.h"
#include "display/display.h"
#include "sim/sim.h"
#include "tests/support/capture.h"

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

// Opens the card into `fd` and discovers the display as the entry does, quietly; false from the
// first step that fails.
inline bool open_and_discover(int *fd)
{
	*fd = open_atomic_card();
	output_capture quiet;
	return drm_load_resources(*fd) && drm_get_connector(*fd) && drm_find_encoder(*fd);
}

// A mode of w x h, at 60 Hz unless told otherwise.
inline sim::mode_def test_mode(uint16_t w, uint16_t h, bool preferred = true, uint32_t hz = 60)
{
	return {.hdisplay = w, .vdisplay = h, .vrefresh = hz, .preferred = preferred};
}

// A plane of `type` offering `formats` that can reach the CRTCs of the mask.
inline sim::plane_def test_plane(uint32_t type, std::vector<uint32_t> formats, uint32_t crtcs = 0x1)
{
	return {.type = type, .possible_crtcs = crtcs, .formats = std::move(formats)};
}

// One HDMI monitor offering `modes`, bound to the only encoder, whose CRTC is lit with the first
// mode as at boot; `planes` can all reach that CRTC.
inline sim::topology lit_hdmi_card(std::vector<sim::mode_def> modes,
                                   std::vector<sim::plane_def> planes)
{
	sim::topology t;
	t.crtcs = {{.active = true, .mode = modes.at(0)}};
	t.connectors = {{.modes = std::move(modes), .encoders = {0}, .bound_encoder = 0}};
	t.encoders = {sim::encoder_def{}};
	t.planes = std::move(planes);
	return t;
}

// The player's card: a 64x48 HDMI monitor, an RG24 primary plane and an XR24 overlay.
inline sim::topology player_card()
{
	return lit_hdmi_card(
	        {test_mode(64, 48)},
	        {test_plane(DRM_PLANE_TYPE_PRIMARY, {DRM_FORMAT_XRGB8888, DRM_FORMAT_RGB888}),
	         test_plane(DRM_PLANE_TYPE_OVERLAY, {DRM_FORMAT_XRGB8888})});
}

// The card's requests named `name`, in order.
inline std::vector<sim::request_record> requests_named(const std::string &name)
{
	std::vector<sim::request_record> out;
	for (const auto &r : sim::requests())
		if (r.name == name)
			out.push_back(r);
	return out;
}

// A mapped dumb buffer with a framebuffer, as the player registers a frame; null on failure.
inline bo *registered_bo(int fd, uint32_t format, uint32_t w, uint32_t h)
{
	bo *b = bo_create(fd, format, w, h);
	if (!b)
		return nullptr;
	uint32_t handles[4] = {b->handle}, pitches[4] = {uint32_t(b->pitch)}, offsets[4] = {};
	if (drmModeAddFB2(fd, w, h, format, handles, pitches, offsets, &b->fb_id, 0) != 0) {
		bo_release(b);
		return nullptr;
	}
	return b;
}

// Releases every buffer left in the player's ring and empties its slots, as at process start.
inline void empty_ring()
{
	for (auto &slot : mSfJpegBufInfo) {
		if (slot.mBuf)
			bo_release(slot.mBuf);
		slot = SfJpegBufInfo{};
	}
}
