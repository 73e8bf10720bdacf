#include "hotplug/hotplug.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include <drm_fourcc.h>

#include "buffer/bo.h"
#include "display/display.h"
#include "vsync/vsync.h"

namespace
{

constexpr uint32_t k_mode_set_flags = DRM_MODE_ATOMIC_ALLOW_MODESET | DRM_MODE_PAGE_FLIP_EVENT;
constexpr uint32_t k_switch_off_flags = DRM_MODE_ATOMIC_ALLOW_MODESET;

// The mode blob of the last mode set; destroyed once a later mode set has replaced it, so blobs
// do not pile up over many hot-plugs. Used by the thread that runs the handler alone.
uint32_t g_mode_blob = 0;

// Adds one property to the request; the looked-up id goes in as it comes, -1 included.
// True when the property was found and added.
bool set_property(int fd, drmModeAtomicReq *req, uint32_t object_id, uint32_t object_type,
                  const char *name, uint64_t value, bool say = true)
{
	int32_t prop_id = find_property_id(fd, object_id, object_type, name);
	int ret = drmModeAtomicAddProperty(req, object_id, static_cast<uint32_t>(prop_id), value);
	if (say) {
		printf("setMode object[%d] = %d\n", static_cast<int>(object_id),
		       static_cast<int>(value));
		if (ret < 0)
			printf("Failed to add prop[%d] to [%d]", static_cast<int>(value),
			       static_cast<int>(object_id));
	}
	return prop_id >= 0 && ret >= 0;
}

// The black frame a mode set put on a CRTC's primary plane; at most one is kept, and
// release_black_frame is the one way it goes. Used by the thread that runs the handler alone.
bo *g_black = nullptr;

void release_black_frame(bo *&frame)
{
	if (!frame)
		return;
	if (g_black_fb.load() == frame->fb_id)
		g_black_fb.store(0);
	bo_release(frame);
	frame = nullptr;
}

// Black in every one of them when zero-filled; XR24 first, as nearly every plane offers it.
constexpr uint32_t k_black_formats[] = {
        DRM_FORMAT_XRGB8888, DRM_FORMAT_XBGR8888, DRM_FORMAT_RGBX8888, DRM_FORMAT_BGRX8888,
        DRM_FORMAT_ARGB8888, DRM_FORMAT_ABGR8888, DRM_FORMAT_RGBA8888, DRM_FORMAT_BGRA8888,
        DRM_FORMAT_RGB888,   DRM_FORMAT_BGR888,   DRM_FORMAT_RGB565,   DRM_FORMAT_BGR565,
};

uint64_t plane_value(int fd, uint32_t plane_id, const char *name)
{
	props_holder props(drmModeObjectGetProperties(fd, plane_id, DRM_MODE_OBJECT_PLANE));
	for (uint32_t i = 0; props && i < props->count_props; i++) {
		property_holder prop(drmModeGetProperty(fd, props->props[i]));
		if (prop && strcmp(prop->name, name) == 0)
			return props->prop_values[i];
	}
	return 0;
}

// What a refused mode set may lack: a primary plane showing a framebuffer (simple display
// pipes and others refuse an enabled CRTC without one), or planes covering the new mode (where
// planes cannot be positioned the kernel checks them against it). The CRTC's primary plane
// gets a black frame of the mode's size and its other planes are taken off, in a copy of the
// refused request. Null when that cannot help or cannot be built; else the black frame, which
// the caller owns.
bo *add_black_frame(int fd, drmModeAtomicReq *req, const drmModeCrtc *crtc, uint32_t crtc_bit,
                    const drmModeModeInfo &mode)
{
	plane_res_holder planes(drmModeGetPlaneResources(fd));
	if (!planes)
		return nullptr;
	plane_holder primary;
	std::vector<uint32_t> others;
	bool uncovered = false;
	for (uint32_t i = 0; i < planes->count_planes; i++) {
		plane_holder p(drmModeGetPlane(fd, planes->planes[i]));
		if (!p)
			continue;
		bool ours = p->crtc_id == crtc->crtc_id;
		if (ours && p->fb_id != 0 &&
		    (p->crtc_x != 0 || p->crtc_y != 0 ||
		     plane_value(fd, p->plane_id, "CRTC_W") != mode.hdisplay ||
		     plane_value(fd, p->plane_id, "CRTC_H") != mode.vdisplay))
			uncovered = true;
		if (!primary && (p->possible_crtcs & crtc_bit) && (ours || p->crtc_id == 0) &&
		    plane_value(fd, p->plane_id, "type") == DRM_PLANE_TYPE_PRIMARY)
			primary = std::move(p);
		else if (ours)
			others.push_back(p->plane_id);
	}
	if (!primary)
		return nullptr;
	// A lit CRTC whose primary plane is empty runs without one.
	bool needs_primary = primary->fb_id == 0 && !crtc->mode_valid;
	if (!needs_primary && !uncovered)
		return nullptr;
	uint32_t format = 0;
	for (uint32_t f : k_black_formats)
		for (uint32_t i = 0; i < primary->count_formats && !format; i++)
			if (primary->formats[i] == f)
				format = f;
	if (!format)
		return nullptr;
	bo *black = bo_create(fd, format, mode.hdisplay, mode.vdisplay);
	if (!black)
		return nullptr;
	uint32_t handles[4] = {black->handle}, pitches[4] = {uint32_t(black->pitch)},
	         offsets[4] = {};
	if (drmModeAddFB2(fd, black->width, black->height, format, handles, pitches, offsets,
	                  &black->fb_id, 0) != 0) {
		release_black_frame(black);
		return nullptr;
	}
	unmap_buffer(black);
	const std::pair<const char *, uint64_t> steps[] = {
	        {"CRTC_ID", crtc->crtc_id},
	        {"FB_ID", black->fb_id},
	        {"SRC_X", 0},
	        {"SRC_Y", 0},
	        {"SRC_W", uint64_t(mode.hdisplay) << 16},
	        {"SRC_H", uint64_t(mode.vdisplay) << 16},
	        {"CRTC_X", 0},
	        {"CRTC_Y", 0},
	        {"CRTC_W", mode.hdisplay},
	        {"CRTC_H", mode.vdisplay},
	};
	for (auto [name, value] : steps)
		set_property(fd, req, primary->plane_id, DRM_MODE_OBJECT_PLANE, name, value, false);
	for (uint32_t id : others) {
		set_property(fd, req, id, DRM_MODE_OBJECT_PLANE, "FB_ID", 0, false);
		set_property(fd, req, id, DRM_MODE_OBJECT_PLANE, "CRTC_ID", 0, false);
	}
	return black;
}

// Whether some plane shows `fb_id`.
bool shown(int fd, uint32_t fb_id)
{
	plane_res_holder planes(drmModeGetPlaneResources(fd));
	for (uint32_t i = 0; planes && i < planes->count_planes; i++) {
		plane_holder p(drmModeGetPlane(fd, planes->planes[i]));
		if (p && p->fb_id == fb_id)
			return true;
	}
	return false;
}

uint32_t create_mode_blob(int fd, const drmModeModeInfo &mode)
{
	drm_mode_create_blob req{};
	req.data = reinterpret_cast<uintptr_t>(&mode);
	req.length = sizeof(drmModeModeInfo);
	return drmIoctl(fd, DRM_IOCTL_MODE_CREATEPROPBLOB, &req) == 0 ? req.blob_id : 0;
}

int count_monitors(int fd, const drmModeRes *res)
{
	int count = 0;
	for (int i = 0; i < res->count_connectors; i++) {
		connector_holder conn(drmModeGetConnector(fd, res->connectors[i]));
		if (conn && conn->connection == DRM_MODE_CONNECTED && conn->count_modes > 0)
			count++;
	}
	return count;
}

// The index of the CRTC for `conn`: the card's first when its encoders can drive it (or say
// nothing), else the first one they can drive; the kernel refuses any other.
int choose_crtc(int fd, const drmModeRes *res, const drmModeConnector *conn)
{
	uint32_t possible = 0;
	for (int i = 0; i < conn->count_encoders; i++) {
		encoder_holder enc(drmModeGetEncoder(fd, conn->encoders[i]));
		if (enc)
			possible |= enc->possible_crtcs;
	}
	for (int i = 1; i < res->count_crtcs && i < 32 && !(possible & 1u); i++)
		if (possible & (1u << i))
			return i;
	return 0;
}

// The CRTC the connector is bound to now, 0 for none.
uint32_t current_crtc(int fd, uint32_t connector_id)
{
	props_holder props(drmModeObjectGetProperties(fd, connector_id, DRM_MODE_OBJECT_CONNECTOR));
	for (uint32_t i = 0; props && i < props->count_props; i++) {
		property_holder prop(drmModeGetProperty(fd, props->props[i]));
		if (prop && strcmp(prop->name, "CRTC_ID") == 0)
			return static_cast<uint32_t>(props->prop_values[i]);
	}
	return 0;
}

// Whether a connector other than `conn` is bound to the CRTC: a clone.
bool drives_another(int fd, const drmModeRes *res, uint32_t conn, uint32_t crtc_id)
{
	for (int i = 0; i < res->count_connectors; i++)
		if (res->connectors[i] != conn && current_crtc(fd, res->connectors[i]) == crtc_id)
			return true;
	return false;
}

// A CRTC that keeps its mode after losing its only connector makes the kernel refuse the whole
// request, so the CRTC the connector leaves is switched off in it, with its planes.
void switch_off_crtc(int fd, drmModeAtomicReq *req, uint32_t crtc_id)
{
	set_property(fd, req, crtc_id, DRM_MODE_OBJECT_CRTC, "MODE_ID", 0);
	set_property(fd, req, crtc_id, DRM_MODE_OBJECT_CRTC, "ACTIVE", 0);
	plane_res_holder planes(drmModeGetPlaneResources(fd));
	for (uint32_t i = 0; planes && i < planes->count_planes; i++) {
		plane_holder plane(drmModeGetPlane(fd, planes->planes[i]));
		if (!plane || plane->crtc_id != crtc_id)
			continue;
		set_property(fd, req, plane->plane_id, DRM_MODE_OBJECT_PLANE, "FB_ID", 0);
		set_property(fd, req, plane->plane_id, DRM_MODE_OBJECT_PLANE, "CRTC_ID", 0);
	}
}

// Gives `conn` the mode on the CRTC its encoders can drive, the card's first where they can;
// false when the request cannot be built.
bool set_mode(int fd, const drmModeRes *res, const drmModeConnector *conn,
              const drmModeModeInfo &mode)
{
	if (res->count_crtcs < 1) {
		printf("hotplug: the card has no CRTC\n");
		return false;
	}
	const int index = choose_crtc(fd, res, conn);
	crtc_holder crtc(drmModeGetCrtc(fd, res->crtcs[index]));
	if (!crtc) {
		printf("hotplug: couldn't get crtc %u\n", res->crtcs[index]);
		return false;
	}
	atomic_holder req(drmModeAtomicAlloc());
	if (!req) {
		printf("hotplug: couldn't allocate an atomic request\n");
		return false;
	}
	uint32_t blob_id = create_mode_blob(fd, mode);
	bool complete = set_property(fd, req.get(), conn->connector_id, DRM_MODE_OBJECT_CONNECTOR,
	                             "CRTC_ID", crtc->crtc_id);
	complete &= set_property(fd, req.get(), crtc->crtc_id, DRM_MODE_OBJECT_CRTC, "MODE_ID",
	                         blob_id);
	complete &= set_property(fd, req.get(), crtc->crtc_id, DRM_MODE_OBJECT_CRTC, "ACTIVE", 1);
	// A CRTC that still drives a clone stays lit: switched off, it would keep that connector,
	// which the kernel refuses.
	uint32_t lit_on = current_crtc(fd, conn->connector_id);
	if (lit_on != 0 && lit_on != crtc->crtc_id &&
	    !drives_another(fd, res, conn->connector_id, lit_on))
		switch_off_crtc(fd, req.get(), lit_on);
	atomic_holder with_black(drmModeAtomicDuplicate(req.get()));
	bool committed = drmModeAtomicCommit(fd, req.get(), k_mode_set_flags, nullptr) == 0;
	int err = errno;

	// Only a request that is whole can be helped by a black frame.
	bo *black = nullptr;
	if (!committed && complete && blob_id != 0 && with_black)
		black = add_black_frame(fd, with_black.get(), crtc.get(), 1u << index, mode);
	if (black) {
		committed =
		        drmModeAtomicCommit(fd, with_black.get(), k_mode_set_flags, nullptr) == 0;
		err = errno;
		if (committed) {
			std::swap(black, g_black);
			g_black_fb.store(g_black->fb_id);
		}
		release_black_frame(black);
	} else if (g_black && !shown(fd, g_black->fb_id)) {
		release_black_frame(g_black);
	}
	// Standard output keeps the handler's lines as they always were; the kernel's reason for a
	// refusal goes to standard error.
	if (!committed)
		fprintf(stderr, "hotplug: mode set refused: %s\n", strerror(err));

	// The kernel keeps a blob alive while a CRTC state uses it, so the replaced one can go.
	uint32_t unused = committed ? g_mode_blob : blob_id;
	if (committed)
		g_mode_blob = blob_id;
	if (unused != 0)
		drmModeDestroyPropertyBlob(fd, unused);

	req.reset();
	crtc.reset();
	return true;
}

// The kernel refuses to switch a CRTC off while a plane still shows a framebuffer on it (the
// animation's last frame always does), so the planes that are on a CRTC leave it in the same
// request. A plane left showing the old frame would also keep the worker from playing again
// after the next mode set.
void detach_planes(int fd, drmModeAtomicReq *req, bool say)
{
	plane_res_holder planes(drmModeGetPlaneResources(fd));
	if (!planes)
		return;
	// The planes are read first, then taken off, in the order of the list.
	std::vector<uint32_t> lit;
	for (uint32_t i = 0; i < planes->count_planes; i++) {
		plane_holder plane(drmModeGetPlane(fd, planes->planes[i]));
		if (plane && (plane->crtc_id != 0 || plane->fb_id != 0))
			lit.push_back(plane->plane_id);
	}
	for (uint32_t id : lit) {
		set_property(fd, req, id, DRM_MODE_OBJECT_PLANE, "FB_ID", 0, say);
		set_property(fd, req, id, DRM_MODE_OBJECT_PLANE, "CRTC_ID", 0, say);
	}
}

// The worker has been disabled.
void switch_off(int fd, const drmModeRes *res)
{
	atomic_holder req(drmModeAtomicAlloc());
	if (!req) {
		printf("hotplug: couldn't allocate an atomic request\n");
		return;
	}
	for (int i = 0; i < res->count_connectors; i++) {
		connector_holder conn(drmModeGetConnector(fd, res->connectors[i]));
		if (conn && conn->connection != DRM_MODE_CONNECTED)
			set_property(fd, req.get(), conn->connector_id, DRM_MODE_OBJECT_CONNECTOR,
			             "CRTC_ID", 0);
	}
	printf("g_drm_encoder = NULL *************\n");
	for (int i = 0; i < res->count_crtcs; i++) {
		set_property(fd, req.get(), res->crtcs[i], DRM_MODE_OBJECT_CRTC, "MODE_ID", 0);
		set_property(fd, req.get(), res->crtcs[i], DRM_MODE_OBJECT_CRTC, "ACTIVE", 0);
	}
	// A frame the player commits between the plane reading and the commit leaves a plane on a
	// CRTC being switched off, which the kernel refuses (EINVAL): the planes are read again.
	// The player goes on committing frames meanwhile, so the race may come more than once
	// (a slow machine); a few readings always end it.
	atomic_holder crtcs_off(drmModeAtomicDuplicate(req.get()));
	detach_planes(fd, req.get(), true);
	int ret = drmModeAtomicCommit(fd, req.get(), k_switch_off_flags, nullptr);
	for (int reread = 0; ret != 0 && errno == EINVAL && crtcs_off && reread < 4; reread++) {
		atomic_holder again(drmModeAtomicDuplicate(crtcs_off.get()));
		if (!again)
			break;
		detach_planes(fd, again.get(), false);
		ret = drmModeAtomicCommit(fd, again.get(), k_switch_off_flags, nullptr);
	}
	if (ret != 0)
		fprintf(stderr, "hotplug: switch-off refused: %s\n", strerror(errno));
	release_black_frame(g_black);
}

// The connector's preferred mode, else its first.
const drmModeModeInfo &preferred_mode(const drmModeConnector *conn)
{
	for (int m = 0; m < conn->count_modes; m++)
		if (conn->modes[m].type & DRM_MODE_TYPE_PREFERRED)
			return conn->modes[m];
	return conn->modes[0];
}

bool crtc_active(int fd, uint32_t crtc_id)
{
	props_holder props(drmModeObjectGetProperties(fd, crtc_id, DRM_MODE_OBJECT_CRTC));
	for (uint32_t i = 0; props && i < props->count_props; i++) {
		property_holder prop(drmModeGetProperty(fd, props->props[i]));
		if (prop && strcmp(prop->name, "ACTIVE") == 0)
			return props->prop_values[i] != 0;
	}
	return false;
}

bool any_crtc_active(int fd, const drmModeRes *res)
{
	for (int i = 0; i < res->count_crtcs; i++)
		if (crtc_active(fd, res->crtcs[i]))
			return true;
	return false;
}

// An output nothing has lit (no console, or a panel that is never hot-plugged) gets its
// preferred mode, as a newly plugged monitor would.
void light(int fd, const drmModeRes *res, int index, const drmModeConnector *conn)
{
	const drmModeModeInfo &mode = preferred_mode(conn);
	printf("bootanim: no CRTC drives connector %d: setting its mode %ux%u@%u\n", index,
	       mode.hdisplay, mode.vdisplay, mode.vrefresh);
	if (set_mode(fd, res, conn, mode))
		drm_redetect_display(fd);
}

} // namespace

