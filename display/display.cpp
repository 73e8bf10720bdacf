#include "display/display.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>
#include <vector>

#include <drm_fourcc.h>

std::atomic<int> g_drm_fd{0};
shared_record<drmModeRes, drmModeFreeResources> g_drm_mode_res;
shared_record<drmModeConnector, drmModeFreeConnector> g_drm_connector;
shared_record<drmModeEncoder, drmModeFreeEncoder> g_drm_encoder;
int32_t modeid = 0;
std::atomic<bool> g_console_may_cover{false};
std::atomic<uint32_t> g_black_fb{0};

namespace
{

constexpr const char *k_card_path = "/dev/dri/card0";

// Several threads may ask for the card while it is not open yet; only one of them opens it.
std::mutex g_open_lock;

// The console's framebuffers, noted at start-up.
std::mutex g_console_lock;
std::vector<uint32_t> g_console_fbs;

// The CRTCs on which some plane offers RG24, and XR24: a card's planes and their formats never
// change, so the start-up walk of the plane list tells the player for the whole process.
std::atomic<uint32_t> g_rg24_crtcs{0}, g_xr24_crtcs{0};

constexpr const char *k_dri_dir = "/dev/dri";
constexpr int k_max_cards = 64; // the kernel's primary minors
constexpr int k_card_wait_ms = 10000;
constexpr int64_t k_retry_ms = 50;

bool offers(const drmModePlane &plane, uint32_t format)
{
	return std::find(plane.formats, plane.formats + plane.count_formats, format) !=
	       plane.formats + plane.count_formats;
}

void note_planes(int fd)
{
	std::vector<uint32_t> fbs;
	uint32_t rg24 = 0, xr24 = 0;
	plane_res_holder planes(drmModeGetPlaneResources(fd));
	for (uint32_t i = 0; planes && i < planes->count_planes; i++) {
		plane_holder plane(drmModeGetPlane(fd, planes->planes[i]));
		if (!plane)
			continue;
		if (plane->fb_id != 0)
			fbs.push_back(plane->fb_id);
		if (offers(*plane, DRM_FORMAT_RGB888))
			rg24 |= plane->possible_crtcs;
		if (offers(*plane, DRM_FORMAT_XRGB8888))
			xr24 |= plane->possible_crtcs;
	}
	g_rg24_crtcs.store(rg24);
	g_xr24_crtcs.store(xr24);
	g_console_may_cover.store(!fbs.empty());
	std::lock_guard lock(g_console_lock);
	g_console_fbs = std::move(fbs);
}

bool same_ids(const uint32_t *a, int na, const uint32_t *b, int nb)
{
	return na == nb && (na == 0 || std::equal(a, a + na, b));
}

// Switches the descriptor to the universal-plane and atomic interfaces and reads its resources:
// null where the card has no mode setting (a render-only driver refuses the atomic cap with
// EOPNOTSUPP) or nothing to show on.
res_holder display_resources(int fd, bool need_connector)
{
	if (drmSetClientCap(fd, DRM_CLIENT_CAP_UNIVERSAL_PLANES, 1) != 0 ||
	    drmSetClientCap(fd, DRM_CLIENT_CAP_ATOMIC, 1) != 0)
		return nullptr;
	res_holder res(drmModeGetResources(fd));
	if (!res || res->count_crtcs < 1 || (need_connector && res->count_connectors < 1))
		return nullptr;
	return res;
}

// The first /dev/dri/cardN (N from 1) that can show something, opened, else -1 with `pending`
// set when some such node exists but could not be used.
int open_display_card(bool need_connector, int *number, bool *pending = nullptr)
{
	for (int n = 1; n < k_max_cards; n++) {
		char path[32];
		snprintf(path, sizeof path, "%s/card%d", k_dri_dir, n);
		int fd = open(path, O_RDWR);
		if (pending && (fd >= 0 || errno != ENOENT))
			*pending = true;
		if (fd < 0)
			continue;
		if (display_resources(fd, need_connector)) {
			*number = n;
			return fd;
		}
		close(fd);
	}
	return -1;
}

// Watches /dev/dri for new nodes (and /dev for /dev/dri itself, before any card exists); a
// node's permissions may come a moment after it, from udev. -1 when inotify is unavailable.
int watch_dri(int *dri_watch)
{
	int in = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
	if (in < 0)
		return -1;
	*dri_watch = inotify_add_watch(in, k_dri_dir, IN_CREATE | IN_ATTRIB | IN_MOVED_TO);
	if (*dri_watch < 0)
		inotify_add_watch(in, "/dev", IN_CREATE | IN_MOVED_TO | IN_ONLYDIR);
	return in;
}

} // namespace

