// Shared pieces of the virtual card's tests: a small topology, libdrm record holders and
// helpers that go through libdrm and the interposed C library exactly as the player does.
#pragma once

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <drm_fourcc.h>
#include <xf86drm.h>
#include <xf86drmMode.h>

#include <gtest/gtest.h>

#include "display/drm_holder.h"
#include "sim/sim.h"
#include "tests/support/card.h"

namespace card_test
{

// Two CRTCs; HDMI-A (connector 0, encoder 0) lit at 1920x1080 on CRTC 0; DisplayPort
// (connector 1, encoder 1) unplugged. Planes: 0 primary of CRTC 0, 1 primary of CRTC 1,
// 2 overlay with RG24, 3 overlay without RG24, 4 cursor.
inline sim::topology two_pipes()
{
	sim::topology t;
	t.driver.name = "simtest";
	t.encoders = {{.possible_crtcs = 0x3}, {.possible_crtcs = 0x3}};
	t.connectors = {{.modes = {test_mode(1280, 720, false), test_mode(1920, 1080),
	                           test_mode(1024, 768, false), test_mode(1920, 1080, false, 50)},
	                 .encoders = {0}},
	                {.type = DRM_MODE_CONNECTOR_DisplayPort,
	                 .connected = false,
	                 .modes = {test_mode(2560, 1440), test_mode(800, 600, false)},
	                 .encoders = {1},
	                 .bound_encoder = -1}};
	t.crtcs = {{.active = true, .mode = test_mode(1920, 1080)}, {}};
	t.planes = {
	        test_plane(DRM_PLANE_TYPE_PRIMARY,
	                   {DRM_FORMAT_XRGB8888, DRM_FORMAT_ARGB8888, DRM_FORMAT_RGB565}),
	        test_plane(DRM_PLANE_TYPE_PRIMARY, {DRM_FORMAT_XRGB8888}, 0x2),
	        test_plane(DRM_PLANE_TYPE_OVERLAY,
	                   {DRM_FORMAT_RGB888, DRM_FORMAT_BGR888, DRM_FORMAT_XRGB8888,
	                    DRM_FORMAT_XBGR8888, DRM_FORMAT_ABGR8888, DRM_FORMAT_ARGB8888},
	                   0x3),
	        test_plane(DRM_PLANE_TYPE_OVERLAY, {DRM_FORMAT_XRGB8888, DRM_FORMAT_ARGB8888}, 0x3),
	        test_plane(DRM_PLANE_TYPE_CURSOR, {DRM_FORMAT_ARGB8888}, 0x3),
	};
	return t;
}

inline int open_card()
{
	return open("/dev/dri/card0", O_RDWR | O_CLOEXEC);
}

inline int set_atomic(int fd)
{
	return drmSetClientCap(fd, DRM_CLIENT_CAP_ATOMIC, 1);
}

// Only the card's master sets the display: the master lets go and another file takes over.
inline void pass_master(int from, int to)
{
	ASSERT_EQ(drmDropMaster(from), 0);
	ASSERT_EQ(drmSetMaster(to), 0);
}

// A dumb buffer through the raw requests, as the player's buffer layer makes it.
struct dumb {
	uint32_t handle = 0;
	uint32_t pitch = 0;
	uint64_t size = 0;
	uint8_t *map = nullptr;
};

inline int create_dumb(int fd, uint32_t w, uint32_t h, uint32_t bpp, dumb *out)
{
	drm_mode_create_dumb req{};
	req.width = w;
	req.height = h;
	req.bpp = bpp;
	if (drmIoctl(fd, DRM_IOCTL_MODE_CREATE_DUMB, &req) != 0)
		return errno;
	out->handle = req.handle;
	out->pitch = req.pitch;
	out->size = req.size;
	return 0;
}

inline int map_dumb(int fd, dumb *b)
{
	drm_mode_map_dumb req{};
	req.handle = b->handle;
	if (drmIoctl(fd, DRM_IOCTL_MODE_MAP_DUMB, &req) != 0)
		return errno;
	void *p = mmap(nullptr, b->size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, off_t(req.offset));
	if (p == MAP_FAILED)
		return errno;
	b->map = static_cast<uint8_t *>(p);
	return 0;
}

inline int destroy_dumb(int fd, uint32_t handle)
{
	drm_mode_destroy_dumb req{};
	req.handle = handle;
	return drmIoctl(fd, DRM_IOCTL_MODE_DESTROY_DUMB, &req) == 0 ? 0 : errno;
}

inline int add_fb(int fd, uint32_t w, uint32_t h, uint32_t format, const dumb &b, uint32_t *fb)
{
	uint32_t handles[4] = {b.handle}, pitches[4] = {b.pitch}, offsets[4] = {};
	return drmModeAddFB2(fd, w, h, format, handles, pitches, offsets, fb, 0) == 0 ? 0 : errno;
}

inline uint32_t prop_id(int fd, uint32_t object, uint32_t type, const std::string &name)
{
	props_holder props(drmModeObjectGetProperties(fd, object, type));
	if (!props)
		return 0;
	for (uint32_t i = 0; i < props->count_props; i++) {
		property_holder p(drmModeGetProperty(fd, props->props[i]));
		if (p && name == p->name)
			return p->prop_id;
	}
	return 0;
}

constexpr uint32_t k_plane = DRM_MODE_OBJECT_PLANE;
constexpr uint32_t k_crtc = DRM_MODE_OBJECT_CRTC;
constexpr uint32_t k_conn = DRM_MODE_OBJECT_CONNECTOR;

// An atomic request built by property names, committed through libdrm.
class request
{
public:
	explicit request(int fd) : fd_(fd), req_(drmModeAtomicAlloc()) {}
	request &set(uint32_t object, uint32_t type, const char *name, uint64_t value)
	{
		const uint32_t prop = prop_id(fd_, object, type, name);
		EXPECT_NE(prop, 0u) << name;
		drmModeAtomicAddProperty(req_.get(), object, prop, value);
		return *this;
	}
	request &raw(uint32_t object, uint32_t prop, uint64_t value)
	{
		drmModeAtomicAddProperty(req_.get(), object, prop, value);
		return *this;
	}
	// 0 or the errno of the commit.
	int commit(uint32_t flags = 0, void *user_data = nullptr)
	{
		errno = 0;
		return drmModeAtomicCommit(fd_, req_.get(), flags, user_data) == 0 ? 0 : errno;
	}

private:
	int fd_;
	atomic_holder req_;
};

// A framebuffer of w x h in `format` on a fresh dumb buffer, filled with `grey` unless negative.
inline uint32_t make_fb(int fd, uint32_t w, uint32_t h, uint32_t format = DRM_FORMAT_XRGB8888,
                        int grey = -1)
{
	dumb b;
	EXPECT_EQ(create_dumb(fd, w, h, format == DRM_FORMAT_RGB888 ? 24 : 32, &b), 0);
	if (grey >= 0) {
		EXPECT_EQ(map_dumb(fd, &b), 0);
		if (b.map) {
			memset(b.map, grey, b.size);
			munmap(b.map, b.size);
		}
	}
	uint32_t fb = 0;
	EXPECT_EQ(add_fb(fd, w, h, format, b, &fb), 0) << w << "x" << h;
	return fb;
}

// Plane `plane` showing src_w x src_h of fb at (x, y), w x h, on CRTC `crtc` (none if negative).
inline request &show(request &r, int plane, int crtc, uint32_t fb, uint32_t src_w, uint32_t src_h,
                     int32_t x, int32_t y, uint32_t w, uint32_t h)
{
	const uint32_t id = sim::plane_id(plane);
	return r.set(id, k_plane, "FB_ID", fb)
	        .set(id, k_plane, "CRTC_ID", crtc >= 0 ? sim::crtc_id(crtc) : 0)
	        .set(id, k_plane, "SRC_X", 0)
	        .set(id, k_plane, "SRC_Y", 0)
	        .set(id, k_plane, "SRC_W", uint64_t(src_w) << 16)
	        .set(id, k_plane, "SRC_H", uint64_t(src_h) << 16)
	        .set(id, k_plane, "CRTC_X", uint64_t(int64_t(x)))
	        .set(id, k_plane, "CRTC_Y", uint64_t(int64_t(y)))
	        .set(id, k_plane, "CRTC_W", w)
	        .set(id, k_plane, "CRTC_H", h);
}

inline request &show(request &&r, int plane, int crtc, uint32_t fb, uint32_t src_w, uint32_t src_h,
                     int32_t x, int32_t y, uint32_t w, uint32_t h)
{
	return show(r, plane, crtc, fb, src_w, src_h, x, y, w, h);
}

inline uint32_t mode_blob(int fd, const drmModeModeInfo &m)
{
	uint32_t id = 0;
	EXPECT_EQ(drmModeCreatePropertyBlob(fd, &m, sizeof(m), &id), 0);
	return id;
}

// The connector's mode at `index` of its list, or the first of w x h when w is given.
inline drmModeModeInfo connector_mode(int fd, int connector, int index, uint16_t w = 0,
                                      uint16_t h = 0)
{
	connector_holder c(drmModeGetConnector(fd, sim::connector_id(connector)));
	for (int i = 0; c && i < c->count_modes; i++)
		if (w ? c->modes[i].hdisplay == w && c->modes[i].vdisplay == h : i == index)
			return c->modes[i];
	ADD_FAILURE() << "connector " << connector << " has no mode " << index << " " << w << "x"
	              << h;
	return {};
}

// A libdrm id array as a list, to compare whole.
inline std::vector<uint32_t> id_list(const uint32_t *ids, int count)
{
	return ids ? std::vector<uint32_t>(ids, ids + count) : std::vector<uint32_t>{};
}

// The errno a call fails with (a null pointer, MAP_FAILED or -1), 0 when it succeeds.
template <class F>
int errno_of(F call)
{
	errno = 0;
	const auto r = call();
	if constexpr (std::is_same_v<decltype(r), void *const>)
		return r == MAP_FAILED ? errno : 0;
	else if constexpr (std::is_pointer_v<decltype(r)>)
		return r ? 0 : errno;
	else
		return r == -1 ? errno : 0;
}

// A client's view of a property, read through OBJ_GETPROPERTIES; UINT64_MAX when absent.
inline uint64_t value_of(int fd, uint32_t object, uint32_t type, const std::string &name)
{
	props_holder props(drmModeObjectGetProperties(fd, object, type));
	if (!props)
		return UINT64_MAX;
	for (uint32_t i = 0; i < props->count_props; i++) {
		property_holder p(drmModeGetProperty(fd, props->props[i]));
		if (p && name == p->name)
			return props->prop_values[i];
	}
	return UINT64_MAX;
}

// An object's properties in the card's order, as names or as "NAME=value".
inline std::vector<std::string> prop_list(int fd, uint32_t object, uint32_t type,
                                          bool values = false)
{
	std::vector<std::string> out;
	props_holder props(drmModeObjectGetProperties(fd, object, type));
	for (uint32_t i = 0; props && i < props->count_props; i++) {
		property_holder p(drmModeGetProperty(fd, props->props[i]));
		out.push_back(std::string(p ? p->name : "?") +
		              (values ? "=" + std::to_string(props->prop_values[i]) : ""));
	}
	return out;
}

// Every test starts from a freshly installed card and one open descriptor.
class card : public ::testing::Test
{
protected:
	void SetUp() override
	{
		sim::install(topology());
		fd_ = open_card();
		ASSERT_GE(fd_, 0) << strerror(errno);
	}
	void TearDown() override
	{
		if (fd_ >= 0)
			close(fd_);
	}
	virtual sim::topology topology()
	{
		return two_pipes();
	}
	int fd_ = -1;
};

} // namespace card_test
