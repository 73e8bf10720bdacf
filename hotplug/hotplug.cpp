#include "hotplug/hotplug.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

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
void set_property(int fd, drmModeAtomicReq *req, uint32_t object_id, uint32_t object_type,
                  const char *name, uint64_t value, bool say = true)
{
	int32_t prop_id = find_property_id(fd, object_id, object_type, name);
	int ret = drmModeAtomicAddProperty(req, object_id, static_cast<uint32_t>(prop_id), value);
	if (!say)
		return;
	printf("setMode object[%d] = %d\n", static_cast<int>(object_id), static_cast<int>(value));
	if (ret < 0)
		printf("Failed to add prop[%d] to [%d]", static_cast<int>(value),
		       static_cast<int>(object_id));
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
uint32_t current_crtc(int fd, const drmModeConnector *conn)
{
	props_holder props(
	        drmModeObjectGetProperties(fd, conn->connector_id, DRM_MODE_OBJECT_CONNECTOR));
	for (uint32_t i = 0; props && i < props->count_props; i++) {
		property_holder prop(drmModeGetProperty(fd, props->props[i]));
		if (prop && strcmp(prop->name, "CRTC_ID") == 0)
			return static_cast<uint32_t>(props->prop_values[i]);
	}
	return 0;
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

// Gives `conn` its mode on the CRTC its encoders can drive, the card's first where they can;
// false when the request cannot be built.
bool set_mode(int fd, const drmModeRes *res, const drmModeConnector *conn)
{
	const drmModeModeInfo &mode =
	        modeid >= 0 && modeid < conn->count_modes ? conn->modes[modeid] : conn->modes[0];
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
	set_property(fd, req.get(), conn->connector_id, DRM_MODE_OBJECT_CONNECTOR, "CRTC_ID",
	             crtc->crtc_id);
	set_property(fd, req.get(), crtc->crtc_id, DRM_MODE_OBJECT_CRTC, "MODE_ID", blob_id);
	set_property(fd, req.get(), crtc->crtc_id, DRM_MODE_OBJECT_CRTC, "ACTIVE", 1);
	uint32_t lit_on = current_crtc(fd, conn);
	if (lit_on != 0 && lit_on != crtc->crtc_id)
		switch_off_crtc(fd, req.get(), lit_on);
	bool committed = drmModeAtomicCommit(fd, req.get(), k_mode_set_flags, nullptr) == 0;
	// Standard output keeps the handler's lines as they always were; the kernel's reason for a
	// refusal goes to standard error.
	if (!committed)
		fprintf(stderr, "hotplug: mode set refused: %s\n", strerror(errno));

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

void switch_off(int fd, const drmModeRes *res)
{
	vsync_control(0);
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
	// CRTC being switched off, which the kernel refuses: the planes are read again, once.
	atomic_holder crtcs_off(drmModeAtomicDuplicate(req.get()));
	detach_planes(fd, req.get(), true);
	int ret = drmModeAtomicCommit(fd, req.get(), k_switch_off_flags, nullptr);
	if (ret != 0 && crtcs_off) {
		detach_planes(fd, crtcs_off.get(), false);
		ret = drmModeAtomicCommit(fd, crtcs_off.get(), k_switch_off_flags, nullptr);
	}
	if (ret != 0)
		fprintf(stderr, "hotplug: switch-off refused: %s\n", strerror(errno));
}

} // namespace

void handle_hotplug(int fd)
{
	auto res = g_drm_mode_res.get();
	if (!res) {
		printf("hotplug: no display resources, nothing to set\n");
		return;
	}
	int monitor_index = count_monitors(fd, res.get());
	printf("hotplug: remove connector monitor_index=%d\n", monitor_index);
	if (monitor_index == 0) {
		switch_off(fd, res.get());
		return;
	}

	for (int i = 0; i < res->count_connectors; i++) {
		connector_holder conn(drmModeGetConnector(fd, res->connectors[i]));
		if (!conn || conn->connection != DRM_MODE_CONNECTED || conn->count_modes <= 0 ||
		    conn->connector_type != DRM_MODE_CONNECTOR_HDMIA)
			continue;
		if (set_mode(fd, res.get(), conn.get())) {
			drm_redetect_display(fd);
			printf("[DRM]: HDMI Connector %d assigned to monitor index: #%u.\n", i,
			       static_cast<unsigned>(monitor_index + 1));
		}
		break;
	}
	vsync_control(1);
}
