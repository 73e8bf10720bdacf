// Dumb buffers, their mappings and framebuffers on the virtual card.
#include "tests/sim/card_fixture.h"

namespace
{

using namespace card_test;

using card_dumb = card;

TEST_F(card_dumb, create_checks_sizes_as_the_core_does)
{
	dumb b;
	EXPECT_EQ(create_dumb(fd_, 0, 10, 32, &b), EINVAL);
	EXPECT_EQ(create_dumb(fd_, 10, 0, 32, &b), EINVAL);
	EXPECT_EQ(create_dumb(fd_, 10, 10, 0, &b), EINVAL);
	EXPECT_EQ(create_dumb(fd_, 10, 10, 0xfffffffa, &b), EINVAL);
	EXPECT_EQ(create_dumb(fd_, 0x40000000, 1, 32, &b), EINVAL);
	EXPECT_EQ(create_dumb(fd_, 0x10000, 0x10000, 32, &b), EINVAL);
	EXPECT_EQ(create_dumb(fd_, 10, 10, 12, &b), EINVAL) << "whole bytes per pixel only";
	EXPECT_EQ(sim::live().dumb_buffers, 0);
}

TEST_F(card_dumb, pitch_and_size_as_a_gem_helper_computes_them)
{
	dumb b;
	// width, height, bpp; pitch and size
	const uint32_t cases[][5] = {
	        {64, 48, 24, 192, 12288}, {1024, 768, 32, 4096, 3145728}, {1, 1, 16, 2, 4096}};
	for (const auto &k : cases) {
		ASSERT_EQ(create_dumb(fd_, k[0], k[1], k[2], &b), 0) << k[0];
		EXPECT_EQ(b.pitch, k[3]) << k[0];
		EXPECT_EQ(b.size, k[4]) << k[0];
	}
	EXPECT_EQ(sim::live().dumb_buffers, 3);

	sim::topology t = two_pipes();
	t.driver.pitch_align = 64;
	t.driver.dumb_bpp = {32, 24};
	sim::install(t);
	ASSERT_EQ(create_dumb(fd_, 100, 10, 24, &b), 0);
	EXPECT_EQ(b.pitch, 320u);
	EXPECT_EQ(b.size, 4096u);
	EXPECT_EQ(create_dumb(fd_, 100, 10, 16, &b), EINVAL);
}

TEST_F(card_dumb, handles_are_per_file_and_reused_lowest_first)
{
	dumb a, b, c;
	ASSERT_EQ(create_dumb(fd_, 8, 8, 32, &a), 0);
	ASSERT_EQ(create_dumb(fd_, 8, 8, 32, &b), 0);
	EXPECT_EQ(a.handle, 1u);
	EXPECT_EQ(b.handle, 2u);
	const int other = open_card();
	ASSERT_GE(other, 0);
	ASSERT_EQ(create_dumb(other, 8, 8, 32, &c), 0);
	EXPECT_EQ(c.handle, 1u);
	EXPECT_EQ(destroy_dumb(fd_, 1), 0);
	EXPECT_EQ(destroy_dumb(fd_, 1), EINVAL);
	EXPECT_EQ(destroy_dumb(fd_, 77), EINVAL);
	ASSERT_EQ(create_dumb(fd_, 8, 8, 32, &a), 0);
	EXPECT_EQ(a.handle, 1u);
	EXPECT_EQ(sim::live().dumb_buffers, 3);
	close(other);
	EXPECT_EQ(sim::live().dumb_buffers, 2);
}

TEST_F(card_dumb, mappings_are_shared_memory)
{
	dumb b;
	ASSERT_EQ(create_dumb(fd_, 16, 16, 32, &b), 0);
	drm_mode_map_dumb req{};
	req.handle = b.handle;
	ASSERT_EQ(drmIoctl(fd_, DRM_IOCTL_MODE_MAP_DUMB, &req), 0);
	EXPECT_GE(req.offset, 0x100000000ull);
	EXPECT_EQ(req.offset % 4096, 0u);
	auto *one = static_cast<uint8_t *>(
	        mmap(nullptr, b.size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, off_t(req.offset)));
	ASSERT_NE(one, MAP_FAILED);
	auto *two = static_cast<uint8_t *>(
	        mmap(nullptr, b.size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, off_t(req.offset)));
	ASSERT_NE(two, MAP_FAILED);
	EXPECT_NE(one, two);
	EXPECT_EQ(sim::live().mappings, 2);
	one[100] = 0x5a;
	EXPECT_EQ(two[100], 0x5a);

	// The mapping keeps the buffer alive after its handle is gone.
	EXPECT_EQ(destroy_dumb(fd_, b.handle), 0);
	EXPECT_EQ(sim::live().dumb_buffers, 1);
	EXPECT_EQ(drmUnmap(one, b.size), 0);
	EXPECT_EQ(sim::live().mappings, 1);
	EXPECT_EQ(two[100], 0x5a);
	EXPECT_EQ(munmap(two, b.size), 0);
	EXPECT_EQ(sim::live().mappings, 0);
	EXPECT_EQ(sim::live().dumb_buffers, 0);
}

TEST_F(card_dumb, unmapping_part_of_a_mapping_leaves_the_rest)
{
	dumb b;
	ASSERT_EQ(create_dumb(fd_, 64, 64, 32, &b), 0);
	ASSERT_EQ(b.size, 16384u);
	ASSERT_EQ(map_dumb(fd_, &b), 0);
	EXPECT_EQ(munmap(b.map + 4096, 4096), 0);
	EXPECT_EQ(sim::live().mappings, 2);
	b.map[0] = 1;
	b.map[12288] = 2;
	EXPECT_EQ(munmap(b.map, 4096), 0);
	EXPECT_EQ(munmap(b.map + 8192, 8192), 0);
	EXPECT_EQ(sim::live().mappings, 0);
	EXPECT_EQ(sim::live().dumb_buffers, 1);
}

// A kernel buffer is no descriptor of the process: the next file it opens gets the same number
// with or without buffers.
TEST_F(card_dumb, buffers_leave_the_low_descriptors_free)
{
	const int probe = open("/dev/null", O_RDONLY);
	ASSERT_GE(probe, 0);
	close(probe);
	dumb a, b;
	ASSERT_EQ(create_dumb(fd_, 64, 64, 32, &a), 0);
	ASSERT_EQ(create_dumb(fd_, 64, 64, 24, &b), 0);
	const int next = open("/dev/null", O_RDONLY);
	EXPECT_EQ(next, probe);
	close(next);
}

// Resident memory: what one buffer leaves behind is never seen by the next, the counters are
// those of fresh memory, and a buffer of another size gets memory of its own.
TEST_F(card_dumb, resident_memory_is_handed_on_zeroed)
{
	sim::topology t = two_pipes();
	t.driver.resident_buffers = true;
	sim::install(t);
	dumb a;
	ASSERT_EQ(create_dumb(fd_, 64, 64, 32, &a), 0);
	ASSERT_EQ(map_dumb(fd_, &a), 0);
	memset(a.map, 0xa5, a.size);
	uint8_t *const first_map = a.map;
	EXPECT_EQ(munmap(a.map, a.size), 0);
	EXPECT_EQ(sim::live().mappings, 0);
	EXPECT_EQ(destroy_dumb(fd_, a.handle), 0);
	EXPECT_EQ(sim::live().dumb_buffers, 0);

	dumb b;
	ASSERT_EQ(create_dumb(fd_, 64, 64, 32, &b), 0);
	ASSERT_EQ(map_dumb(fd_, &b), 0);
	EXPECT_EQ(b.map, first_map) << "the kept mapping serves the next buffer of that size";
	EXPECT_EQ(sim::live().mappings, 1);
	size_t nonzero = 0;
	for (uint64_t i = 0; i < b.size; i++)
		nonzero += b.map[i] != 0;
	EXPECT_EQ(nonzero, 0u);

	// Still the buffer's memory: a second mapping and the screen see what is written.
	b.map[8] = 0x77;
	dumb second = b;
	ASSERT_EQ(map_dumb(fd_, &second), 0);
	EXPECT_NE(second.map, b.map);
	EXPECT_EQ(second.map[8], 0x77);
	EXPECT_EQ(munmap(second.map, b.size), 0);

	dumb c;
	ASSERT_EQ(create_dumb(fd_, 32, 32, 32, &c), 0);
	ASSERT_EQ(map_dumb(fd_, &c), 0);
	EXPECT_NE(c.map, b.map);
	EXPECT_EQ(sim::live().dumb_buffers, 2);
	EXPECT_EQ(sim::live().mappings, 2);
}

// Resident memory goes with the card: installing a new one leaves no descriptor behind.
TEST_F(card_dumb, resident_memory_is_released_with_the_card)
{
	sim::topology t = two_pipes();
	t.driver.resident_buffers = true;
	sim::install(t);
	const int fd = open_card();
	const auto descriptors = [] {
		int n = 0;
		for (int i = 0; i < 1024; i++)
			n += fcntl(i, F_GETFD) != -1;
		return n;
	};
	const int before = descriptors();
	for (int k = 0; k < 12; k++) {
		dumb b;
		ASSERT_EQ(create_dumb(fd, 1024, 1 + uint32_t(k), 32, &b), 0);
		ASSERT_EQ(map_dumb(fd, &b), 0);
		EXPECT_EQ(munmap(b.map, b.size), 0);
		EXPECT_EQ(destroy_dumb(fd, b.handle), 0);
	}
	EXPECT_LE(descriptors(), before + 8) << "a bounded number of buffers is kept";
	close(fd);
	sim::install(two_pipes());
	EXPECT_EQ(descriptors(), before - 1);
}

TEST_F(card_dumb, map_and_mmap_refusals)
{
	drm_mode_map_dumb req{};
	req.handle = 5;
	EXPECT_EQ(errno_of([&] { return drmIoctl(fd_, DRM_IOCTL_MODE_MAP_DUMB, &req); }), ENOENT);

	dumb b;
	ASSERT_EQ(create_dumb(fd_, 16, 16, 32, &b), 0);
	req.handle = b.handle;
	ASSERT_EQ(drmIoctl(fd_, DRM_IOCTL_MODE_MAP_DUMB, &req), 0);
	const off_t off = off_t(req.offset);
	const int other = open_card();
	ASSERT_GE(other, 0);
	auto mapped = [&](uint64_t length, int flags, off_t at, int fd) {
		return errno_of([&] { return mmap(nullptr, length, PROT_READ, flags, fd, at); });
	};
	EXPECT_EQ(mapped(b.size, MAP_PRIVATE, off, fd_), EINVAL);
	EXPECT_EQ(mapped(b.size, MAP_SHARED, off + 4096, fd_), EINVAL);
	EXPECT_EQ(mapped(b.size + 4096, MAP_SHARED, off, fd_), EINVAL);
	EXPECT_EQ(mapped(b.size, MAP_SHARED, off, other), EACCES) << "a file without a handle";
	close(other);

	sim::fail_mmap(ENOMEM, 1);
	EXPECT_EQ(mapped(b.size, MAP_SHARED, off, fd_), ENOMEM);
	void *p = mmap(nullptr, b.size, PROT_READ, MAP_SHARED, fd_, off);
	ASSERT_NE(p, MAP_FAILED);
	EXPECT_EQ(munmap(p, b.size), 0);
	EXPECT_EQ(sim::live().mappings, 0);
}

using card_fb = card;

TEST_F(card_fb, add_fb2_accepts_a_fitting_buffer_and_lists_it)
{
	dumb b;
	ASSERT_EQ(create_dumb(fd_, 64, 48, 24, &b), 0);
	uint32_t fb = 0;
	ASSERT_EQ(add_fb(fd_, 64, 48, DRM_FORMAT_RGB888, b, &fb), 0);
	EXPECT_EQ(sim::live().framebuffers, 1);
	dumb c;
	ASSERT_EQ(create_dumb(fd_, 64, 48, 32, &c), 0);
	uint32_t fb2 = 0;
	ASSERT_EQ(add_fb(fd_, 64, 48, DRM_FORMAT_XRGB8888, c, &fb2), 0);
	res_holder res(drmModeGetResources(fd_));
	ASSERT_TRUE(res);
	EXPECT_EQ(id_list(res->fbs, res->count_fbs), (std::vector<uint32_t>{fb2, fb}))
	        << "newest first";

	// Framebuffers keep their buffers alive; the handles can go.
	EXPECT_EQ(destroy_dumb(fd_, b.handle), 0);
	EXPECT_EQ(sim::live().dumb_buffers, 2);
	EXPECT_EQ(drmModeRmFB(fd_, fb), 0);
	EXPECT_EQ(sim::live().dumb_buffers, 1);
	EXPECT_EQ(sim::live().framebuffers, 1);
	EXPECT_EQ(drmModeRmFB(fd_, fb), -ENOENT);
	// Ids are reused lowest first.
	uint32_t fb3 = 0;
	ASSERT_EQ(add_fb(fd_, 64, 48, DRM_FORMAT_XRGB8888, c, &fb3), 0);
	EXPECT_EQ(fb3, fb);
}

TEST_F(card_fb, add_fb2_refusals)
{
	dumb b;
	ASSERT_EQ(create_dumb(fd_, 64, 48, 32, &b), 0);
	uint32_t fb = 0;
	dumb missing = b;
	missing.handle = 9;
	EXPECT_EQ(add_fb(fd_, 64, 48, DRM_FORMAT_XRGB8888, missing, &fb), ENOENT);
	dumb none = b;
	none.handle = 0;
	EXPECT_EQ(add_fb(fd_, 64, 48, DRM_FORMAT_XRGB8888, none, &fb), EINVAL);
	dumb narrow = b;
	narrow.pitch = 255;
	EXPECT_EQ(add_fb(fd_, 64, 48, DRM_FORMAT_XRGB8888, narrow, &fb), EINVAL);
	EXPECT_EQ(add_fb(fd_, 64, 49, DRM_FORMAT_XRGB8888, b, &fb), EINVAL) << "beyond the buffer";
	EXPECT_EQ(add_fb(fd_, 64, 48, fourcc_code('N', 'O', 'P', 'E'), b, &fb), EINVAL);
	EXPECT_EQ(add_fb(fd_, 64, 48, DRM_FORMAT_RGB332, b, &fb), EINVAL) << "no plane offers it";
	EXPECT_EQ(add_fb(fd_, 8193, 1, DRM_FORMAT_XRGB8888, b, &fb), EINVAL);
	dumb huge = b;
	huge.pitch = 0x40000000;
	EXPECT_EQ(add_fb(fd_, 64, 48, DRM_FORMAT_XRGB8888, huge, &fb), ERANGE);

	uint32_t handles[4] = {b.handle}, pitches[4] = {b.pitch}, offsets[4] = {};
	uint64_t modifiers[4] = {DRM_FORMAT_MOD_LINEAR};
	EXPECT_EQ(drmModeAddFB2(fd_, 64, 48, DRM_FORMAT_XRGB8888, handles, pitches, offsets, &fb,
	                        0x80),
	          -EINVAL);
	EXPECT_EQ(drmModeAddFB2WithModifiers(fd_, 64, 48, DRM_FORMAT_XRGB8888, handles, pitches,
	                                     offsets, modifiers, &fb, DRM_MODE_FB_MODIFIERS),
	          0);
	modifiers[0] = I915_FORMAT_MOD_X_TILED;
	EXPECT_EQ(drmModeAddFB2WithModifiers(fd_, 64, 48, DRM_FORMAT_XRGB8888, handles, pitches,
	                                     offsets, modifiers, &fb, DRM_MODE_FB_MODIFIERS),
	          -EINVAL);
	EXPECT_EQ(sim::live().framebuffers, 1);

	// A driver's own format list replaces the planes' (vkms takes RG24 that no plane offers).
	sim::topology t = two_pipes();
	t.driver.fb_formats = {DRM_FORMAT_RGB332};
	t.driver.min_width = 20;
	sim::install(t);
	ASSERT_EQ(create_dumb(fd_, 64, 48, 32, &b), 0);
	EXPECT_EQ(add_fb(fd_, 64, 48, DRM_FORMAT_XRGB8888, b, &fb), EINVAL);
	dumb small;
	ASSERT_EQ(create_dumb(fd_, 64, 48, 8, &small), 0);
	EXPECT_EQ(add_fb(fd_, 64, 48, DRM_FORMAT_RGB332, small, &fb), 0);
	EXPECT_EQ(add_fb(fd_, 19, 48, DRM_FORMAT_RGB332, small, &fb), EINVAL);
}

TEST_F(card_fb, framebuffers_belong_to_their_file_and_go_with_it)
{
	const int other = open_card();
	ASSERT_GE(other, 0);
	dumb b;
	ASSERT_EQ(create_dumb(other, 32, 32, 32, &b), 0);
	uint32_t fb = 0;
	ASSERT_EQ(add_fb(other, 32, 32, DRM_FORMAT_XRGB8888, b, &fb), 0);
	EXPECT_EQ(drmModeRmFB(fd_, fb), -ENOENT);
	res_holder res(drmModeGetResources(fd_));
	ASSERT_TRUE(res);
	EXPECT_EQ(res->count_fbs, 0);
	ASSERT_EQ(map_dumb(other, &b), 0);
	close(other);
	EXPECT_EQ(sim::live().framebuffers, 0);
	EXPECT_EQ(sim::live().dumb_buffers, 1) << "still mapped";
	EXPECT_EQ(munmap(b.map, b.size), 0);
	EXPECT_EQ(sim::live().dumb_buffers, 0);
}

} // namespace
