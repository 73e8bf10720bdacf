// The picture a CRTC shows: planes composed in z order, scaled nearest-neighbour, clipped, in
// each pixel format the card reads.
#include <array>

#include "tests/sim/card_fixture.h"

namespace
{

using namespace card_test;

using rgb = std::array<uint8_t, 3>;

rgb at(const sim::image &img, uint32_t x, uint32_t y)
{
	const uint8_t *p = img.pixel(x, y);
	return {p[0], p[1], p[2]};
}

class card_screen : public card
{
protected:
	void SetUp() override
	{
		card::SetUp();
		ASSERT_EQ(set_atomic(fd_), 0);
	}

	struct buffer {
		dumb b;
		uint32_t fb = 0;
		uint32_t cpp = 0;
		uint8_t *pixel(uint32_t x, uint32_t y)
		{
			return b.map + size_t(y) * b.pitch + size_t(x) * cpp;
		}
	};

	buffer make(uint32_t w, uint32_t h, uint32_t format)
	{
		buffer out;
		out.cpp = format == DRM_FORMAT_RGB888 || format == DRM_FORMAT_BGR888   ? 3
		          : format == DRM_FORMAT_RGB565 || format == DRM_FORMAT_BGR565 ? 2
		                                                                       : 4;
		EXPECT_EQ(create_dumb(fd_, w, h, out.cpp * 8, &out.b), 0);
		EXPECT_EQ(map_dumb(fd_, &out.b), 0);
		EXPECT_EQ(add_fb(fd_, w, h, format, out.b, &out.fb), 0);
		return out;
	}