bool light_dark_display(int fd)
{
	auto res = g_drm_mode_res.get();
	auto conn = g_drm_connector.get();
	if (!res || !conn || conn->connection != DRM_MODE_CONNECTED || conn->count_modes <= 0)
		return false;
	// The kernel binds an encoder to a CRTC only while that CRTC is enabled, so a bound one
	// tells without asking the card again.
	auto enc = g_drm_encoder.get();
	if (enc && enc->crtc_id != 0)
		return false;
	int index = 0;
	while (index < res->count_connectors && res->connectors[index] != conn->connector_id)
		index++;
	light(fd, res.get(), index, conn.get());
	return true;
}

std::atomic<bool> g_hotplug_stopped{false};

void handle_hotplug(int fd)
{
	if (g_hotplug_stopped.load())
		return;
	auto res = g_drm_mode_res.get();
	if (!res) {
		printf("hotplug: no display resources, nothing to set\n");
		return;
	}
	int monitor_index = count_monitors(fd, res.get());
	printf("hotplug: remove connector monitor_index=%d\n", monitor_index);
	if (monitor_index == 0) {
		vsync_control(0);
		// The resources were read at start; a connector added since (a panel whose driver
		// bound late, with a uevent that does not name it) is only seen in a fresh reading.
		if (drm_reload_resources(fd)) {
			res = g_drm_mode_res.get();
			monitor_index = count_monitors(fd, res.get());
		}
		if (monitor_index == 0) {
			switch_off(fd, res.get());
			return;
		}
	}

	bool hdmi = false;
	for (int i = 0; i < res->count_connectors && !hdmi; i++) {
		connector_holder conn(drmModeGetConnector(fd, res->connectors[i]));
		if (!conn || conn->connection != DRM_MODE_CONNECTED || conn->count_modes <= 0 ||
		    conn->connector_type != DRM_MODE_CONNECTOR_HDMIA)
			continue;
		hdmi = true;
		const drmModeModeInfo &mode = modeid >= 0 && modeid < conn->count_modes
		                                      ? conn->modes[modeid]
		                                      : conn->modes[0];
		if (set_mode(fd, res.get(), conn.get(), mode)) {
			drm_redetect_display(fd);
			printf("[DRM]: HDMI Connector %d assigned to monitor index: #%u.\n", i,
			       static_cast<unsigned>(monitor_index + 1));
		}
	}
	// Without an HDMI monitor a lit output keeps what it shows; with none lit, the first
	// connected output would otherwise stay dark while the worker plays into nothing. The
	// mode-set run sets the HDMI monitor's mode and nothing else.
	if (!hdmi && modeid <= 0 && !any_crtc_active(fd, res.get())) {
		for (int i = 0; i < res->count_connectors; i++) {
			connector_holder conn(drmModeGetConnector(fd, res->connectors[i]));
			if (conn && conn->connection == DRM_MODE_CONNECTED &&
			    conn->count_modes > 0) {
				light(fd, res.get(), i, conn.get());
				break;
			}
		}
	}
	vsync_control(1);
}
