// fbdev emulation on the virtual card: the console's framebuffer on the CRTC lit at start, what
// clients may do with it, and the console taking the screen back at the last close.
#include <algorithm>

#include "tests/sim/card_fixture.h"

namespace
{

using namespace card_test;

// What a client reads of a plane: its framebuffer, CRTC and rectangles.
struct plane_view {
	uint64_t fb, crtc, crtc_x, crtc_y, crtc_w, crtc_h, src_x, src_y, src_w, src_h;
	bool operator==(const plane_view &) const = default;
};

plane_view view(int fd, uint32_t plane)
{
	auto v = [&](const char *name) { return value_of(fd, plane, k_plane, name); };
	return {v("FB_ID"),  v("CRTC_ID"), v("CRTC_X"), v("CRTC_Y"), v("CRTC_W"),
	        v("CRTC_H"), v("SRC_X"),   v("SRC_Y"),  v("SRC_W"),  v("SRC_H")};
}

void PrintTo(const plane_view &p, std::ostream *os)
{
	*os << "fb " << p.fb << " crtc " << p.crtc << " at " << p.crtc_x << "," << p.crtc_y << " "
	    << p.crtc_w << "x" << p.crtc_h << " src " << p.src_x << "," << p.src_y << " " << p.src_w
	    << "x" << p.src_h;
}

// two_pipes() with fbdev emulation: HDMI-A lit at 1920x1080 on CRTC 0, whose primary is plane 0.
class console : public card
{
protected:
	void SetUp() override
	{
		card::SetUp();
		ASSERT_EQ(set_atomic(fd_), 0);
	}
	sim::topology topology() override
	{
		sim::topology t = two_pipes();
		t.driver.fbdev = true;
		t.planes[0].damage_clips = true;
		return t;
	}
	// The console's plane as fbdev leaves it on CRTC 0 at 1920x1080.
	plane_view console_view(uint64_t fb) const
	{
		return {fb, sim::crtc_id(0), 0, 0, 1920, 1080, 0, 0, 1920u << 16, 1080u << 16};
	}
	uint32_t make_fb(uint32_t w, uint32_t h)
	{
		return card_test::make_fb(fd_, w, h, DRM_FORMAT_XRGB8888, 0x80);
	}
	// Plane `plane` showing all of fb at the corner of CRTC `crtc`, unscaled.
	template <class R>
	request &show(R &&r, int plane, int crtc, uint32_t fb, uint32_t w, uint32_t h)
	{
		return card_test::show(r, plane, crtc, fb, w, h, 0, 0, w, h);
	}
	uint32_t mode_blob(int fd, uint16_t w, uint16_t h)
	{
		return card_test::mode_blob(fd, connector_mode(fd, 0, 0, w, h));
	}
	// Closes the test's descriptor and opens the card again.
	void reopen()
	{
		close(fd_);
		fd_ = open_card();
		ASSERT_GE(fd_, 0);
		ASSERT_EQ(set_atomic(fd_), 0);
	}
};

TEST_F(console, the_lit_crtc_shows_the_consoles_framebuffer_of_no_file_at_start)
{
	const uint64_t fb = value_of(fd_, sim::plane_id(0), k_plane, "FB_ID");
	ASSERT_NE(fb, 0u);
	ASSERT_NE(fb, UINT64_MAX);
	EXPECT_EQ(view(fd_, sim::plane_id(0)), console_view(fb));
	crtc_holder c(drmModeGetCrtc(fd_, sim::crtc_id(0)));
	ASSERT_TRUE(c);
	EXPECT_EQ(c->buffer_id, fb);
	plane_holder p(drmModeGetPlane(fd_, sim::plane_id(0)));
	ASSERT_TRUE(p);
	EXPECT_EQ(p->fb_id, fb);
	EXPECT_EQ(p->crtc_id, sim::crtc_id(0));
	// Made after every mode object and before the MODE_ID blob of fbdev's commit.
	EXPECT_EQ(fb, uint64_t(sim::encoder_id(1)) + 1);
	EXPECT_EQ(value_of(fd_, sim::crtc_id(0), k_crtc, "MODE_ID"), fb + 1);
	// The other CRTC is off and its primary shows nothing; no overlay shows anything.
	for (int i = 1; i < 5; i++)
		EXPECT_EQ(value_of(fd_, sim::plane_id(i), k_plane, "FB_ID"), 0u) << "plane " << i;

	// The screen is black, at the mode's size.
	const sim::image img = sim::screen(0);
	ASSERT_EQ(img.width, 1920u);
	ASSERT_EQ(img.height, 1080u);
	EXPECT_EQ(std::count(img.rgb.begin(), img.rgb.end(), 0), std::ptrdiff_t(img.rgb.size()));

	// It belongs to no file: not listed, not counted, and RMFB does not find it.
	res_holder res(drmModeGetResources(fd_));
	ASSERT_TRUE(res);
	EXPECT_EQ(res->count_fbs, 0);
	EXPECT_EQ(sim::live().framebuffers, 0);
	EXPECT_EQ(sim::live().dumb_buffers, 0);
	EXPECT_EQ(drmModeRmFB(fd_, uint32_t(fb)), -ENOENT);
	EXPECT_EQ(value_of(fd_, sim::plane_id(0), k_plane, "FB_ID"), fb);

	// A file's own framebuffers are counted and listed; the console's still is not.
	const uint32_t mine = make_fb(64, 64);
	res.reset(drmModeGetResources(fd_));
	ASSERT_TRUE(res);
	EXPECT_EQ(id_list(res->fbs, res->count_fbs), std::vector<uint32_t>{mine});
	EXPECT_EQ(sim::live().framebuffers, 1);
	EXPECT_EQ(drmModeRmFB(fd_, mine), 0);
	EXPECT_EQ(sim::live().framebuffers, 0);
}

TEST_F(console, a_commit_replaces_it_and_the_last_close_brings_it_back)
{
	const uint64_t console_fb = value_of(fd_, sim::plane_id(0), k_plane, "FB_ID");
	const uint64_t boot_blob = value_of(fd_, sim::crtc_id(0), k_crtc, "MODE_ID");
	// The console's last flush left its damage, which no later plane state keeps.
	const uint64_t damage = value_of(fd_, sim::plane_id(0), k_plane, "FB_DAMAGE_CLIPS");
	ASSERT_NE(damage, 0u);
	const uint32_t fb = make_fb(1920, 1080);
	ASSERT_EQ(show(request(fd_), 0, 0, fb, 1920, 1080).commit(DRM_MODE_ATOMIC_ALLOW_MODESET),
	          0);
	EXPECT_EQ(value_of(fd_, sim::plane_id(0), k_plane, "FB_DAMAGE_CLIPS"), 0u);
	EXPECT_EQ(drmModeGetPropertyBlob(fd_, uint32_t(damage)), nullptr);
	const uint32_t overlay_fb = make_fb(64, 64);
	ASSERT_EQ(
	        show(request(fd_), 2, 0, overlay_fb, 64, 64).commit(DRM_MODE_ATOMIC_ALLOW_MODESET),
	        0);
	EXPECT_EQ(sim::screen(0).pixel(100, 100)[0], 0x80);

	// A second file keeps the card open: nothing is restored when the first closes.
	const int other = open_card();
	ASSERT_GE(other, 0);
	close(fd_);
	fd_ = -1;
	EXPECT_EQ(sim::property_value(sim::plane_id(0), "FB_ID"), 0u); // removed with its file
	EXPECT_EQ(sim::property_value(sim::plane_id(2), "FB_ID"), 0u);

	// Re-show a picture through the other file, then close it too: the console takes over.
	fd_ = other;
	ASSERT_EQ(drmSetMaster(fd_), 0);
	ASSERT_EQ(set_atomic(fd_), 0);
	const uint32_t again = make_fb(1920, 1080);
	ASSERT_EQ(show(request(fd_), 0, 0, again, 1920, 1080).commit(DRM_MODE_ATOMIC_ALLOW_MODESET),
	          0);
	ASSERT_EQ(show(request(fd_), 3, 0, make_fb(32, 32), 32, 32)
	                  .commit(DRM_MODE_ATOMIC_ALLOW_MODESET),
	          0);
	reopen();

	EXPECT_EQ(view(fd_, sim::plane_id(0)), console_view(console_fb));
	for (int i = 1; i < 5; i++)
		EXPECT_EQ(view(fd_, sim::plane_id(i)), (plane_view{})) << "plane " << i;
	// The mode did not change, so the CRTC keeps its blob and stays lit without a mode set.
	EXPECT_EQ(value_of(fd_, sim::crtc_id(0), k_crtc, "MODE_ID"), boot_blob);
	EXPECT_EQ(value_of(fd_, sim::crtc_id(0), k_crtc, "ACTIVE"), 1u);
	EXPECT_EQ(value_of(fd_, sim::connector_id(0), k_conn, "CRTC_ID"), sim::crtc_id(0));
	const sim::image img = sim::screen(0);
	ASSERT_EQ(img.width, 1920u);
	EXPECT_EQ(std::count(img.rgb.begin(), img.rgb.end(), 0), std::ptrdiff_t(img.rgb.size()));
	EXPECT_EQ(sim::live().framebuffers, 0);
	EXPECT_EQ(sim::live().dumb_buffers, 0);
}

TEST_F(console, the_console_restores_its_own_mode_and_switches_other_pipes_off)
{
	const uint64_t console_fb = value_of(fd_, sim::plane_id(0), k_plane, "FB_ID");
	// HDMI-A at 1280x720 on CRTC 0, and DisplayPort plugged in and lit on CRTC 1.
	sim::set_connected(1, true);
	const uint32_t small = make_fb(1280, 720);
	const uint32_t hd = mode_blob(fd_, 1280, 720);
	request r(fd_);
	r.set(sim::crtc_id(0), k_crtc, "MODE_ID", hd);
	ASSERT_EQ(show(r, 0, 0, small, 1280, 720).commit(DRM_MODE_ATOMIC_ALLOW_MODESET), 0);
	const uint32_t wide = make_fb(800, 600);
	const uint32_t dp_blob = card_test::mode_blob(fd_, connector_mode(fd_, 1, 0, 800, 600));
	request d(fd_);
	d.set(sim::connector_id(1), k_conn, "CRTC_ID", sim::crtc_id(1))
	        .set(sim::crtc_id(1), k_crtc, "MODE_ID", dp_blob)
	        .set(sim::crtc_id(1), k_crtc, "ACTIVE", 1);
	ASSERT_EQ(show(d, 1, 1, wide, 800, 600).commit(DRM_MODE_ATOMIC_ALLOW_MODESET), 0);
	ASSERT_EQ(sim::screen(1).width, 800u);
	reopen();

	// CRTC 0 is back at 1920x1080 under a new blob made by the kernel, not the file's.
	const uint64_t blob = value_of(fd_, sim::crtc_id(0), k_crtc, "MODE_ID");
	EXPECT_NE(blob, 0u);
	EXPECT_NE(blob, hd);
	blob_holder b(drmModeGetPropertyBlob(fd_, uint32_t(blob)));
	ASSERT_TRUE(b);
	ASSERT_EQ(b->length, sizeof(drmModeModeInfo));
	EXPECT_EQ(static_cast<const drmModeModeInfo *>(b->data)->hdisplay, 1920);
	EXPECT_EQ(static_cast<const drmModeModeInfo *>(b->data)->vdisplay, 1080);
	EXPECT_EQ(view(fd_, sim::plane_id(0)), console_view(console_fb));
	EXPECT_EQ(sim::screen(0).width, 1920u);
	EXPECT_EQ(sim::live().blobs, 0); // the file's mode blobs went with it

	// The pipe the console did not use is off, its connector detached.
	EXPECT_EQ(value_of(fd_, sim::crtc_id(1), k_crtc, "ACTIVE"), 0u);
	EXPECT_EQ(value_of(fd_, sim::crtc_id(1), k_crtc, "MODE_ID"), 0u);
	EXPECT_EQ(value_of(fd_, sim::connector_id(1), k_conn, "CRTC_ID"), 0u);
	// Removing the file's framebuffer and detaching the plane both leave its rectangles.
	EXPECT_EQ(view(fd_, sim::plane_id(1)),
	          (plane_view{0, 0, 0, 0, 800, 600, 0, 0, 800u << 16, 600u << 16}));
	EXPECT_EQ(sim::screen(1).width, 0u);
	connector_holder dp_after(drmModeGetConnector(fd_, sim::connector_id(1)));
	ASSERT_TRUE(dp_after);
	EXPECT_EQ(dp_after->encoder_id, 0u);
}

// Switching the CRTC off must take the console off its plane too, since the helpers refuse a
// plane on a disabled CRTC; with its monitor gone, the CRTC then stays off at the last close.
TEST_F(console, a_crtc_switched_off_whose_monitor_is_gone_stays_off)
{
	request off(fd_);
	off.set(sim::connector_id(0), k_conn, "CRTC_ID", 0)
	        .set(sim::crtc_id(0), k_crtc, "MODE_ID", 0)
	        .set(sim::crtc_id(0), k_crtc, "ACTIVE", 0);
	EXPECT_EQ(off.commit(DRM_MODE_ATOMIC_ALLOW_MODESET), EINVAL);
	EXPECT_EQ(value_of(fd_, sim::crtc_id(0), k_crtc, "ACTIVE"), 1u);
	off.set(sim::plane_id(0), k_plane, "FB_ID", 0).set(sim::plane_id(0), k_plane, "CRTC_ID", 0);
	ASSERT_EQ(off.commit(DRM_MODE_ATOMIC_ALLOW_MODESET), 0);
	sim::set_connected(0, false);
	reopen();
	EXPECT_EQ(value_of(fd_, sim::crtc_id(0), k_crtc, "ACTIVE"), 0u);
	EXPECT_EQ(value_of(fd_, sim::crtc_id(0), k_crtc, "MODE_ID"), 0u);
	EXPECT_EQ(value_of(fd_, sim::plane_id(0), k_plane, "FB_ID"), 0u);
	EXPECT_EQ(value_of(fd_, sim::plane_id(0), k_plane, "CRTC_ID"), 0u);
	EXPECT_EQ(sim::screen(0).width, 0u);
}

// Without fbdev emulation the lit CRTC shows nothing and the last close changes nothing.
class no_console : public console
{
protected:
	sim::topology topology() override
	{
		return two_pipes();
	}
};

TEST_F(no_console, nothing_is_shown_at_start_or_restored_at_the_last_close)
{
	EXPECT_EQ(view(fd_, sim::plane_id(0)), (plane_view{}));
	const uint32_t hd = mode_blob(fd_, 1280, 720);
	request r(fd_);
	r.set(sim::crtc_id(0), k_crtc, "MODE_ID", hd);
	ASSERT_EQ(
	        show(r, 0, 0, make_fb(1280, 720), 1280, 720).commit(DRM_MODE_ATOMIC_ALLOW_MODESET),
	        0);
	reopen();
	// The file's framebuffer left the plane (FB_ID and CRTC_ID only) and nothing else changed.
	EXPECT_EQ(view(fd_, sim::plane_id(0)),
	          (plane_view{0, 0, 0, 0, 1280, 720, 0, 0, 1280u << 16, 720u << 16}));
	crtc_holder c(drmModeGetCrtc(fd_, sim::crtc_id(0)));
	ASSERT_TRUE(c);
	EXPECT_EQ(c->mode.hdisplay, 1280);
	EXPECT_EQ(value_of(fd_, sim::crtc_id(0), k_crtc, "MODE_ID"), hd);
}

// Presets without their console, whether the topology lit them (hdmi-1080p) or fbdev emulation
// did (cirrus, and the boards where it picks the CRTC): nothing lit, bound or shown, and the
// first mode set lights the monitor.
TEST(without_console, presets_start_dark_and_take_a_mode_set)
{
	for (const char *name : {"hdmi-1080p", "cirrus", "rk3399-vopl-first", "vc4-pi4-6.1"}) {
		SCOPED_TRACE(name);
		const sim::topology t = sim::without_console(*sim::preset(name));
		sim::install(t);
		const int fd = open_card();
		ASSERT_GE(fd, 0);
		ASSERT_EQ(set_atomic(fd), 0);
		for (size_t i = 0; i < t.crtcs.size(); i++) {
			EXPECT_EQ(value_of(fd, sim::crtc_id(int(i)), k_crtc, "ACTIVE"), 0u);
			EXPECT_EQ(value_of(fd, sim::crtc_id(int(i)), k_crtc, "MODE_ID"), 0u);
		}
		for (size_t p = 0; p < t.planes.size(); p++)
			EXPECT_EQ(value_of(fd, sim::plane_id(int(p)), k_plane, "FB_ID"), 0u);
		for (size_t e = 0; e < t.encoders.size(); e++) {
			encoder_holder enc(drmModeGetEncoder(fd, sim::encoder_id(int(e))));
			ASSERT_TRUE(enc);
			EXPECT_EQ(enc->crtc_id, 0u);
		}
		connector_holder con(drmModeGetConnector(fd, sim::connector_id(0)));
		ASSERT_TRUE(con);
		EXPECT_EQ(con->encoder_id, 0u);
		EXPECT_EQ(value_of(fd, sim::connector_id(0), k_conn, "CRTC_ID"), 0u);

		// The lowest CRTC the monitor's encoder reaches, with its primary plane.
		const uint32_t reach =
		        t.encoders[size_t(t.connectors[0].encoders[0])].possible_crtcs;
		int crtc = 0;
		while (!(reach >> crtc & 1))
			crtc++;
		int plane = 0;
		while (t.planes[size_t(plane)].type != DRM_PLANE_TYPE_PRIMARY ||
		       !(t.planes[size_t(plane)].possible_crtcs >> crtc & 1))
			plane++;
		const drmModeModeInfo m = connector_mode(fd, 0, 0);
		request r(fd);
		r.set(sim::connector_id(0), k_conn, "CRTC_ID", sim::crtc_id(crtc))
		        .set(sim::crtc_id(crtc), k_crtc, "MODE_ID", mode_blob(fd, m))
		        .set(sim::crtc_id(crtc), k_crtc, "ACTIVE", 1);
		show(r, plane, crtc, make_fb(fd, m.hdisplay, m.vdisplay, DRM_FORMAT_XRGB8888, 0x80),
		     m.hdisplay, m.vdisplay, 0, 0, m.hdisplay, m.vdisplay);
		EXPECT_EQ(r.commit(DRM_MODE_ATOMIC_ALLOW_MODESET), 0);
		EXPECT_EQ(sim::screen(crtc).width, m.hdisplay);
		close(fd);
	}
}

// drm_client_pick_crtcs(): HDMI's encoder drives only CRTC 1, so the console lights CRTC 1 and
// sits on its primary plane, plane 1; CRTC 0 and plane 0 stay off.
TEST(console_picks, the_lowest_crtc_the_encoder_drives_and_its_primary_plane)
{
	sim::topology t = two_pipes();
	t.driver.fbdev = true;
	t.driver.fbdev_picks_crtcs = true;
	t.crtcs[0].active = true; // not read: fbdev chooses
	t.encoders[0].possible_crtcs = 0x2;
	sim::install(t);
	EXPECT_EQ(sim::property_value(sim::crtc_id(0), "ACTIVE"), 0u);
	EXPECT_EQ(sim::property_value(sim::crtc_id(1), "ACTIVE"), 1u);
	EXPECT_EQ(sim::property_value(sim::plane_id(0), "FB_ID"), 0u);
	EXPECT_NE(sim::property_value(sim::plane_id(1), "FB_ID"), 0u);
	EXPECT_EQ(sim::property_value(sim::plane_id(1), "CRTC_ID"), sim::crtc_id(1));
	EXPECT_EQ(sim::property_value(sim::connector_id(0), "CRTC_ID"), sim::crtc_id(1));
	EXPECT_EQ(sim::screen(1).width, 1920u);
}

} // namespace
