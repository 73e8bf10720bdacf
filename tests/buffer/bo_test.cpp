#include <cerrno>
#include <cstring>
#include <string>
#include <sys/mman.h>

#include <drm_fourcc.h>
#include <gtest/gtest.h>

#include "buffer/bo.h"
#include "sim/sim.h"
#include "tests/support/capture.h"
#include "tests/support/card.h"

namespace
{

constexpr uint32_t fourcc(const char (&code)[5])
{
	return uint32_t(code[0]) | uint32_t(code[1]) << 8 | uint32_t(code[2]) << 16 |
	       uint32_t(code[3]) << 24;
}

sim::topology card(uint32_t pitch_align = 1)
{
	sim::topology t;
	t.driver.pitch_align = pitch_align;
	t.planes = {test_plane(DRM_PLANE_TYPE_PRIMARY, {DRM_FORMAT_RGB888, DRM_FORMAT_XRGB8888})};
	t.crtcs = {sim::crtc_def{}};
	return t;
}

class Buffer : public ::testing::Test
{
protected:
	void SetUp() override
	{
		install_card(card());
		fd = open_atomic_card();
		ASSERT_GT(fd, 0);
		sim::clear_records();
	}
	void TearDown() override
	{
		install_card(sim::topology{});
	}
	// Tears a buffer down the way its owner does and checks nothing is left on the card.
	void release(bo *b)
	{
		bo_release(b);
		sim::live_counts live = sim::live();
		EXPECT_EQ(live.dumb_buffers, 0);
		EXPECT_EQ(live.mappings, 0);
		EXPECT_EQ(live.framebuffers, 0);
	}
	int fd = -1;
};

// Bits per pixel and rows asked of the kernel for a picture of 64 x 9, by format.
struct format_case {
	uint32_t format;
	uint32_t bpp;
	uint32_t rows;
};

TEST_F(Buffer, EveryFormatOfTheTableAsksForItsDepthAndRows)
{
	const format_case cases[] = {
	        {fourcc("XR12"), 16, 9}, {fourcc("XB12"), 16, 9}, {fourcc("RX12"), 16, 9},
	        {fourcc("BX12"), 16, 9}, {fourcc("AR12"), 16, 9}, {fourcc("AB12"), 16, 9},
	        {fourcc("RA12"), 16, 9}, {fourcc("BA12"), 16, 9}, {fourcc("XR15"), 16, 9},
	        {fourcc("XB15"), 16, 9}, {fourcc("RX15"), 16, 9}, {fourcc("BX15"), 16, 9},
	        {fourcc("AR15"), 16, 9}, {fourcc("AB15"), 16, 9}, {fourcc("RA15"), 16, 9},
	        {fourcc("BA15"), 16, 9}, {fourcc("RG16"), 16, 9}, {fourcc("BG16"), 16, 9},
	        {fourcc("YUYV"), 16, 9}, {fourcc("YVYU"), 16, 9}, {fourcc("UYVY"), 16, 9},
	        {fourcc("VYUY"), 16, 9}, {fourcc("RG24"), 24, 9}, {fourcc("BG24"), 24, 9},
	        {fourcc("XR24"), 32, 9}, {fourcc("XB24"), 32, 9}, {fourcc("RX24"), 32, 9},
	        {fourcc("BX24"), 32, 9}, {fourcc("AR24"), 32, 9}, {fourcc("AB24"), 32, 9},
	        {fourcc("RA24"), 32, 9}, {fourcc("BA24"), 32, 9}, {fourcc("XR30"), 32, 9},
	        {fourcc("XB30"), 32, 9}, {fourcc("RX30"), 32, 9}, {fourcc("BX30"), 32, 9},
	        {fourcc("AR30"), 32, 9}, {fourcc("AB30"), 32, 9}, {fourcc("RA30"), 32, 9},
	        {fourcc("BA30"), 32, 9}, {fourcc("NV12"), 8, 13}, {fourcc("NV21"), 8, 13},
	        {fourcc("YU12"), 8, 13}, {fourcc("YV12"), 8, 13}, {fourcc("NV16"), 8, 18},
	        {fourcc("NV61"), 8, 18},
	};
	for (const format_case &c : cases) {
		SCOPED_TRACE(c.format);
		sim::clear_records();
		bo *b = bo_create(fd, c.format, 64, 9);
		ASSERT_NE(b, nullptr);
		auto created = requests_named("MODE_CREATE_DUMB");
		ASSERT_EQ(created.size(), 1u);
		EXPECT_EQ(created[0].field("width"), 64u);
		EXPECT_EQ(created[0].field("height"), c.rows);
		EXPECT_EQ(created[0].field("bpp"), c.bpp);
		EXPECT_EQ(created[0].field("flags"), 0u);
		EXPECT_EQ(b->width, 64u);
		EXPECT_EQ(b->height, c.rows);
		EXPECT_EQ(b->format, c.format);
		EXPECT_EQ(b->fd, fd);
		EXPECT_EQ(b->fb_id, 0u);
		EXPECT_EQ(b->handle, created[0].field("handle"));
		EXPECT_EQ(b->pitch, created[0].field("pitch"));
		EXPECT_EQ(b->size, created[0].field("size"));
		ASSERT_NE(b->ptr, nullptr);
		auto mapped = requests_named("MODE_MAP_DUMB");
		ASSERT_EQ(mapped.size(), 1u);
		EXPECT_EQ(mapped[0].field("handle"), b->handle);
		release(b);
	}
}

TEST_F(Buffer, OddAndEvenYuvHeights)
{
	bo *b = bo_create(fd, DRM_FORMAT_NV61, 64, 10);
	ASSERT_NE(b, nullptr);
	EXPECT_EQ(b->height, 20u);
	release(b);
	b = bo_create(fd, DRM_FORMAT_YUV420, 64, 1);
	ASSERT_NE(b, nullptr);
	EXPECT_EQ(b->height, 1u); // three half rows, the odd half lost
	release(b);
}

TEST_F(Buffer, UnsupportedFormatAsksTheKernelNothing)
{
	for (uint32_t format : {uint32_t(DRM_FORMAT_R8), uint32_t(DRM_FORMAT_C8),
	                        uint32_t(DRM_FORMAT_AYUV), uint32_t(DRM_FORMAT_YUV422), 0u}) {
		output_capture err(2);
		EXPECT_EQ(bo_create(fd, format, 64, 48), nullptr);
		char expected[64];
		snprintf(expected, sizeof expected, "unsupported format 0x%08x\n", format);
		EXPECT_EQ(err.stop(), expected);
	}
	EXPECT_TRUE(sim::requests().empty());
	EXPECT_EQ(sim::live().dumb_buffers, 0);
}

TEST_F(Buffer, PitchAndSizeAreTheKernelsAndPixelsAreShared)
{
	install_card(card(256));
	fd = open_atomic_card();
	bo *b = bo_create(fd, DRM_FORMAT_RGB888, 64, 48);
	ASSERT_NE(b, nullptr);
	EXPECT_EQ(b->pitch, 256u);
	EXPECT_EQ(b->size, 12288u); // 256 * 48, a whole number of pages
	EXPECT_EQ(sim::live().mappings, 1);

	// The mapping is the card's memory: a second mapping of the same buffer sees the bytes.
	b->ptr[5 * b->pitch + 3 * 7 + 0] = 0x11;
	b->ptr[5 * b->pitch + 3 * 7 + 2] = 0x33;
	drm_mode_map_dumb req{};
	req.handle = b->handle;
	ASSERT_EQ(drmIoctl(fd, DRM_IOCTL_MODE_MAP_DUMB, &req), 0);
	void *second = mmap(nullptr, b->size, PROT_READ, MAP_SHARED, fd, off_t(req.offset));
	ASSERT_NE(second, MAP_FAILED);
	const uint8_t *view = static_cast<const uint8_t *>(second);
	EXPECT_EQ(view[5 * b->pitch + 3 * 7 + 0], 0x11);
	EXPECT_EQ(view[5 * b->pitch + 3 * 7 + 2], 0x33);
	munmap(second, b->size);
	release(b);
}

// A 64-bit kernel gives mmap offsets from 4 GiB up (DRM_FILE_PAGE_OFFSET_START), also to a 32-bit
// process: an armhf player on an arm64 kernel, as 32-bit Raspberry Pi OS runs. A 32-bit off_t cut
// the offset to 0 and the mapping failed, so no frame was ever shown.
TEST_F(Buffer, AnOffsetPastFourGiBIsMappedWhole)
{
	bo *first = bo_create(fd, DRM_FORMAT_RGB888, 64, 48);
	ASSERT_NE(first, nullptr);
	bo *second = bo_create(fd, DRM_FORMAT_XRGB8888, 64, 48);
	ASSERT_NE(second, nullptr);
	auto maps = requests_named("MODE_MAP_DUMB");
	ASSERT_EQ(maps.size(), 2u);
	EXPECT_GE(maps[0].field("offset"), 0x100000000u);
	EXPECT_GT(maps[1].field("offset"), maps[0].field("offset"));
	EXPECT_EQ(sim::live().mappings, 2);

	// Each mapping is its own buffer's memory, not the first one's (offset 0 when cut).
	second->ptr[0] = 0x5a;
	first->ptr[0] = 0xa5;
	drm_mode_map_dumb req{};
	req.handle = second->handle;
	ASSERT_EQ(drmIoctl(fd, DRM_IOCTL_MODE_MAP_DUMB, &req), 0);
	void *again = mmap(nullptr, second->size, PROT_READ, MAP_SHARED, fd, off_t(req.offset));
	ASSERT_NE(again, MAP_FAILED);
	EXPECT_EQ(static_cast<const uint8_t *>(again)[0], 0x5a);
	munmap(again, second->size);
	bo_release(first);
	release(second);
}

TEST_F(Buffer, ZeroSizesAreLeftToTheKernelToRefuse)
{
	for (auto [w, h] : {std::pair{0u, 48u}, std::pair{64u, 0u}}) {
		output_capture err(2);
		EXPECT_EQ(bo_create(fd, DRM_FORMAT_RGB888, w, h), nullptr);
		EXPECT_EQ(err.stop(), "failed to create dumb buffer: Invalid argument\n");
	}
	auto created = requests_named("MODE_CREATE_DUMB");
	ASSERT_EQ(created.size(), 2u);
	EXPECT_EQ(created[0].field("width"), 0u);
	EXPECT_EQ(created[1].field("height"), 0u);
	EXPECT_EQ(sim::live().dumb_buffers, 0);
}

TEST_F(Buffer, UnmapTwiceAndDestroyTwice)
{
	bo *b = bo_create(fd, DRM_FORMAT_RGB888, 64, 48);
	ASSERT_NE(b, nullptr);
	EXPECT_TRUE(bo_live(b));
	unmap_buffer(b);
	EXPECT_EQ(b->ptr, nullptr);
	EXPECT_FALSE(bo_live(b)); // what the ring's release steps skip
	EXPECT_FALSE(bo_live(nullptr));
	EXPECT_EQ(sim::live().mappings, 0);
	unmap_buffer(b); // nothing left to do
	EXPECT_EQ(b->ptr, nullptr);

	sim::clear_records();
	EXPECT_EQ(destroy_buffer(b), 0);
	EXPECT_TRUE(requests_named("MODE_RMFB").empty()); // fb_id 0: no framebuffer call
	uint32_t stale = b->handle;

	// The stale handle is sent again and refused.
	output_capture err(2);
	EXPECT_NE(destroy_buffer(b), 0);
	char expected[96];
	snprintf(expected, sizeof expected,
	         "failed to destroy dumb buffer: Invalid argument fd=0x%x\n", unsigned(fd));
	EXPECT_EQ(err.stop(), expected);
	EXPECT_TRUE(requests_named("MODE_RMFB").empty());
	auto destroyed = requests_named("MODE_DESTROY_DUMB");
	ASSERT_EQ(destroyed.size(), 2u);
	EXPECT_EQ(destroyed[1].field("handle"), stale);
	EXPECT_EQ(destroyed[1].error, EINVAL);
	EXPECT_EQ(b->handle, stale);
	bo_free(b);
	EXPECT_EQ(sim::live().dumb_buffers, 0);
}

TEST_F(Buffer, FailedMappingLeavesNothingBehind)
{
	// The map request refused by the kernel.
	sim::fail_request("MODE_MAP_DUMB", ENOMEM, 1);
	output_capture err(2);
	EXPECT_EQ(bo_create(fd, DRM_FORMAT_RGB888, 64, 48), nullptr);
	EXPECT_EQ(err.stop(), "failed to map buffer: Cannot allocate memory\n");
	EXPECT_EQ(sim::live().dumb_buffers, 0);

	// mmap itself failing.
	sim::fail_mmap(EACCES, 1);
	output_capture err2(2);
	EXPECT_EQ(bo_create(fd, DRM_FORMAT_RGB888, 64, 48), nullptr);
	EXPECT_EQ(err2.stop(), "failed to map buffer: Permission denied\n");
	sim::live_counts live = sim::live();
	EXPECT_EQ(live.dumb_buffers, 0);
	EXPECT_EQ(live.mappings, 0);
	EXPECT_EQ(requests_named("MODE_DESTROY_DUMB").size(), 2u);
}

TEST_F(Buffer, DestroyRemovesTheFramebufferFirst)
{
	bo *b = registered_bo(fd, DRM_FORMAT_RGB888, 64, 48);
	ASSERT_NE(b, nullptr);
	uint32_t fb = b->fb_id;
	EXPECT_EQ(sim::live().framebuffers, 1);
	sim::clear_records();
	release(b);
	auto all = sim::requests();
	ASSERT_EQ(all.size(), 2u);
	EXPECT_EQ(all[0].name, "MODE_RMFB");
	EXPECT_EQ(all[0].field("fb_id"), fb);
	EXPECT_EQ(all[1].name, "MODE_DESTROY_DUMB");
	EXPECT_EQ(all[1].error, 0);
}

} // namespace