int drm_open_card()
{
	int fd = g_drm_fd.load();
	if (fd > 0)
		return fd;
	std::lock_guard lock(g_open_lock);
	fd = g_drm_fd.load();
	if (fd <= 0) {
		fd = open(k_card_path, O_RDWR);
		g_drm_fd.store(fd);
	}
	return fd;
}

bool drm_load_resources(int fd)
{
	g_drm_mode_res.reset(drmModeGetResources(fd));
	if (!g_drm_mode_res) {
		const int err = errno; // the kernel's reason, for the caller
		printf("[DRM]: Couldn't get device resources.");
		errno = err;
		return false;
	}
	note_planes(fd);
	return true;
}

bool drm_reload_resources(int fd)
{
	res_holder fresh(drmModeGetResources(fd));
	auto res = g_drm_mode_res.get();
	if (!fresh || !res)
		return false;
	// Drivers add connectors at run time (with their encoders), never CRTCs.
	if (same_ids(res->connectors, res->count_connectors, fresh->connectors,
	             fresh->count_connectors))
		return false;
	printf("bootanim: the card's outputs changed: %d connectors\n", fresh->count_connectors);
	g_drm_mode_res.reset(fresh.release());
	return true;
}

bool drm_knows_connector(uint32_t connector_id)
{
	auto res = g_drm_mode_res.get();
	if (!res)
		return true; // nothing to compare with
	return std::find(res->connectors, res->connectors + res->count_connectors, connector_id) !=
	       res->connectors + res->count_connectors;
}

int drm_use_display_card(bool wait, bool need_connector)
{
	int number = 0;
	int fd = open_display_card(need_connector, &number);
	if (fd < 0 && wait) {
		// The display's driver may probe after the GPU's, even after this process started.
		int dri_watch = -1;
		int in = watch_dri(&dri_watch);
		timespec start{};
		clock_gettime(CLOCK_MONOTONIC, &start);
		for (;;) {
			bool pending = false;
			fd = open_display_card(need_connector, &number, &pending);
			timespec now{};
			clock_gettime(CLOCK_MONOTONIC, &now);
			const int64_t left =
			        k_card_wait_ms - ((now.tv_sec - start.tv_sec) * 1000 +
			                          (now.tv_nsec - start.tv_nsec) / 1000000);
			if (fd >= 0 || left <= 0)
				break;
			if (in < 0) {
				// Without inotify the directory is looked at again now and then.
				usleep(100000);
				continue;
			}
			// The kernel makes a card's node a moment before the card can be opened or
			// shows its outputs, and without udev no later event follows: a node that
			// is there but not usable yet is looked at again shortly.
			pollfd p{in, POLLIN, 0};
			const int64_t timeout =
			        pending ? std::min<int64_t>(left, k_retry_ms) : left;
			if (poll(&p, 1, static_cast<int>(timeout)) <= 0)
				continue;
			alignas(inotify_event) char buf[4096];
			while (read(in, buf, sizeof buf) > 0) {
			}
			if (dri_watch < 0)
				dri_watch = inotify_add_watch(in, k_dri_dir,
				                              IN_CREATE | IN_ATTRIB | IN_MOVED_TO);
		}
		if (in >= 0)
			close(in);
		if (fd < 0)
			printf("bootanim: no card with mode setting appeared within %d s\n",
			       k_card_wait_ms / 1000);
	}
	if (fd < 0)
		return -1;
	int previous = g_drm_fd.exchange(fd);
	if (previous > 0)
		close(previous);
	printf("bootanim: display on %s/card%d\n", k_dri_dir, number);
	return fd;
}

uint32_t drm_format_crtcs(uint32_t format)
{
	return format == DRM_FORMAT_RGB888     ? g_rg24_crtcs.load()
	       : format == DRM_FORMAT_XRGB8888 ? g_xr24_crtcs.load()
	                                       : 0;
}

bool drm_is_console_fb(uint32_t fb_id)
{
	std::lock_guard lock(g_console_lock);
	return fb_id != 0 &&
	       std::find(g_console_fbs.begin(), g_console_fbs.end(), fb_id) != g_console_fbs.end();
}

