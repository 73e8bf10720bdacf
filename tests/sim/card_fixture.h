// Shared pieces of the virtual card's tests: a small topology, libdrm record holders and
// helpers that go through libdrm and the interposed C library exactly as the player does.
#pragma once

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
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
