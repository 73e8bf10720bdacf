#include "tools/standin.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include <drm_fourcc.h>
#include <sys/mman.h>
#include <xf86drm.h>
#include <xf86drmMode.h>

#include "display/drm_holder.h"

namespace standin
{

namespace
{

int64_t now_ms()
{
	timespec ts{};
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string err_text(int err)
{
	const char *name = strerrorname_np(err);
	return name ? name : std::to_string(err);
}

// The formats the picture can be written in, most wanted first, with their bytes per pixel.
struct format_choice {
	uint32_t fourcc;
	uint32_t bpp;
};
constexpr format_choice k_formats[] = {
        {DRM_FORMAT_XRGB8888, 32}, {DRM_FORMAT_ARGB8888, 32}, {DRM_FORMAT_XBGR8888, 32},
        {DRM_FORMAT_ABGR8888, 32}, {DRM_FORMAT_RGB888, 24},   {DRM_FORMAT_BGR888, 24},
        {DRM_FORMAT_RGB565, 16},
};

void put_pixel(uint8_t *p, uint32_t fourcc, const uint8_t *rgb)
{
	switch (fourcc) {
	case DRM_FORMAT_XBGR8888:
	case DRM_FORMAT_ABGR8888:
	case DRM_FORMAT_BGR888:
		p[0] = rgb[0], p[1] = rgb[1], p[2] = rgb[2];
		break;
	case DRM_FORMAT_RGB565: {
		const uint16_t v = uint16_t((rgb[0] >> 3) << 11 | (rgb[1] >> 2) << 5 | rgb[2] >> 3);
		p[0] = uint8_t(v), p[1] = uint8_t(v >> 8);
		return;
	}
	default: // little-endian words: blue at the lowest address
		p[0] = rgb[2], p[1] = rgb[1], p[2] = rgb[0];
	}
	if (fourcc == DRM_FORMAT_XRGB8888 || fourcc == DRM_FORMAT_ARGB8888 ||
	    fourcc == DRM_FORMAT_XBGR8888 || fourcc == DRM_FORMAT_ABGR8888)
		p[3] = 0xff;
}

uint32_t prop_id(int fd, uint32_t object, uint32_t type, const char *name, uint64_t *value)
{
	props_holder props(drmModeObjectGetProperties(fd, object, type));
	for (uint32_t i = 0; props && i < props->count_props; i++) {
		property_holder p(drmModeGetProperty(fd, props->props[i]));
		if (p && strcmp(p->name, name) == 0) {
			if (value)
				*value = props->prop_values[i];
			return p->prop_id;
		}
	}
	return 0;
}

bool become_master(int fd, const std::function<void(const std::string &)> &say)
{
	const int64_t start = now_ms();
	int tries = 0;
	for (;;) {
		tries++;
		if (drmSetMaster(fd) == 0) {
			say("standin: master after " + std::to_string(now_ms() - start) + " ms (" +
			    std::to_string(tries) + (tries == 1 ? " try)" : " tries)"));
			return true;
		}
		const int err = errno;
		if (now_ms() - start >= k_give_up_ms) {
			say("standin: not master after " + std::to_string(k_give_up_ms / 1000) +
			    " s: SET_MASTER " + err_text(err));
			return false;
		}
		timespec ts{0, k_retry_ms * 1000000L};
		nanosleep(&ts, nullptr);
	}
}

struct target {
	uint32_t crtc_id = 0;
	int crtc_index = -1;
	drmModeModeInfo mode{};
	uint32_t primary = 0;
	format_choice format{};
	std::vector<uint32_t> others; // the CRTC's other planes that show something
};

bool find_target(int fd, target &t, std::string &why)
{
	res_holder res(drmModeGetResources(fd));
	if (!res) {
		why = "GETRESOURCES " + err_text(errno);
		return false;
	}
	for (int i = 0; i < res->count_crtcs && t.crtc_index < 0; i++) {
		crtc_holder c(drmModeGetCrtc(fd, res->crtcs[i]));
		if (c && c->mode_valid) {
			t.crtc_id = c->crtc_id;
			t.crtc_index = i;
			t.mode = c->mode;
		}
	}
	if (t.crtc_index < 0) {
		why = "no active CRTC";
		return false;
	}
	plane_res_holder planes(drmModeGetPlaneResources(fd));
	for (uint32_t i = 0; planes && i < planes->count_planes; i++) {
		plane_holder p(drmModeGetPlane(fd, planes->planes[i]));
		if (!p || !(p->possible_crtcs & (1u << t.crtc_index)))
			continue;
		uint64_t type = 0, crtc = 0;
		prop_id(fd, p->plane_id, DRM_MODE_OBJECT_PLANE, "type", &type);
		prop_id(fd, p->plane_id, DRM_MODE_OBJECT_PLANE, "CRTC_ID", &crtc);
		if (type == DRM_PLANE_TYPE_PRIMARY && !t.primary) {
			for (const format_choice &f : k_formats)
				for (uint32_t k = 0; k < p->count_formats && !t.primary; k++)
					if (p->formats[k] == f.fourcc) {
						t.primary = p->plane_id;
						t.format = f;
					}
			if (t.primary == p->plane_id)
				continue;
		}
		if (crtc == t.crtc_id)
			t.others.push_back(p->plane_id);
	}
	if (!t.primary)
		why = "no primary plane of CRTC " + std::to_string(t.crtc_id) +
		      " offers XR24, AR24, XB24, AB24, RG24, BG24 or RG16";
	return t.primary != 0;
}

// A mode-size dumb buffer holding the picture, and its framebuffer; 0 on failure.
uint32_t make_picture(int fd, const target &t, std::string &why)
{
	const uint32_t w = t.mode.hdisplay, h = t.mode.vdisplay;
	drm_mode_create_dumb create{};
	create.width = w;
	create.height = h;
	create.bpp = t.format.bpp;
	if (drmIoctl(fd, DRM_IOCTL_MODE_CREATE_DUMB, &create) != 0) {
		why = "CREATE_DUMB " + err_text(errno);
		return 0;
	}
	drm_mode_map_dumb map{};
	map.handle = create.handle;
	void *mem = MAP_FAILED;
	if (drmIoctl(fd, DRM_IOCTL_MODE_MAP_DUMB, &map) == 0)
		mem = mmap(nullptr, create.size, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
		           off_t(map.offset));
	if (mem == MAP_FAILED) {
		why = "mapping the dumb buffer: " + err_text(errno);
		return 0;
	}
	const uint32_t cpp = t.format.bpp / 8;
	for (uint32_t y = 0; y < h; y++)
		for (uint32_t x = 0; x < w; x++)
			put_pixel(static_cast<uint8_t *>(mem) + size_t(y) * create.pitch + x * cpp,
			          t.format.fourcc, colour_at(x, y));
	munmap(mem, create.size);
	uint32_t handles[4] = {create.handle}, pitches[4] = {create.pitch}, offsets[4] = {};
	uint32_t fb = 0;
	if (drmModeAddFB2(fd, w, h, t.format.fourcc, handles, pitches, offsets, &fb, 0) != 0) {
		why = "ADDFB2 " + err_text(errno);
		return 0;
	}
	return fb;
}

} // namespace

bool show(int fd, const std::function<void(const std::string &)> &say, shown *out)
{
	if (drmSetClientCap(fd, DRM_CLIENT_CAP_UNIVERSAL_PLANES, 1) != 0 ||
	    drmSetClientCap(fd, DRM_CLIENT_CAP_ATOMIC, 1) != 0) {
		say("standin: the card offers no atomic mode setting: " + err_text(errno));
		return false;
	}
	if (!become_master(fd, say))
		return false;
	target t;
	std::string why;
	uint32_t fb = 0;
	if (find_target(fd, t, why))
		fb = make_picture(fd, t, why);
	if (!fb) {
		say("standin: " + why);
		return false;
	}
	drmModeAtomicReqPtr req = drmModeAtomicAlloc();
	auto set = [&](uint32_t plane, const char *name, uint64_t v) {
		drmModeAtomicAddProperty(
		        req, plane, prop_id(fd, plane, DRM_MODE_OBJECT_PLANE, name, nullptr), v);
	};
	const uint32_t w = t.mode.hdisplay, h = t.mode.vdisplay;
	set(t.primary, "FB_ID", fb);
	set(t.primary, "CRTC_ID", t.crtc_id);
	set(t.primary, "SRC_X", 0);
	set(t.primary, "SRC_Y", 0);
	set(t.primary, "SRC_W", uint64_t(w) << 16);
	set(t.primary, "SRC_H", uint64_t(h) << 16);
	set(t.primary, "CRTC_X", 0);
	set(t.primary, "CRTC_Y", 0);
	set(t.primary, "CRTC_W", w);
	set(t.primary, "CRTC_H", h);
	// A compositor takes the whole display: whatever else the CRTC shows goes in the same
	// commit, so no picture in between mixes the two programs.
	for (uint32_t p : t.others) {
		set(p, "FB_ID", 0);
		set(p, "CRTC_ID", 0);
	}
	const int r = drmModeAtomicCommit(fd, req, 0, nullptr);
	const int err = errno;
	drmModeAtomicFree(req);
	if (r != 0) {
		say("standin: the commit failed: " + err_text(err));
		return false;
	}
	say("standin: shown " + std::to_string(w) + "x" + std::to_string(h) + " on crtc " +
	    std::to_string(t.crtc_id));
	if (out)
		*out = shown{w, h, t.crtc_id};
	return true;
}

} // namespace standin
