// The process-wide view of the display: the card's descriptor, its mode resources, the chosen
// connector and encoder, and the lookups the other subsystems share.
#pragma once

#include <atomic>
#include <cstdint>

#include "display/drm_holder.h"
#include "display/shared_record.h"

// Descriptor of the display's card (/dev/dri/card0, or the card drm_use_display_card found); 0 or
// less while the card is not open.
extern std::atomic<int> g_drm_fd;

// Fetched once at start-up. Readers on any thread take a counted reference with get().
extern shared_record<drmModeRes, drmModeFreeResources> g_drm_mode_res;
// Chosen again after every hot-plug mode set; readers take a counted reference with get().
extern shared_record<drmModeConnector, drmModeFreeConnector> g_drm_connector;
extern shared_record<drmModeEncoder, drmModeFreeEncoder> g_drm_encoder;

// The mode index from the command line (0 without one); set by the entry before any thread
// starts, read by the hot-plug handler.
extern int32_t modeid;

// Opens /dev/dri/card0 read-write unless it is open already; returns g_drm_fd (negative when the
// open failed, and then retried at the next call).
int drm_open_card();

// Fetches the card's mode resources into g_drm_mode_res, and notes the framebuffers that planes
// show at that moment, before this process has committed anything (the kernel's console), and
// which CRTCs the planes offering RG24 and XR24 may be on.
bool drm_load_resources(int fd);

// Reads the card's resources again and replaces g_drm_mode_res when its connector list changed (a
// panel whose driver bound late adds its connector), saying so in one line. True when replaced.
bool drm_reload_resources(int fd);

// Whether g_drm_mode_res lists the connector (true when there are no resources to ask).
bool drm_knows_connector(uint32_t connector_id);

// Where the card that was opened first has no mode setting (a GPU's render-only driver that
// registered before the display's), makes the first /dev/dri/cardN (N from 1) that has CRTCs
// (and connectors, with `need_connector`) the card of the process: its descriptor replaces
// g_drm_fd, already switched to universal planes and atomic, and one line names it. With
// `wait`, waits up to 10 s for such a card to appear (inotify on /dev/dri) and says so when none
// did. The new descriptor, or -1 with g_drm_fd unchanged.
int drm_use_display_card(bool wait, bool need_connector);

// The possible_crtcs bits, OR-ed over the planes that offer `format` (RG24 or XR24; 0 for any
// other), as drm_load_resources read them.
uint32_t drm_format_crtcs(uint32_t format);

// Whether `fb_id` is one of the framebuffers noted by drm_load_resources.
bool drm_is_console_fb(uint32_t fb_id);

// The framebuffer of the black frame the hot-plug handler keeps on a CRTC's primary plane, 0
// for none: the player's own, not another client's.
extern std::atomic<uint32_t> g_black_fb;

// Set by drm_load_resources when it noted a console framebuffer; the frame presentation clears
// it once a frame is shown, having taken the console off where it would cover the frames.
extern std::atomic<bool> g_console_may_cover;

// Chooses g_drm_connector (an HDMI-A monitor first, else the first connected output with modes)
// and lists its modes.
bool drm_get_connector(int fd);

// Chooses g_drm_encoder: the encoder bound to the chosen connector.
bool drm_find_encoder(int fd);

// Chooses connector and encoder again, after a hot-plug mode set.
void drm_redetect_display(int fd);

// The CRTC's bit in possible_crtcs, its index in the card's list; 0 when the card has no such
// CRTC among its first 32.
uint32_t drm_crtc_bit(const drmModeRes *res, uint32_t crtc_id);

// The CRTC that drives the chosen encoder, or null; `pipe` gets its index in the card's list.
crtc_holder get_encoder_crtc(int fd, uint32_t *pipe);

// The id of the object's property called `name`, or -1.
int32_t find_property_id(int fd, uint32_t object_id, uint32_t object_type, const char *name);

// Lets go of encoder, connector and resources, in that order.
void drm_release_display();
