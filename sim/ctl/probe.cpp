// simkms-probe: reports what a DRM card offers, through libdrm, in the format of
// tests/sim/kernel-probes/*.txt, so that the report of a kernel driver and the report of the
// virtual card configured like it can be compared line by line.
//
// Usage: simkms-probe [--hold] [device]   (device: /dev/dri/card0 by default)
// With --hold the probe keeps its descriptor, and so the picture, until standard input ends;
// every line it reads meanwhile makes it report the connectors again, followed by "END".
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <string>
#include <sys/mman.h>
#include <sys/select.h>
#include <unistd.h>
#include <vector>

#include <drm_fourcc.h>
#include <xf86drm.h>
#include <xf86drmMode.h>

#include "display/drm_holder.h"

namespace
{

int64_t now_ns()
{
	timespec ts{};
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::string fourcc(uint32_t f)
{
	return {char(f), char(f >> 8), char(f >> 16), char(f >> 24)};
}

uint32_t format_bpp(uint32_t format)
{
	switch (format) {
	case DRM_FORMAT_RGB565:
		return 16;
	case DRM_FORMAT_RGB888:
	case DRM_FORMAT_BGR888:
		return 24;
	default:
		return 32;
	}
}

// "NAME=value ..." for every property of an object, in the card's order.
std::string props_line(int fd, uint32_t id, uint32_t type)
{
	props_holder props(drmModeObjectGetProperties(fd, id, type));
	if (!props)
		return std::string("FAILED ") + strerror(errno);
	std::string line;
	for (uint32_t i = 0; i < props->count_props; i++) {
		property_holder p(drmModeGetProperty(fd, props->props[i]));
		if (!line.empty())
			line += ' ';
		line += p ? p->name : "?" + std::to_string(props->props[i]);
		line += '=' + std::to_string(props->prop_values[i]);
	}
	return line;
}

// The id of an object's property, 0 when absent.
uint32_t prop_id(int fd, uint32_t id, uint32_t type, const char *name)
{
	props_holder props(drmModeObjectGetProperties(fd, id, type));
	if (!props)
		return 0;
	for (uint32_t i = 0; i < props->count_props; i++) {
		property_holder p(drmModeGetProperty(fd, props->props[i]));
		if (p && strcmp(p->name, name) == 0)
			return p->prop_id;
	}
	return 0;
}

std::optional<uint64_t> prop_value(int fd, uint32_t id, uint32_t type, const char *name)
{
	props_holder props(drmModeObjectGetProperties(fd, id, type));
	if (!props)
		return std::nullopt;
	for (uint32_t i = 0; i < props->count_props; i++) {
		property_holder p(drmModeGetProperty(fd, props->props[i]));
		if (p && strcmp(p->name, name) == 0)
			return props->prop_values[i];
	}
	return std::nullopt;
}

bool vblank_ok = false;

void probe_vblank(int fd, int pipe)
{
	drmVBlank vbl{};
	vbl.request.type = drmVBlankSeqType(DRM_VBLANK_RELATIVE);
	if (pipe == 1)
		vbl.request.type = drmVBlankSeqType(vbl.request.type | DRM_VBLANK_SECONDARY);
	else if (pipe > 1)
		vbl.request.type =
		        drmVBlankSeqType(vbl.request.type | ((pipe << DRM_VBLANK_HIGH_CRTC_SHIFT) &
		                                             DRM_VBLANK_HIGH_CRTC_MASK));
	vbl.request.sequence = 1;
	const int64_t start = now_ns();
	const int r = drmWaitVBlank(fd, &vbl);
	const int err = errno;
	const double waited = double(now_ns() - start) / 1e6;
	vblank_ok = r == 0;
	printf("vblank pipe %d (RELATIVE, seq 1): %s, seq=%u, waited %.1f ms\n", pipe,
	       r == 0 ? "OK" : strerror(err), vbl.reply.sequence, waited);
}

struct dumb {
	int fd = -1;
	uint32_t handle = 0, pitch = 0;
	uint64_t size = 0;
	int error = 0;

	dumb(int card, uint32_t w, uint32_t h, uint32_t bpp) : fd(card)
	{
		drm_mode_create_dumb req{};
		req.width = w;
		req.height = h;
		req.bpp = bpp;
		if (drmIoctl(fd, DRM_IOCTL_MODE_CREATE_DUMB, &req) != 0) {
			error = errno;
			return;
		}
		handle = req.handle;
		pitch = req.pitch;
		size = req.size;
	}
	dumb(const dumb &) = delete;
	dumb &operator=(const dumb &) = delete;
	~dumb()
	{
		if (handle) {
			drm_mode_destroy_dumb req{};
			req.handle = handle;
			drmIoctl(fd, DRM_IOCTL_MODE_DESTROY_DUMB, &req);
		}
	}
};

void probe_dumb(int fd)
{
	for (uint32_t bpp : {24u, 32u})
		for (const auto &[w, h] : {std::pair{64u, 48u}, std::pair{1024u, 768u}}) {
			dumb d(fd, w, h, bpp);
			if (d.error)
				printf("dumb %ux%u bpp%u: FAILED %s\n", w, h, bpp,
				       strerror(d.error));
			else
				printf("dumb %ux%u bpp%u: pitch=%u size=%llu (min pitch %u)\n", w,
				       h, bpp, d.pitch, (unsigned long long)d.size, w * bpp / 8);
		}
}

// AddFB2 of a small buffer in a format; true when the card took it.
bool probe_addfb2(int fd, uint32_t format)
{
	const uint32_t w = 64, h = 48;
	dumb d(fd, w, h, format_bpp(format));
	if (d.error) {
		printf("addfb2 %s: no dumb buffer\n", fourcc(format).c_str());
		return false;
	}
	const uint32_t handles[4] = {d.handle}, pitches[4] = {d.pitch}, offsets[4] = {};
	uint32_t fb = 0;
	const int r = drmModeAddFB2(fd, w, h, format, handles, pitches, offsets, &fb, 0);
	const int err = errno;
	printf("addfb2 %s %ux%u: %s\n", fourcc(format).c_str(), w, h,
	       r == 0 ? "OK" : strerror(err));
	if (r == 0)
		drmModeRmFB(fd, fb);
	return r == 0;
}

// Colour bars (red, green, blue, white) in the format's memory layout.
void fill_bars(uint8_t *map, uint32_t w, uint32_t h, uint32_t pitch, uint32_t format)
{
	static const uint8_t bars[4][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};
	for (uint32_t y = 0; y < h; y++)
		for (uint32_t x = 0; x < w; x++) {
			const uint8_t *c = bars[x * 4 / w];
			uint8_t *p = map + size_t(y) * pitch;
			switch (format) {
			case DRM_FORMAT_RGB565: {
				const uint16_t v =
				        uint16_t((c[0] >> 3) << 11 | (c[1] >> 2) << 5 | c[2] >> 3);
				p[x * 2] = uint8_t(v);
				p[x * 2 + 1] = uint8_t(v >> 8);
				break;
			}
			case DRM_FORMAT_RGB888: // blue at the lowest address
				p[x * 3] = c[2];
				p[x * 3 + 1] = c[1];
				p[x * 3 + 2] = c[0];
				break;
			default: // XR24
				p[x * 4] = c[2];
				p[x * 4 + 1] = c[1];
				p[x * 4 + 2] = c[0];
				p[x * 4 + 3] = 0xff;
				break;
			}
		}
}

struct scanout {
	std::unique_ptr<dumb> bo;
	uint32_t fb = 0;
	int fd = -1;
	~scanout()
	{
		if (fb)
			drmModeRmFB(fd, fb);
	}
};

struct pipeline {
	uint32_t connector = 0, crtc = 0, plane = 0;
	int pipe = 0;
	drmModeModeInfo mode{};
};

void page_flipped(int, unsigned, unsigned, unsigned, void *data)
{
	*static_cast<int *>(data) += 1;
}

// 30 flips between the two buffers, each waiting for its event; reports the mean interval.
void flip_30(int fd, const pipeline &p, const scanout bufs[2])
{
	const uint32_t fb_prop = prop_id(fd, p.plane, DRM_MODE_OBJECT_PLANE, "FB_ID");
	int events = 0;
	int64_t first = 0, last = 0;
	for (int i = 0; i < 30; i++) {
		atomic_holder req(drmModeAtomicAlloc());
		drmModeAtomicAddProperty(req.get(), p.plane, fb_prop, bufs[(i + 1) % 2].fb);
		if (drmModeAtomicCommit(fd, req.get(),
		                        DRM_MODE_PAGE_FLIP_EVENT | DRM_MODE_ATOMIC_NONBLOCK,
		                        &events) != 0) {
			printf("page flip %d: %s\n", i, strerror(errno));
			return;
		}
		const int want = events + 1;
		while (events < want) {
			fd_set fds;
			FD_ZERO(&fds);
			FD_SET(fd, &fds);
			timeval tv{1, 0};
			if (select(fd + 1, &fds, nullptr, nullptr, &tv) <= 0) {
				printf("page flip %d: no event\n", i);
				return;
			}
			drmEventContext ctx{};
			ctx.version = 2;
			ctx.page_flip_handler = page_flipped;
			drmHandleEvent(fd, &ctx);
		}
		last = now_ns();
		if (i == 0)
			first = last;
	}
	printf("%d page-flip events, %.2f ms apart on average\n", events,
	       double(last - first) / 1e6 / (events - 1));
}

// One commit of a picture of src_w x src_h in `format` stretched over the mode; keeps the
// buffers on screen (in `keep`) when it is a real commit that succeeds.
bool try_commit(int fd, const pipeline &p, uint32_t format, uint32_t src_w, uint32_t src_h,
                bool test_only, std::unique_ptr<scanout[]> &keep)
{
	printf("connector %u crtc %u (pipe %d) plane %u mode %ux%u@%u format %s src %ux%u\n",
	       p.connector, p.crtc, p.pipe, p.plane, p.mode.hdisplay, p.mode.vdisplay,
	       p.mode.vrefresh, fourcc(format).c_str(), src_w, src_h);
	std::unique_ptr<scanout[]> bufs(new scanout[2]);
	for (int i = 0; i < 2; i++) {
		scanout &b = bufs[i];
		b.fd = fd;
		b.bo = std::make_unique<dumb>(fd, src_w, src_h, format_bpp(format));
		if (b.bo->error) {
			printf("dumb %ux%u: %s\n", src_w, src_h, strerror(b.bo->error));
			return false;
		}
		drm_mode_map_dumb map{};
		map.handle = b.bo->handle;
		if (drmIoctl(fd, DRM_IOCTL_MODE_MAP_DUMB, &map) == 0) {
			void *m = mmap(nullptr, b.bo->size, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
			               off_t(map.offset));
			if (m != MAP_FAILED) {
				fill_bars(static_cast<uint8_t *>(m), src_w, src_h, b.bo->pitch,
				          format);
				munmap(m, b.bo->size);
			}
		}
		const uint32_t handles[4] = {b.bo->handle}, pitches[4] = {b.bo->pitch},
		               offsets[4] = {};
		if (drmModeAddFB2(fd, src_w, src_h, format, handles, pitches, offsets, &b.fb, 0)) {
			printf("fb %ux%u: %s\n", src_w, src_h, strerror(errno));
			return false;
		}
		printf("fb %u: %ux%u pitch %u\n", b.fb, src_w, src_h, b.bo->pitch);
	}

	uint32_t blob = 0;
	if (drmModeCreatePropertyBlob(fd, &p.mode, sizeof p.mode, &blob) != 0) {
		printf("mode blob: %s\n", strerror(errno));
		return false;
	}
	atomic_holder req(drmModeAtomicAlloc());
	auto add = [&](uint32_t obj, uint32_t type, const char *name, uint64_t value) {
		drmModeAtomicAddProperty(req.get(), obj, prop_id(fd, obj, type, name), value);
	};
	add(p.connector, DRM_MODE_OBJECT_CONNECTOR, "CRTC_ID", p.crtc);
	add(p.crtc, DRM_MODE_OBJECT_CRTC, "MODE_ID", blob);
	add(p.crtc, DRM_MODE_OBJECT_CRTC, "ACTIVE", 1);
	add(p.plane, DRM_MODE_OBJECT_PLANE, "FB_ID", bufs[0].fb);
	add(p.plane, DRM_MODE_OBJECT_PLANE, "CRTC_ID", p.crtc);
	add(p.plane, DRM_MODE_OBJECT_PLANE, "SRC_X", 0);
	add(p.plane, DRM_MODE_OBJECT_PLANE, "SRC_Y", 0);
	add(p.plane, DRM_MODE_OBJECT_PLANE, "SRC_W", uint64_t(src_w) << 16);
	add(p.plane, DRM_MODE_OBJECT_PLANE, "SRC_H", uint64_t(src_h) << 16);
	add(p.plane, DRM_MODE_OBJECT_PLANE, "CRTC_X", 0);
	add(p.plane, DRM_MODE_OBJECT_PLANE, "CRTC_Y", 0);
	add(p.plane, DRM_MODE_OBJECT_PLANE, "CRTC_W", p.mode.hdisplay);
	add(p.plane, DRM_MODE_OBJECT_PLANE, "CRTC_H", p.mode.vdisplay);
	const uint32_t flags =
	        DRM_MODE_ATOMIC_ALLOW_MODESET | (test_only ? DRM_MODE_ATOMIC_TEST_ONLY : 0);
	const int r = drmModeAtomicCommit(fd, req.get(), flags, nullptr);
	const int err = errno;
	printf("atomic commit%s (ALLOW_MODESET, src %ux%u -> crtc %ux%u): %s\n",
	       test_only ? " TEST_ONLY" : "", src_w, src_h, p.mode.hdisplay, p.mode.vdisplay,
	       r == 0 ? "OK" : strerror(err));
	if (r != 0 || test_only) {
		drmModeDestroyPropertyBlob(fd, blob);
		return r == 0;
	}
	probe_vblank(fd, p.pipe);
	if (vblank_ok)
		flip_30(fd, p, bufs.get());
	keep = std::move(bufs);
	return true;
}

// Shows colour bars full screen on the first connected output: RG24 when the card takes an RG24
// framebuffer (first a smaller source, to see whether the plane scales), else XR24.
void probe_commit(int fd, const drmModeRes &res, const drmModePlaneRes &planes, bool rg24_fb,
                  std::unique_ptr<scanout[]> &keep)
{
	pipeline p;
	for (int i = 0; i < res.count_connectors && !p.connector; i++) {
		connector_holder c(drmModeGetConnector(fd, res.connectors[i]));
		if (!c || c->connection != DRM_MODE_CONNECTED || c->count_modes == 0)
			continue;
		p.connector = c->connector_id;
		p.mode = c->modes[0];
		for (int m = 0; m < c->count_modes; m++)
			if (c->modes[m].type & DRM_MODE_TYPE_PREFERRED) {
				p.mode = c->modes[m];
				break;
			}
		uint32_t possible = 0;
		for (int e = 0; e < c->count_encoders; e++) {
			encoder_holder enc(drmModeGetEncoder(fd, c->encoders[e]));
			if (!enc)
				continue;
			if (c->encoder_id == enc->encoder_id && enc->crtc_id)
				p.crtc = enc->crtc_id;
			possible |= enc->possible_crtcs;
		}
		for (int k = 0; k < res.count_crtcs; k++) {
			if (!p.crtc && (possible >> k & 1))
				p.crtc = res.crtcs[k];
			if (p.crtc == res.crtcs[k])
				p.pipe = k;
		}
	}
	if (!p.connector || !p.crtc) {
		printf("no connected output to show a picture on\n");
		return;
	}
	bool primary_rg24 = false;
	for (uint32_t i = 0; i < planes.count_planes && !p.plane; i++) {
		plane_holder pl(drmModeGetPlane(fd, planes.planes[i]));
		if (!pl || !(pl->possible_crtcs >> p.pipe & 1) ||
		    prop_value(fd, pl->plane_id, DRM_MODE_OBJECT_PLANE, "type") !=
		            uint64_t(DRM_PLANE_TYPE_PRIMARY))
			continue;
		p.plane = pl->plane_id;
		for (uint32_t f = 0; f < pl->count_formats; f++)
			primary_rg24 |= pl->formats[f] == DRM_FORMAT_RGB888;
	}
	if (!p.plane) {
		printf("no primary plane for crtc %u\n", p.crtc);
		return;
	}

	const uint32_t w = p.mode.hdisplay, h = p.mode.vdisplay;
	if (!rg24_fb) {
		try_commit(fd, p, DRM_FORMAT_XRGB8888, w, h, false, keep);
	} else if (primary_rg24) {
		try_commit(fd, p, DRM_FORMAT_RGB888, 640, 480, true, keep);
		if (!try_commit(fd, p, DRM_FORMAT_RGB888, w, h, false, keep))
			try_commit(fd, p, DRM_FORMAT_XRGB8888, w, h, false, keep);
	} else {
		printf("primary plane %u does not list RG24; trying anyway\n", p.plane);
		if (try_commit(fd, p, DRM_FORMAT_RGB888, w, h, true, keep))
			try_commit(fd, p, DRM_FORMAT_RGB888, w, h, false, keep);
		else
			try_commit(fd, p, DRM_FORMAT_XRGB8888, w, h, false, keep);
	}
	if (keep)
		printf("SHOWN\n");
}

const char *connection_name(drmModeConnection c)
{
	switch (c) {
	case DRM_MODE_CONNECTED:
		return "connected";
	case DRM_MODE_DISCONNECTED:
		return "disconnected";
	default:
		return "unknown";
	}
}

void print_caps(int fd)
{
	static const std::pair<const char *, uint64_t> caps[] = {
	        {"DUMB_BUFFER", DRM_CAP_DUMB_BUFFER},
	        {"DUMB_PREFERRED_DEPTH", DRM_CAP_DUMB_PREFERRED_DEPTH},
	        {"DUMB_PREFER_SHADOW", DRM_CAP_DUMB_PREFER_SHADOW},
	        {"VBLANK_HIGH_CRTC", DRM_CAP_VBLANK_HIGH_CRTC},
	        {"TIMESTAMP_MONOTONIC", DRM_CAP_TIMESTAMP_MONOTONIC},
	        {"ASYNC_PAGE_FLIP", DRM_CAP_ASYNC_PAGE_FLIP},
	        {"CURSOR_WIDTH", DRM_CAP_CURSOR_WIDTH},
	        {"ADDFB2_MODIFIERS", DRM_CAP_ADDFB2_MODIFIERS},
	        {"CRTC_IN_VBLANK_EVENT", DRM_CAP_CRTC_IN_VBLANK_EVENT},
	};
	std::string line = "caps:";
	for (const auto &[name, cap] : caps) {
		uint64_t value = 0;
		line += ' ';
		line += name;
		line += drmGetCap(fd, cap, &value) == 0 ? '=' + std::to_string(value) : "=?";
	}
	printf("%s\n", line.c_str());
}

// The connectors with their modes and properties, as the card reports them now.
void print_connectors(int fd, const drmModeRes &res)
{
	for (int i = 0; i < res.count_connectors; i++) {
		connector_holder c(drmModeGetConnector(fd, res.connectors[i]));
		if (!c) {
			printf("connector %u: FAILED %s\n", res.connectors[i], strerror(errno));
			continue;
		}
		const char *type = drmModeGetConnectorTypeName(c->connector_type);
		printf("connector %u: type %u (%s-%u) %s, encoder %u, %d modes\n", c->connector_id,
		       c->connector_type, type ? type : "Unknown", c->connector_type_id,
		       connection_name(c->connection), c->encoder_id, c->count_modes);
		for (int m = 0; m < c->count_modes; m++) {
			const drmModeModeInfo &mi = c->modes[m];
			printf("    mode %s %ux%u@%u clock %u%s\n", mi.name, mi.hdisplay,
			       mi.vdisplay, mi.vrefresh, mi.clock,
			       mi.type & DRM_MODE_TYPE_PREFERRED ? " preferred" : "");
		}
		printf("    props: %s\n",
		       props_line(fd, c->connector_id, DRM_MODE_OBJECT_CONNECTOR).c_str());
	}
}

} // namespace

int main(int argc, char **argv)
{
	const char *device = "/dev/dri/card0";
	bool hold = false;
	for (int i = 1; i < argc; i++) {
		if (strcmp(argv[i], "--hold") == 0)
			hold = true;
		else
			device = argv[i];
	}
	setvbuf(stdout, nullptr, _IOLBF, 0);

	const int fd = open(device, O_RDWR | O_CLOEXEC);
	if (fd < 0) {
		printf("open %s: %s\n", device, strerror(errno));
		return 1;
	}
	{
		version_holder v(drmGetVersion(fd));
		if (v)
			printf("driver: %s (%s) %d.%d.%d\n", v->name, v->desc, v->version_major,
			       v->version_minor, v->version_patchlevel);
		else
			printf("driver: FAILED %s\n", strerror(errno));
	}
	for (const auto &[name, cap] :
	     {std::pair{"UNIVERSAL_PLANES", DRM_CLIENT_CAP_UNIVERSAL_PLANES},
	      std::pair{"ATOMIC", DRM_CLIENT_CAP_ATOMIC}}) {
		const int r = drmSetClientCap(fd, cap, 1);
		printf("cap %s: %s\n", name, r == 0 ? "OK" : strerror(errno));
	}
	print_caps(fd);

	res_holder res(drmModeGetResources(fd));
	if (!res) {
		printf("resources: FAILED %s\n", strerror(errno));
		return 1;
	}
	printf("fb size limits: %ux%u .. %ux%u\n", res->min_width, res->min_height, res->max_width,
	       res->max_height);

	int active_pipe = -1;
	print_connectors(fd, *res);
	for (int i = 0; i < res->count_encoders; i++) {
		encoder_holder e(drmModeGetEncoder(fd, res->encoders[i]));
		if (!e) {
			printf("encoder %u: FAILED %s\n", res->encoders[i], strerror(errno));
			continue;
		}
		printf("encoder %u: type %u crtc %u possible_crtcs 0x%x\n", e->encoder_id,
		       e->encoder_type, e->crtc_id, e->possible_crtcs);
	}
	for (int i = 0; i < res->count_crtcs; i++) {
		crtc_holder c(drmModeGetCrtc(fd, res->crtcs[i]));
		if (!c) {
			printf("crtc %u: FAILED %s\n", res->crtcs[i], strerror(errno));
			continue;
		}
		printf("crtc %u (pipe %d): fb %u, mode %ux%u@%u, gamma %d\n", c->crtc_id, i,
		       c->buffer_id, c->mode.hdisplay, c->mode.vdisplay, c->mode.vrefresh,
		       c->gamma_size);
		printf("    props: %s\n", props_line(fd, c->crtc_id, DRM_MODE_OBJECT_CRTC).c_str());
		if (active_pipe < 0 && c->mode_valid)
			active_pipe = i;
	}

	plane_res_holder planes(drmModeGetPlaneResources(fd));
	if (!planes) {
		printf("planes: FAILED %s\n", strerror(errno));
		return 1;
	}
	int rg24_planes = 0;
	for (uint32_t i = 0; i < planes->count_planes; i++) {
		plane_holder p(drmModeGetPlane(fd, planes->planes[i]));
		if (!p) {
			printf("plane %u: FAILED %s\n", planes->planes[i], strerror(errno));
			continue;
		}
		const std::optional<uint64_t> type =
		        prop_value(fd, p->plane_id, DRM_MODE_OBJECT_PLANE, "type");
		const char *type_name = !type                             ? "unknown"
		                        : *type == DRM_PLANE_TYPE_PRIMARY ? "primary"
		                        : *type == DRM_PLANE_TYPE_CURSOR  ? "cursor"
		                                                          : "overlay";
		std::string formats;
		bool rg24 = false;
		for (uint32_t f = 0; f < p->count_formats; f++) {
			formats += ' ' + fourcc(p->formats[f]);
			rg24 |= p->formats[f] == DRM_FORMAT_RGB888;
		}
		rg24_planes += rg24;
		printf("plane %u: %s possible_crtcs 0x%x crtc %u fb %u formats(%u):%s\n",
		       p->plane_id, type_name, p->possible_crtcs, p->crtc_id, p->fb_id,
		       p->count_formats, formats.c_str());
		printf("    RG24 on this plane: %s\n", rg24 ? "YES" : "no");
		printf("    props: %s\n",
		       props_line(fd, p->plane_id, DRM_MODE_OBJECT_PLANE).c_str());
	}
	printf("planes offering RG24: %d\n", rg24_planes);

	probe_vblank(fd, active_pipe < 0 ? 0 : active_pipe);
	probe_dumb(fd);
	const bool rg24_fb = probe_addfb2(fd, DRM_FORMAT_RGB888);
	probe_addfb2(fd, DRM_FORMAT_BGR888);
	probe_addfb2(fd, DRM_FORMAT_XRGB8888);

	std::unique_ptr<scanout[]> shown;
	probe_commit(fd, *res, *planes, rg24_fb, shown);

	// Each line on standard input reports the connectors again (after a hot-plug, say).
	char line[256];
	while (hold && fgets(line, sizeof line, stdin)) {
		print_connectors(fd, *res);
		printf("END\n");
	}
	return 0;
}
