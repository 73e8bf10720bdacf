// Simple display pipes on the virtual card: the CRTC check that wants the primary plane on an
// enabled CRTC, and what RMFB of a framebuffer in use does to planes, CRTCs and connectors, on
// such a pipe and on other drivers.
#include "tests/sim/card_fixture.h"
#include "tests/support/wait.h"

namespace
{

using namespace card_test;

// two_pipes() without the card's defaults of scaling and positioning, as the kernel drivers;
// `simple` picks the simple display pipe's CRTC check.
class pipe_test : public card
{
protected:
	void SetUp() override
	{
		card::SetUp();
		ASSERT_EQ(set_atomic(fd_), 0);
	}
	// `both_lit`: CRTC 1 counts vblanks as well, a clock to wait on.
	void start(bool simple, bool both_lit = false)
	{
		sim::topology t = two_pipes();
		t.crtcs[1].active = both_lit;
		t.crtcs[1].mode = t.crtcs[0].mode;
		t.driver.can_scale = false;
		t.driver.can_position = false;
		t.driver.simple_display_pipe = simple;
		sim::install(t);
	}
	uint32_t make_fb(int fd, uint32_t w, uint32_t h, uint8_t grey = 0x80)
	{
		return card_test::make_fb(fd, w, h, DRM_FORMAT_XRGB8888, grey);
	}
	// Plane `plane` showing src_w x src_h of fb at the corner of CRTC 0, w x h.
	template <class R>
	request &show(R &&r, int plane, uint32_t fb, uint32_t src_w, uint32_t src_h, uint32_t w,
	              uint32_t h)
	{
		return card_test::show(r, plane, 0, fb, src_w, src_h, 0, 0, w, h);
	}
	// The errno of a commit (allowed to set modes) of show() on this test's descriptor.
	int shown(int plane, uint32_t fb, uint32_t src_w, uint32_t src_h, uint32_t w, uint32_t h)
	{
		return show(request(fd_), plane, fb, src_w, src_h, w, h)
		        .commit(DRM_MODE_ATOMIC_ALLOW_MODESET);
	}
	// Shows a 1920x1080 framebuffer of fd on CRTC 0's primary plane.
	uint32_t show_primary(int fd, uint8_t grey = 0x80)
	{
		const uint32_t fb = make_fb(fd, 1920, 1080, grey);
		EXPECT_EQ(show(request(fd), 0, fb, 1920, 1080, 1920, 1080)
		                  .commit(DRM_MODE_ATOMIC_ALLOW_MODESET),
		          0);
		return fb;
	}
	uint64_t crtc_value(const char *name)
	{
		return value_of(fd_, sim::crtc_id(0), k_crtc, name);
	}
	uint64_t plane_value(int plane, const char *name)
	{
		return value_of(fd_, sim::plane_id(plane), k_plane, name);
	}
};

TEST_F(pipe_test, an_enabled_crtc_needs_its_primary_plane)
{
	for (bool simple : {false, true}) {
		SCOPED_TRACE(simple ? "simple display pipe" : "other driver");
		start(simple);
		const int want = simple ? EINVAL : 0;
		// Lit at start without any plane: a commit that brings the CRTC in is refused.
		EXPECT_EQ(request(fd_)
		                  .set(sim::crtc_id(0), k_crtc, "ACTIVE", 1)
		                  .commit(DRM_MODE_ATOMIC_ALLOW_MODESET),
		          want);
		EXPECT_EQ(
		        request(fd_)
		                .set(sim::crtc_id(0), k_crtc, "ACTIVE", 1)
		                .commit(DRM_MODE_ATOMIC_TEST_ONLY | DRM_MODE_ATOMIC_ALLOW_MODESET),
		        want);
		// An overlay alone does not count.
		const uint32_t small = make_fb(fd_, 640, 480);
		EXPECT_EQ(shown(3, small, 640, 480, 640, 480), want);
		EXPECT_EQ(plane_value(3, "FB_ID"), simple ? 0u : small);
		// A disabled CRTC needs none.
		request off(fd_);
		EXPECT_EQ(off.set(sim::crtc_id(1), k_crtc, "ACTIVE", 0)
		                  .commit(DRM_MODE_ATOMIC_ALLOW_MODESET),
		          0);
		// With the primary plane the CRTC passes, overlays included.
		const uint32_t full = make_fb(fd_, 1920, 1080);
		EXPECT_EQ(shown(0, full, 1920, 1080, 1920, 1080), 0);
		EXPECT_EQ(shown(3, small, 640, 480, 640, 480), 0);
		// Taking the primary plane away from the lit CRTC is refused; switching the CRTC
		// off with it is not.
		EXPECT_EQ(request(fd_)
		                  .set(sim::plane_id(0), k_plane, "FB_ID", 0)
		                  .set(sim::plane_id(0), k_plane, "CRTC_ID", 0)
		                  .commit(DRM_MODE_ATOMIC_ALLOW_MODESET),
		          want);
		EXPECT_EQ(request(fd_)
		                  .set(sim::plane_id(0), k_plane, "FB_ID", 0)
		                  .set(sim::plane_id(0), k_plane, "CRTC_ID", 0)
		                  .set(sim::plane_id(3), k_plane, "FB_ID", 0)
		                  .set(sim::plane_id(3), k_plane, "CRTC_ID", 0)
		                  .set(sim::connector_id(0), k_conn, "CRTC_ID", 0)
		                  .set(sim::crtc_id(0), k_crtc, "MODE_ID", 0)
		                  .set(sim::crtc_id(0), k_crtc, "ACTIVE", 0)
		                  .commit(DRM_MODE_ATOMIC_ALLOW_MODESET),
		          0);
		EXPECT_EQ(crtc_value("ACTIVE"), 0u);
	}
}

TEST_F(pipe_test, the_crtc_check_comes_after_every_plane_check)
{
	start(true);
	// An overlay that would need scaling on a CRTC without its primary plane: the plane's
	// ERANGE wins over the CRTC's EINVAL.
	const uint32_t small = make_fb(fd_, 640, 480);
	EXPECT_EQ(shown(3, small, 320, 240, 640, 480), ERANGE);
	// A source beyond the framebuffer is the core's ENOSPC, earlier still.
	EXPECT_EQ(shown(3, small, 1280, 480, 1280, 480), ENOSPC);
	// With the primary plane shown, the same overlay is refused for its scaling alone.
	const uint32_t full = make_fb(fd_, 1920, 1080);
	ASSERT_EQ(shown(0, full, 1920, 1080, 1920, 1080), 0);
	EXPECT_EQ(shown(3, small, 320, 240, 640, 480), ERANGE);
	EXPECT_EQ(shown(3, small, 640, 480, 640, 480), 0);
}

TEST_F(pipe_test, removing_the_primary_planes_framebuffer_switches_a_simple_pipe_off)
{
	start(true, true);
	// A mode of the client's own, whose blob it destroys at once: the CRTC keeps it alive.
	const drmModeModeInfo mode = connector_mode(fd_, 0, 0);
	uint32_t blob = mode_blob(fd_, mode);
	const uint32_t fb = make_fb(fd_, 1920, 1080);
	ASSERT_EQ(show(request(fd_), 0, fb, 1920, 1080, 1920, 1080)
	                  .set(sim::crtc_id(0), k_crtc, "MODE_ID", blob)
	                  .commit(DRM_MODE_ATOMIC_ALLOW_MODESET),
	          0);
	ASSERT_EQ(drmModeDestroyPropertyBlob(fd_, blob), 0);
	ASSERT_EQ(sim::live().blobs, 1);
	sim::clear_records();
	const uint64_t vblanks = sim::vblank_count(0);

	EXPECT_EQ(drmModeRmFB(fd_, fb), 0);
	// Taking only the plane off fails the pipe's check; the retry switches the CRTC off and
	// detaches its connector.
	EXPECT_EQ(plane_value(0, "FB_ID"), 0u);
	EXPECT_EQ(plane_value(0, "CRTC_ID"), 0u);
	EXPECT_EQ(crtc_value("ACTIVE"), 0u);
	EXPECT_EQ(crtc_value("MODE_ID"), 0u);
	EXPECT_EQ(value_of(fd_, sim::connector_id(0), k_conn, "CRTC_ID"), 0u);
	crtc_holder c(drmModeGetCrtc(fd_, sim::crtc_id(0)));
	ASSERT_TRUE(c);
	EXPECT_EQ(c->mode_valid, 0);
	EXPECT_EQ(c->buffer_id, 0u);
	EXPECT_TRUE(sim::screen(0).rgb.empty());
	// Only FB_ID and CRTC_ID change; the plane keeps its rectangles.
	EXPECT_EQ(plane_value(0, "SRC_W"), 1920u << 16);
	EXPECT_EQ(plane_value(0, "CRTC_H"), 1080u);
	// The mode's blob goes with the CRTC's state.
	EXPECT_EQ(sim::live().blobs, 0);
	EXPECT_EQ(errno_of([&] { return drmModeGetPropertyBlob(fd_, blob); }), ENOENT);
	EXPECT_EQ(sim::live().framebuffers, 0);
	EXPECT_EQ(sim::live().dumb_buffers, 1) << "the test's handle still holds the buffer";
	// The pipe stops counting vblanks while the other one counts three.
	const uint64_t stopped = sim::vblank_count(0);
	EXPECT_GE(stopped, vblanks);
	const uint64_t other = sim::vblank_count(1);
	EXPECT_TRUE(wait_until([&] { return sim::vblank_count(1) >= other + 3; }));
	EXPECT_EQ(sim::vblank_count(0), stopped);
	EXPECT_TRUE(sim::commits().empty()) << "no client commit";
	// The pipe comes back with a full commit.
	const uint32_t again = make_fb(fd_, 1920, 1080, 0x40);
	request relight(fd_);
	blob = mode_blob(fd_, mode);
	EXPECT_EQ(show(relight, 0, again, 1920, 1080, 1920, 1080)
	                  .set(sim::crtc_id(0), k_crtc, "MODE_ID", blob)
	                  .set(sim::crtc_id(0), k_crtc, "ACTIVE", 1)
	                  .set(sim::connector_id(0), k_conn, "CRTC_ID", sim::crtc_id(0))
	                  .commit(DRM_MODE_ATOMIC_ALLOW_MODESET),
	          0);
	EXPECT_EQ(sim::screen(0).pixel(5, 5)[0], 0x40);
}

TEST_F(pipe_test, other_drivers_keep_the_crtc_lit_and_black)
{
	start(false);
	const uint32_t fb = show_primary(fd_, 0xc0);
	const uint64_t mode = crtc_value("MODE_ID");
	ASSERT_EQ(sim::screen(0).pixel(0, 0)[1], 0xc0);
	EXPECT_EQ(drmModeRmFB(fd_, fb), 0);
	EXPECT_EQ(plane_value(0, "FB_ID"), 0u);
	EXPECT_EQ(plane_value(0, "CRTC_ID"), 0u);
	EXPECT_EQ(crtc_value("ACTIVE"), 1u);
	EXPECT_EQ(crtc_value("MODE_ID"), mode);
	EXPECT_EQ(value_of(fd_, sim::connector_id(0), k_conn, "CRTC_ID"), sim::crtc_id(0));
	const sim::image img = sim::screen(0);
	ASSERT_EQ(img.width, 1920u);
	ASSERT_EQ(img.height, 1080u);
	EXPECT_EQ(img.pixel(0, 0)[1], 0);
	EXPECT_EQ(img.pixel(1919, 1079)[1], 0);
}

TEST_F(pipe_test, an_overlays_framebuffer_leaves_only_the_overlay)
{
	start(true);
	const uint32_t primary = show_primary(fd_);
	const uint32_t small = make_fb(fd_, 640, 480, 0x20);
	ASSERT_EQ(shown(3, small, 640, 480, 640, 480), 0);
	EXPECT_EQ(drmModeRmFB(fd_, small), 0);
	EXPECT_EQ(plane_value(3, "FB_ID"), 0u);
	EXPECT_EQ(plane_value(0, "FB_ID"), primary);
	EXPECT_EQ(crtc_value("ACTIVE"), 1u);
	EXPECT_EQ(sim::screen(0).pixel(10, 10)[0], 0x80);
}

TEST_F(pipe_test, closing_the_owner_removes_its_framebuffers_the_same_way)
{
	start(true);
	const int other = open_card();
	ASSERT_GE(other, 0);
	ASSERT_EQ(set_atomic(other), 0);
	pass_master(fd_, other);
	show_primary(other);
	ASSERT_EQ(crtc_value("ACTIVE"), 1u);
	close(other);
	EXPECT_EQ(plane_value(0, "FB_ID"), 0u);
	EXPECT_EQ(crtc_value("ACTIVE"), 0u);
	EXPECT_EQ(crtc_value("MODE_ID"), 0u);
	EXPECT_EQ(value_of(fd_, sim::connector_id(0), k_conn, "CRTC_ID"), 0u);
	EXPECT_EQ(sim::live().framebuffers, 0);
	EXPECT_EQ(sim::live().dumb_buffers, 0);
}

TEST_F(pipe_test, when_the_crtc_cannot_go_off_the_framebuffer_still_leaves_the_plane)
{
	// Switching the CRTC off fails too while an overlay shows another framebuffer on it
	// ("Cannot update plane of a disabled CRTC"). The kernel then leaves the framebuffer on the
	// plane with its id gone from the file; the card takes it off the plane.
	start(true);
	const uint32_t primary = show_primary(fd_);
	const uint32_t small = make_fb(fd_, 640, 480, 0x20);
	ASSERT_EQ(shown(3, small, 640, 480, 640, 480), 0);
	EXPECT_EQ(drmModeRmFB(fd_, primary), 0);
	EXPECT_EQ(plane_value(0, "FB_ID"), 0u);
	EXPECT_EQ(crtc_value("ACTIVE"), 1u);
	EXPECT_EQ(plane_value(3, "FB_ID"), small);
	EXPECT_EQ(sim::screen(0).pixel(10, 10)[0], 0x20);
}

// The kernel drivers: cirrus and bochs are simple display pipes, virtio_gpu and vkms are not.
TEST(pipe_presets, rmfb_of_the_shown_framebuffer)
{
	struct expectation {
		const char *name;
		bool simple;
	};
	for (const expectation &e : {expectation{"cirrus", true}, expectation{"bochs", true},
	                             expectation{"virtio", false}, expectation{"vkms", false}}) {
		SCOPED_TRACE(e.name);
		const std::optional<sim::topology> t = sim::preset(e.name);
		ASSERT_TRUE(t);
		EXPECT_EQ(t->driver.simple_display_pipe, e.simple);
		sim::install(*t);
		const int fd = open_card();
		ASSERT_GE(fd, 0);
		ASSERT_EQ(set_atomic(fd), 0);
		crtc_holder c(drmModeGetCrtc(fd, sim::crtc_id(0)));
		ASSERT_TRUE(c);
		const uint32_t w = c->mode.hdisplay, h = c->mode.vdisplay;
		const uint32_t fb = card_test::make_fb(fd, w, h);
		const uint32_t p = sim::plane_id(0);
		ASSERT_EQ(show(request(fd), 0, 0, fb, w, h, 0, 0, w, h).commit(0), 0);
		EXPECT_EQ(drmModeRmFB(fd, fb), 0);
		EXPECT_EQ(value_of(fd, p, k_plane, "FB_ID"), 0u);
		EXPECT_EQ(value_of(fd, sim::crtc_id(0), k_crtc, "ACTIVE"), e.simple ? 0u : 1u);
		EXPECT_EQ(value_of(fd, sim::connector_id(0), k_conn, "CRTC_ID"),
		          e.simple ? 0u : sim::crtc_id(0));
		// The last close gives the screen back to the console either way.
		close(fd);
		const int again = open_card();
		ASSERT_GE(again, 0);
		ASSERT_EQ(set_atomic(again), 0);
		EXPECT_EQ(value_of(again, sim::crtc_id(0), k_crtc, "ACTIVE"), 1u);
		EXPECT_NE(value_of(again, p, k_plane, "FB_ID"), 0u);
		close(again);
	}
}

} // namespace