	// Shows src (whole pixels) of the buffer at the CRTC rectangle on CRTC 0.
	int show(int plane, const buffer &buf, uint32_t sx, uint32_t sy, uint32_t sw, uint32_t sh,
	         int32_t x, int32_t y, uint32_t w, uint32_t h)
	{
		const uint32_t id = sim::plane_id(plane);
		return request(fd_)
		        .set(id, k_plane, "FB_ID", buf.fb)
		        .set(id, k_plane, "CRTC_ID", sim::crtc_id(0))
		        .set(id, k_plane, "SRC_X", uint64_t(sx) << 16)
		        .set(id, k_plane, "SRC_Y", uint64_t(sy) << 16)
		        .set(id, k_plane, "SRC_W", uint64_t(sw) << 16)
		        .set(id, k_plane, "SRC_H", uint64_t(sh) << 16)
		        .set(id, k_plane, "CRTC_X", uint64_t(int64_t(x)))
		        .set(id, k_plane, "CRTC_Y", uint64_t(int64_t(y)))
		        .set(id, k_plane, "CRTC_W", w)
		        .set(id, k_plane, "CRTC_H", h)
		        .commit();
	}
};

TEST_F(card_screen, a_full_screen_primary_shows_every_pixel)
{
	buffer buf = make(1920, 1080, DRM_FORMAT_XRGB8888);
	for (uint32_t y = 0; y < 1080; y++) {
		for (uint32_t x = 0; x < 1920; x++) {
			uint8_t *p = buf.pixel(x, y);
			p[0] = uint8_t(x + y); // blue
			p[1] = uint8_t(y);     // green
			p[2] = uint8_t(x);     // red
			p[3] = 0x77;
		}
	}
	ASSERT_EQ(show(0, buf, 0, 0, 1920, 1080, 0, 0, 1920, 1080), 0);
	const sim::image img = sim::screen(0);
	ASSERT_EQ(img.width, 1920u);
	ASSERT_EQ(img.height, 1080u);
	ASSERT_EQ(img.rgb.size(), 1920u * 1080 * 3);
	int wrong = 0;
	for (uint32_t y = 0; y < 1080; y++)
		for (uint32_t x = 0; x < 1920; x++)
			wrong += at(img, x, y) != rgb{uint8_t(x), uint8_t(y), uint8_t(x + y)};
	EXPECT_EQ(wrong, 0);
	EXPECT_TRUE(sim::screen(1).rgb.empty()) << "CRTC 1 is off";
	EXPECT_EQ(sim::screen(1).width, 0u);
	EXPECT_TRUE(sim::screen(7).rgb.empty());
}

TEST_F(card_screen, planes_stack_in_z_order_over_black)
{
	buffer red = make(1920, 1080, DRM_FORMAT_XRGB8888);
	buffer blue = make(4, 4, DRM_FORMAT_XRGB8888);
	buffer green = make(4, 4, DRM_FORMAT_XRGB8888);
	buffer white = make(1, 1, DRM_FORMAT_ARGB8888);
	for (uint32_t y = 0; y < 4; y++) {
		for (uint32_t x = 0; x < 4; x++) {
			memcpy(blue.pixel(x, y), "\xff\x00\x00\x00", 4);
			memcpy(green.pixel(x, y), "\x00\xff\x00\x00", 4);
		}
	}
	memcpy(white.pixel(0, 0), "\xff\xff\xff\x00", 4);
	// Overlays and the cursor first, so a later primary must still go beneath them.
	ASSERT_EQ(show(4, white, 0, 0, 1, 1, 13, 13, 1, 1), 0);
	ASSERT_EQ(show(3, green, 0, 0, 4, 4, 12, 12, 4, 4), 0);
	ASSERT_EQ(show(2, blue, 0, 0, 4, 4, 10, 10, 4, 4), 0);
	sim::image img = sim::screen(0);
	EXPECT_EQ(at(img, 0, 0), (rgb{0, 0, 0})) << "black where no plane is";
	EXPECT_EQ(at(img, 11, 11), (rgb{0, 0, 255}));
	EXPECT_EQ(at(img, 12, 12), (rgb{0, 255, 0})) << "the later overlay is on top";
	EXPECT_EQ(at(img, 13, 13), (rgb{255, 255, 255})) << "the cursor is on top of all";
	EXPECT_EQ(at(img, 15, 15), (rgb{0, 255, 0}));
	EXPECT_EQ(at(img, 16, 16), (rgb{0, 0, 0}));

	for (uint32_t y = 0; y < 1080; y++)
		for (uint32_t x = 0; x < 1920; x++)
			memcpy(red.pixel(x, y), "\x00\x00\xff\x00", 4);
	ASSERT_EQ(show(0, red, 0, 0, 1920, 1080, 0, 0, 1920, 1080), 0);
	img = sim::screen(0);
	EXPECT_EQ(at(img, 0, 0), (rgb{255, 0, 0}));
	EXPECT_EQ(at(img, 11, 11), (rgb{0, 0, 255}));
	EXPECT_EQ(at(img, 13, 13), (rgb{255, 255, 255}));
	EXPECT_EQ(at(img, 1919, 1079), (rgb{255, 0, 0}));
}

TEST_F(card_screen, rg24_is_blue_first_in_memory_unless_the_driver_reads_red_first)
{
	for (bool red_first : {false, true}) {
		sim::topology t = two_pipes();
		if (red_first) // the default reads it blue first
			t.driver.rg24_red_first = true;
		sim::install(t);
		buffer buf = make(2, 1, DRM_FORMAT_RGB888);
		memcpy(buf.pixel(0, 0), "\x10\x20\x30", 3);
		memcpy(buf.pixel(1, 0), "\xff\x00\x00", 3);
		ASSERT_EQ(show(2, buf, 0, 0, 2, 1, 0, 0, 2, 1), 0);
		const sim::image img = sim::screen(0);
		EXPECT_EQ(at(img, 0, 0),
		          (red_first ? rgb{0x10, 0x20, 0x30} : rgb{0x30, 0x20, 0x10}));
		EXPECT_EQ(at(img, 1, 0), (red_first ? rgb{255, 0, 0} : rgb{0, 0, 255}));
	}
}

TEST_F(card_screen, other_formats_read_as_drm_defines_them)
{
	struct sample {
		uint32_t format;
		int plane;
		const char *bytes;
		rgb expect;
	};
	const sample samples[] = {
	        {DRM_FORMAT_ARGB8888, 2, "\x01\x02\x03\x80", {3, 2, 1}},
	        {DRM_FORMAT_XBGR8888, 2, "\x01\x02\x03\x00", {1, 2, 3}},
	        {DRM_FORMAT_ABGR8888, 2, "\x01\x02\x03\xff", {1, 2, 3}},
	        {DRM_FORMAT_BGR888, 2, "\x01\x02\x03", {1, 2, 3}},
	        // RGB565 little-endian: 0xf800 is pure red, 0x07e0 green, 0x001f blue.
	        {DRM_FORMAT_RGB565, 0, "\x00\xf8", {255, 0, 0}},
	        {DRM_FORMAT_RGB565, 0, "\xe0\x07", {0, 255, 0}},
	        {DRM_FORMAT_RGB565, 0, "\x1f\x00", {0, 0, 255}},
	        {DRM_FORMAT_RGB565, 0, "\x10\x84", {132, 130, 132}},
	};
	// Each sample at its own place, since an overlay stays above the primary plane.
	int32_t x = 0;
	for (const sample &s : samples) {
		buffer buf = make(1, 1, s.format);
		memcpy(buf.pixel(0, 0), s.bytes, buf.cpp);
		x += 2;
		ASSERT_EQ(show(s.plane, buf, 0, 0, 1, 1, x, 5, 1, 1), 0) << s.format;
		EXPECT_EQ(at(sim::screen(0), uint32_t(x), 5), s.expect) << std::hex << s.format;
	}
}

TEST_F(card_screen, scaling_is_nearest_neighbour_from_the_source_rectangle)
{
	buffer buf = make(4, 2, DRM_FORMAT_XRGB8888);
	for (uint32_t y = 0; y < 2; y++)
		for (uint32_t x = 0; x < 4; x++)
			buf.pixel(x, y)[2] =
			        uint8_t(10 * (y * 4 + x + 1)); // red channel numbers pixels
	// Source columns 1..2 of both rows, stretched to 5x4 at (20, 30).
	ASSERT_EQ(show(3, buf, 1, 0, 2, 2, 20, 30, 5, 4), 0);
	const sim::image img = sim::screen(0);
	auto red = [&](uint32_t x, uint32_t y) { return at(img, x, y)[0]; };
	// Column i shows source x 1 + i * 2 / 5: 1, 1, 1, 2, 2; row j shows y j * 2 / 4.
	const uint8_t row0[5] = {20, 20, 20, 30, 30};
	const uint8_t row1[5] = {60, 60, 60, 70, 70};
	for (uint32_t i = 0; i < 5; i++) {
		EXPECT_EQ(red(20 + i, 30), row0[i]) << i;
		EXPECT_EQ(red(20 + i, 31), row0[i]) << i;
		EXPECT_EQ(red(20 + i, 32), row1[i]) << i;
		EXPECT_EQ(red(20 + i, 33), row1[i]) << i;
	}
	EXPECT_EQ(red(25, 30), 0);
	EXPECT_EQ(red(20, 34), 0);
}

TEST_F(card_screen, planes_are_clipped_to_the_mode)
{
	buffer buf = make(4, 1, DRM_FORMAT_XRGB8888);
	for (uint32_t x = 0; x < 4; x++)
		buf.pixel(x, 0)[2] = uint8_t(100 + x);
	ASSERT_EQ(show(3, buf, 0, 0, 4, 1, -2, 0, 4, 1), 0);
	sim::image img = sim::screen(0);
	EXPECT_EQ(at(img, 0, 0)[0], 102);
	EXPECT_EQ(at(img, 1, 0)[0], 103);
	EXPECT_EQ(at(img, 2, 0)[0], 0);
	ASSERT_EQ(show(3, buf, 0, 0, 4, 1, 1918, 1079, 4, 1), 0);
	img = sim::screen(0);
	EXPECT_EQ(at(img, 1918, 1079)[0], 100);
	EXPECT_EQ(at(img, 1919, 1079)[0], 101);
}

TEST_F(card_screen, rows_follow_the_pitch)
{
	sim::topology t = two_pipes();
	t.driver.pitch_align = 256;
	sim::install(t);
	buffer buf = make(10, 2, DRM_FORMAT_XRGB8888);
	ASSERT_EQ(buf.b.pitch, 256u);
	memcpy(buf.pixel(3, 1), "\x00\x00\xc8\x00", 4);
	ASSERT_EQ(show(3, buf, 0, 0, 10, 2, 0, 0, 10, 2), 0);
	const sim::image img = sim::screen(0);
	EXPECT_EQ(at(img, 3, 1), (rgb{200, 0, 0}));
	EXPECT_EQ(at(img, 3, 0), (rgb{0, 0, 0}));
}

} // namespace