bool drm_get_connector(int fd)
{
	auto res = g_drm_mode_res.get();
	if (!res) {
		printf("[DRM]: Couldn't get device connector.");
		return false;
	}
	printf("[DRM]: Found %d connectors.\n", res->count_connectors);

	// The first pass only looks for an HDMI monitor; it keeps no connector.
	bool hdmi_found = false;
	for (int i = 0; i < res->count_connectors; i++) {
		connector_holder conn(drmModeGetConnector(fd, res->connectors[i]));
		if (!conn)
			continue;
		printf("[DRM]: Connector %d connected: %s\n", i,
		       conn->connection == DRM_MODE_CONNECTED ? "yes" : "no");
		printf("[DRM]: Connector %d has %d modes.\n", i, conn->count_modes);
		if (conn->connection == DRM_MODE_CONNECTED && conn->count_modes > 0 &&
		    conn->connector_type == DRM_MODE_CONNECTOR_HDMIA) {
			printf("[DRM]: HDMI Connector %d assigned to monitor index: #%u.\n", i, 1u);
			hdmi_found = true;
			break;
		}
	}

	// The previous connector stays published until the new choice replaces it, so that readers
	// on other threads never find none while a monitor is being set up; readers holding it keep
	// it alive until they let go.
	const void *previous = g_drm_connector.address();
	printf("drm_get_connector: g_drm_connector=%p 11111\n", previous);

	connector_holder chosen;
	for (int i = 0; i < res->count_connectors && !chosen; i++) {
		connector_holder conn(drmModeGetConnector(fd, res->connectors[i]));
		if (!conn || conn->count_modes <= 0)
			continue;
		bool accept = hdmi_found ? conn->connector_type == DRM_MODE_CONNECTOR_HDMIA
		                         : conn->connection == DRM_MODE_CONNECTED;
		if (accept)
			chosen = std::move(conn);
	}
	if (!chosen) {
		g_drm_connector.reset();
		printf("[DRM]: Couldn't get device connector.");
		return false;
	}
	for (int m = 0; m < chosen->count_modes; m++) {
		const drmModeModeInfo &mode = chosen->modes[m];
		// The kernel terminates mode names, but a name filling all 32 bytes must not be
		// read past.
		printf("[DRM]: Mode %d: (%.*s) %d x %d, %u Hz\n", m, DRM_DISPLAY_MODE_LEN,
		       mode.name, mode.hdisplay, mode.vdisplay, mode.vrefresh);
	}
	g_drm_connector.reset(chosen.release());
	return true;
}

bool drm_find_encoder(int fd)
{
	// As with the connector, the previous encoder stays until the new choice replaces it.
	auto res = g_drm_mode_res.get();
	auto conn = g_drm_connector.get();
	if (res && conn) {
		for (int i = 0; i < res->count_encoders; i++) {
			encoder_holder enc(drmModeGetEncoder(fd, res->encoders[i]));
			if (!enc)
				continue;
			printf("g_drm_encoder->encoder_id=%d g_drm_connector->encoder_id=%d\n",
			       static_cast<int>(enc->encoder_id),
			       static_cast<int>(conn->encoder_id));
			if (enc->encoder_id == conn->encoder_id) {
				g_drm_encoder.reset(enc.release());
				return true;
			}
		}
	}
	g_drm_encoder.reset();
	printf("[DRM]: Couldn't find DRM encoder.");
	return false;
}

void drm_redetect_display(int fd)
{
	if (drm_get_connector(fd))
		drm_find_encoder(fd);
}

uint32_t drm_crtc_bit(const drmModeRes *res, uint32_t crtc_id)
{
	for (int i = 0; res && i < res->count_crtcs && i < 32; i++)
		if (res->crtcs[i] == crtc_id)
			return 1u << i;
	return 0;
}

crtc_holder get_encoder_crtc(int fd, uint32_t *pipe)
{
	auto enc = g_drm_encoder.get();
	auto res = g_drm_mode_res.get();
	if (!enc || !res)
		return nullptr;
	for (int i = 0; i < res->count_crtcs; i++) {
		if (res->crtcs[i] == enc->crtc_id) {
			*pipe = static_cast<uint32_t>(i);
			return crtc_holder(drmModeGetCrtc(fd, res->crtcs[i]));
		}
	}
	return nullptr;
}

int32_t find_property_id(int fd, uint32_t object_id, uint32_t object_type, const char *name)
{
	props_holder props(drmModeObjectGetProperties(fd, object_id, object_type));
	if (!props)
		return -1;
	for (uint32_t i = 0; i < props->count_props; i++) {
		property_holder prop(drmModeGetProperty(fd, props->props[i]));
		if (prop && strcmp(prop->name, name) == 0)
			return static_cast<int32_t>(prop->prop_id);
	}
	return -1;
}

void drm_release_display()
{
	g_drm_encoder.reset();
	g_drm_connector.reset();
	g_drm_mode_res.reset();
	g_console_may_cover.store(false);
	g_rg24_crtcs.store(0);
	g_xr24_crtcs.store(0);
	std::lock_guard lock(g_console_lock);
	g_console_fbs.clear();
}
