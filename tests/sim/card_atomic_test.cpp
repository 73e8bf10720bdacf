// MODE_ATOMIC on the virtual card: property setting, the core and helper checks, mode sets,
// the commit records and the hook the preload library uses.
#include <climits>

#include "sim/preload.h"
#include "tests/sim/card_fixture.h"

namespace
{

std::vector<unsigned> g_after_commit; // flags of the commits the card reported

} // namespace

extern "C" void simkms_preload_after_commit(unsigned flags)
{
	g_after_commit.push_back(flags);
}

namespace
{

using namespace card_test;

class card_atomic : public card
{
protected:
	void SetUp() override
	{
		card::SetUp();
		ASSERT_EQ(set_atomic(fd_), 0);
		g_after_commit.clear();
	}

	uint32_t make_fb(uint32_t w, uint32_t h, uint32_t format = DRM_FORMAT_XRGB8888)
	{
		return card_test::make_fb(fd_, w, h, format);
	}
	// Shows a full-screen framebuffer on CRTC 0's primary plane.
	uint32_t show_primary()
	{
		const uint32_t fb = make_fb(1920, 1080);
		EXPECT_EQ(show(request(fd_), 0, 0, fb, 1920, 1080, 0, 0, 1920, 1080).commit(), 0);
		return fb;
	}
	uint32_t mode_blob(const drmModeModeInfo &m)
	{
		return card_test::mode_blob(fd_, m);
	}
	drmModeModeInfo connector_mode(int connector, int index = 0)
	{
		return card_test::connector_mode(fd_, connector, index);
	}
	// Lights the DisplayPort connector on CRTC 1.
	template <class R>
	request &light_dp(R &&r, uint32_t blob)
	{
		return r.set(sim::connector_id(1), k_conn, "CRTC_ID", sim::crtc_id(1))
		        .set(sim::crtc_id(1), k_crtc, "MODE_ID", blob)
		        .set(sim::crtc_id(1), k_crtc, "ACTIVE", 1);
	}
};

TEST_F(card_atomic, refused_without_the_atomic_cap_and_for_bad_flags)
{
	const int legacy = open_card();
	ASSERT_GE(legacy, 0);
	pass_master(fd_, legacy);
	drm_mode_atomic arg{};
	EXPECT_EQ(errno_of([&] { return drmIoctl(legacy, DRM_IOCTL_MODE_ATOMIC, &arg); }), EINVAL);
	pass_master(legacy, fd_);
	close(legacy);

	for (uint32_t flags : {0x8000u, uint32_t(DRM_MODE_PAGE_FLIP_ASYNC),
	                       uint32_t(DRM_MODE_ATOMIC_TEST_ONLY | DRM_MODE_PAGE_FLIP_EVENT)})
		EXPECT_EQ(request(fd_).set(sim::crtc_id(0), k_crtc, "ACTIVE", 1).commit(flags),
		          EINVAL)
		        << flags;
	arg.reserved = 1;
	EXPECT_EQ(errno_of([&] { return drmIoctl(fd_, DRM_IOCTL_MODE_ATOMIC, &arg); }), EINVAL);
	// An empty commit is fine.
	arg.reserved = 0;
	EXPECT_EQ(drmIoctl(fd_, DRM_IOCTL_MODE_ATOMIC, &arg), 0);
	EXPECT_TRUE(g_after_commit.size() == 1 && g_after_commit[0] == 0);
}

TEST_F(card_atomic, unknown_objects_and_properties_are_enoent)
{
	const uint32_t active = prop_id(fd_, sim::crtc_id(0), k_crtc, "ACTIVE");
	ASSERT_NE(active, 0u);
	EXPECT_EQ(request(fd_).raw(4242, active, 1).commit(), ENOENT);
	// Encoders, framebuffers and blobs carry no properties.
	EXPECT_EQ(request(fd_).raw(sim::encoder_id(0), active, 1).commit(), ENOENT);
	const uint32_t blob = uint32_t(*sim::property_value(sim::crtc_id(0), "MODE_ID"));
	EXPECT_EQ(request(fd_).raw(blob, active, 1).commit(), ENOENT);
	// A property the object does not carry, and an id that is no property.
	EXPECT_EQ(request(fd_).raw(sim::plane_id(0), active, 1).commit(), ENOENT);
	EXPECT_EQ(request(fd_).raw(sim::crtc_id(0), sim::crtc_id(1), 1).commit(), ENOENT);
	EXPECT_TRUE(g_after_commit.empty());
}

TEST_F(card_atomic, property_values_are_validated)
{
	const uint32_t crtc = sim::crtc_id(0), conn = sim::connector_id(0);
	const uint32_t plane = sim::plane_id(2);
	// MODE_ID must be a blob holding exactly one mode, and a sane one.
	const uint8_t junk[10] = {};
	uint32_t small = 0;
	ASSERT_EQ(drmModeCreatePropertyBlob(fd_, junk, sizeof(junk), &small), 0);
	drmModeModeInfo early_sync = connector_mode(0), no_clock = connector_mode(0);
	early_sync.hsync_start = early_sync.hdisplay - 1;
	no_clock.clock = 0;
	const struct {
		uint32_t object, type;
		const char *name;
		uint64_t value;
		int err;
		uint32_t flags = 0;
	} cases[] = {
	        {crtc, k_crtc, "ACTIVE", 2, EINVAL},
	        {plane, k_plane, "type", DRM_PLANE_TYPE_OVERLAY, EINVAL}, // immutable
	        {plane, k_plane, "FB_ID", crtc, EINVAL},                  // not a framebuffer
	        {plane, k_plane, "CRTC_ID", 999, EINVAL},
	        {conn, k_conn, "CRTC_ID", sim::plane_id(0), EINVAL},
	        {crtc, k_crtc, "MODE_ID", 999, EINVAL},
	        {plane, k_plane, "CRTC_W", uint64_t(INT_MAX) + 1, EINVAL},
	        {plane, k_plane, "IN_FENCE_FD", 5, EINVAL},
	        {plane, k_plane, "IN_FENCE_FD", uint64_t(-1), 0},
	        {conn, k_conn, "DPMS", DRM_MODE_DPMS_OFF, EINVAL},
	        {conn, k_conn, "EDID", 0, EINVAL},
	        {crtc, k_crtc, "OUT_FENCE_PTR", 0, 0},
	        {crtc, k_crtc, "MODE_ID", small, EINVAL, DRM_MODE_ATOMIC_ALLOW_MODESET},
	        {crtc, k_crtc, "MODE_ID", mode_blob(early_sync), EINVAL,
	         DRM_MODE_ATOMIC_ALLOW_MODESET},
	        {crtc, k_crtc, "MODE_ID", mode_blob(no_clock), EINVAL,
	         DRM_MODE_ATOMIC_ALLOW_MODESET},
	};
	for (const auto &k : cases)
		EXPECT_EQ(request(fd_).set(k.object, k.type, k.name, k.value).commit(k.flags),
		          k.err)
		        << k.name << "=" << k.value;

	// A good link cannot be marked bad from userspace; the value is ignored.
	EXPECT_EQ(request(fd_).set(conn, k_conn, "link-status", DRM_MODE_LINK_STATUS_BAD).commit(),
	          0);
	EXPECT_EQ(sim::property_value(conn, "link-status"), uint64_t(DRM_MODE_LINK_STATUS_GOOD));
}

// Blend mode and alpha are the plane's to set within their values; an immutable zpos is not.
TEST_F(card_atomic, a_planes_own_properties_are_validated)
{
	sim::topology t = two_pipes();
	t.planes[2].zpos = 3;
	t.planes[2].immutable_zpos = t.planes[2].blend_mode = t.planes[2].alpha = true;
	sim::install(t);
	const uint32_t plane = sim::plane_id(2);
	const struct {
		const char *name;
		uint64_t value;
		int err;
	} cases[] = {
	        {"zpos", 3, EINVAL},        {"pixel blend mode", 3, EINVAL},
	        {"alpha", 0x10000, EINVAL}, {"pixel blend mode", 2, 0},
	        {"alpha", 0x8000, 0},
	};
	for (const auto &k : cases)
		EXPECT_EQ(request(fd_).set(plane, k_plane, k.name, k.value).commit(), k.err)
		        << k.name << "=" << k.value;
	EXPECT_EQ(sim::property_value(plane, "pixel blend mode"), 2u);
	EXPECT_EQ(sim::property_value(plane, "alpha"), 0x8000u);
	EXPECT_EQ(sim::property_value(plane, "zpos"), 3u);
}

TEST_F(card_atomic, a_plane_update_on_a_lit_crtc_needs_no_modeset)
{
	const uint32_t fb = make_fb(1920, 1080);
	ASSERT_EQ(show(request(fd_), 0, 0, fb, 1920, 1080, 0, 0, 1920, 1080).commit(), 0);
	const uint32_t plane = sim::plane_id(0);
	EXPECT_EQ(sim::property_value(plane, "FB_ID"), fb);
	EXPECT_EQ(sim::property_value(plane, "CRTC_ID"), sim::crtc_id(0));
	EXPECT_EQ(sim::property_value(plane, "SRC_W"), 1920u << 16);
	plane_holder p(drmModeGetPlane(fd_, plane));
	ASSERT_TRUE(p);
	EXPECT_EQ(p->fb_id, fb);
	EXPECT_EQ(p->crtc_id, sim::crtc_id(0));
	crtc_holder c(drmModeGetCrtc(fd_, sim::crtc_id(0)));
	ASSERT_TRUE(c);
	EXPECT_EQ(c->buffer_id, fb);
	ASSERT_EQ(g_after_commit.size(), 1u);
	EXPECT_EQ(g_after_commit[0], 0u);

	// Negative positions are allowed (signed range) and clip.
	EXPECT_EQ(request(fd_).set(plane, k_plane, "CRTC_X", uint64_t(int64_t(-100))).commit(), 0);
	EXPECT_EQ(int64_t(*sim::property_value(plane, "CRTC_X")), -100);
}

TEST_F(card_atomic, plane_core_checks)
{
	const uint32_t xr24 = make_fb(64, 64);
	const uint32_t rg24 = make_fb(64, 64, DRM_FORMAT_RGB888);
	const uint32_t plane = sim::plane_id(2);
	EXPECT_EQ(request(fd_).set(plane, k_plane, "CRTC_ID", sim::crtc_id(0)).commit(), EINVAL)
	        << "CRTC set but no FB";
	EXPECT_EQ(request(fd_).set(plane, k_plane, "FB_ID", xr24).commit(), EINVAL)
	        << "FB but no CRTC";
	EXPECT_EQ(show(request(fd_), 0, 1, xr24, 64, 64, 0, 0, 64, 64).commit(), EINVAL)
	        << "plane 0 cannot reach CRTC 1";
	EXPECT_EQ(show(request(fd_), 3, 0, rg24, 64, 64, 0, 0, 64, 64).commit(), EINVAL)
	        << "plane 3 offers no RG24";
	EXPECT_EQ(show(request(fd_), 2, 0, rg24, 65, 64, 0, 0, 65, 64).commit(), ENOSPC);
	EXPECT_EQ(show(request(fd_), 2, 0, rg24, 64, 64, INT_MAX - 10, 0, 64, 64).commit(), ERANGE);
	EXPECT_EQ(show(request(fd_), 2, 0, rg24, 64, 64, 10, 10, 64, 64).commit(), 0);
	// A plane does not move between CRTCs without being switched off first.
	request light(fd_);
	sim::set_connected(1, true);
	ASSERT_EQ(
	        light_dp(light, mode_blob(connector_mode(1))).commit(DRM_MODE_ATOMIC_ALLOW_MODESET),
	        0);
	EXPECT_EQ(show(request(fd_), 2, 1, rg24, 64, 64, 0, 0, 64, 64).commit(), EINVAL);
	ASSERT_EQ(request(fd_)
	                  .set(plane, k_plane, "FB_ID", 0)
	                  .set(plane, k_plane, "CRTC_ID", 0)
	                  .commit(),
	          0);
	EXPECT_EQ(show(request(fd_), 2, 1, rg24, 64, 64, 0, 0, 64, 64).commit(), 0);
}

TEST_F(card_atomic, commit_formats_can_narrow_what_planes_list)
{
	sim::topology t = two_pipes();
	t.driver.commit_formats = std::vector<uint32_t>{DRM_FORMAT_XRGB8888};
	sim::install(t);
	const uint32_t rg24 = make_fb(64, 64, DRM_FORMAT_RGB888);
	const uint32_t xr24 = make_fb(64, 64);
	EXPECT_EQ(show(request(fd_), 2, 0, rg24, 64, 64, 0, 0, 64, 64).commit(), EINVAL);
	EXPECT_EQ(show(request(fd_), 2, 0, xr24, 64, 64, 0, 0, 64, 64).commit(), 0);
}

TEST_F(card_atomic, a_mode_set_needs_allow_modeset_and_routes_the_encoder)
{
	sim::set_connected(1, true);
	const uint32_t blob = mode_blob(connector_mode(1));
	EXPECT_EQ(light_dp(request(fd_), blob).commit(), EINVAL);
	EXPECT_EQ(light_dp(request(fd_), blob)
	                  .commit(DRM_MODE_ATOMIC_ALLOW_MODESET | DRM_MODE_ATOMIC_TEST_ONLY),
	          0);
	EXPECT_EQ(sim::property_value(sim::crtc_id(1), "ACTIVE"), 0u)
	        << "TEST_ONLY changes nothing";
	EXPECT_TRUE(g_after_commit.empty());
	ASSERT_EQ(light_dp(request(fd_), blob).commit(DRM_MODE_ATOMIC_ALLOW_MODESET), 0);
	ASSERT_EQ(g_after_commit.size(), 1u);
	EXPECT_EQ(g_after_commit[0], unsigned(DRM_MODE_ATOMIC_ALLOW_MODESET));
	EXPECT_EQ(sim::property_value(sim::crtc_id(1), "ACTIVE"), 1u);
	EXPECT_EQ(sim::property_value(sim::crtc_id(1), "MODE_ID"), blob);
	encoder_holder e(drmModeGetEncoder(fd_, sim::encoder_id(1)));
	ASSERT_TRUE(e);
	EXPECT_EQ(e->crtc_id, sim::crtc_id(1));
	connector_holder c(drmModeGetConnector(fd_, sim::connector_id(1)));
	ASSERT_TRUE(c);
	EXPECT_EQ(c->encoder_id, sim::encoder_id(1));
	crtc_holder x(drmModeGetCrtc(fd_, sim::crtc_id(1)));
	ASSERT_TRUE(x);
	EXPECT_EQ(x->mode_valid, 1);
	EXPECT_EQ(x->mode.hdisplay, 2560);
	EXPECT_EQ(sim::property_value(sim::connector_id(1), "DPMS"), uint64_t(DRM_MODE_DPMS_ON));

	// The same mode in another blob is no mode change.
	EXPECT_EQ(request(fd_)
	                  .set(sim::crtc_id(1), k_crtc, "MODE_ID", mode_blob(connector_mode(1)))
	                  .commit(),
	          0);
	EXPECT_EQ(request(fd_)
	                  .set(sim::crtc_id(1), k_crtc, "MODE_ID", mode_blob(connector_mode(1, 1)))
	                  .commit(),
	          EINVAL);
}

TEST_F(card_atomic, crtc_enable_active_and_connectors_must_agree)
{
	sim::set_connected(1, true);
	const uint32_t crtc = sim::crtc_id(1);
	EXPECT_EQ(request(fd_).set(crtc, k_crtc, "ACTIVE", 1).commit(DRM_MODE_ATOMIC_ALLOW_MODESET),
	          EINVAL)
	        << "active without a mode";
	EXPECT_EQ(request(fd_)
	                  .set(crtc, k_crtc, "MODE_ID", mode_blob(connector_mode(1)))
	                  .commit(DRM_MODE_ATOMIC_ALLOW_MODESET),
	          EINVAL)
	        << "enabled without connectors";
	EXPECT_EQ(request(fd_)
	                  .set(sim::connector_id(1), k_conn, "CRTC_ID", crtc)
	                  .commit(DRM_MODE_ATOMIC_ALLOW_MODESET),
	          EINVAL)
	        << "connectors on a disabled CRTC";
	// A mode without ACTIVE is allowed: enabled but dark.
	EXPECT_EQ(request(fd_)
	                  .set(sim::connector_id(1), k_conn, "CRTC_ID", crtc)
	                  .set(crtc, k_crtc, "MODE_ID", mode_blob(connector_mode(1)))
	                  .commit(DRM_MODE_ATOMIC_ALLOW_MODESET),
	          0);
	EXPECT_TRUE(sim::screen(1).rgb.empty());
	EXPECT_EQ(sim::property_value(sim::connector_id(1), "DPMS"), uint64_t(DRM_MODE_DPMS_OFF));
}

TEST_F(card_atomic, encoders_must_reach_the_crtc_and_drive_one_connector)
{
	// DisplayPort's encoder cannot reach CRTC 1; then two connectors that only have encoder 0
	// cannot both be lit.
	for (int shared = 0; shared < 2; shared++) {
		sim::topology t = two_pipes();
		if (shared)
			t.connectors[1].encoders = {0};
		else
			t.encoders[1].possible_crtcs = 0x1;
		sim::install(t);
		sim::set_connected(1, true);
		EXPECT_EQ(light_dp(request(fd_), mode_blob(connector_mode(1)))
		                  .commit(DRM_MODE_ATOMIC_ALLOW_MODESET),
		          EINVAL)
		        << shared;
	}
	// Moving the HDMI connector off frees the encoder.
	EXPECT_EQ(light_dp(request(fd_), mode_blob(connector_mode(1)))
	                  .set(sim::connector_id(0), k_conn, "CRTC_ID", 0)
	                  .set(sim::crtc_id(0), k_crtc, "MODE_ID", 0)
	                  .set(sim::crtc_id(0), k_crtc, "ACTIVE", 0)
	                  .commit(DRM_MODE_ATOMIC_ALLOW_MODESET),
	          0);
	connector_holder hdmi(drmModeGetConnector(fd_, sim::connector_id(0)));
	ASSERT_TRUE(hdmi);
	EXPECT_EQ(hdmi->encoder_id, 0u);
	encoder_holder e(drmModeGetEncoder(fd_, sim::encoder_id(0)));
	ASSERT_TRUE(e);
	EXPECT_EQ(e->crtc_id, sim::crtc_id(1));
}

TEST_F(card_atomic, switching_a_crtc_off_under_a_visible_plane)
{
	show_primary();
	auto off = [&](request &r) -> request & {
		return r.set(sim::connector_id(0), k_conn, "CRTC_ID", 0)
		        .set(sim::crtc_id(0), k_crtc, "MODE_ID", 0)
		        .set(sim::crtc_id(0), k_crtc, "ACTIVE", 0);
	};
	// The helpers bring the CRTC's planes into the state: "Cannot update plane of a disabled
	// CRTC".
	request refused(fd_);
	EXPECT_EQ(off(refused).commit(DRM_MODE_ATOMIC_ALLOW_MODESET), EINVAL);
	EXPECT_EQ(sim::property_value(sim::crtc_id(0), "ACTIVE"), 1u);
	// ACTIVE=0 alone keeps the mode, so the plane may stay.
	EXPECT_EQ(request(fd_)
	                  .set(sim::crtc_id(0), k_crtc, "ACTIVE", 0)
	                  .commit(DRM_MODE_ATOMIC_ALLOW_MODESET),
	          0);
	EXPECT_TRUE(sim::screen(0).rgb.empty());
	EXPECT_EQ(sim::property_value(sim::plane_id(0), "CRTC_ID"), sim::crtc_id(0));
	// With the plane switched off in the same commit it works.
	request both(fd_);
	EXPECT_EQ(off(both)
	                  .set(sim::plane_id(0), k_plane, "FB_ID", 0)
	                  .set(sim::plane_id(0), k_plane, "CRTC_ID", 0)
	                  .commit(DRM_MODE_ATOMIC_ALLOW_MODESET),
	          0);
	crtc_holder c(drmModeGetCrtc(fd_, sim::crtc_id(0)));
	ASSERT_TRUE(c);
	EXPECT_EQ(c->mode_valid, 0);

	// A driver that drops such planes itself.
	sim::topology t = two_pipes();
	t.driver.disable_planes_with_crtc = true;
	sim::install(t);
	show_primary();
	request implicit(fd_);
	EXPECT_EQ(off(implicit).commit(DRM_MODE_ATOMIC_ALLOW_MODESET), 0);
	EXPECT_EQ(sim::property_value(sim::plane_id(0), "FB_ID"), 0u);
	EXPECT_EQ(sim::property_value(sim::plane_id(0), "CRTC_ID"), 0u);
}

TEST_F(card_atomic, scaling_and_positioning_follow_the_driver)
{
	const uint32_t small = make_fb(640, 480);
	EXPECT_EQ(show(request(fd_), 0, 0, small, 640, 480, 0, 0, 1920, 1080).commit(), 0);
	EXPECT_EQ(show(request(fd_), 0, 0, small, 640, 480, 100, 50, 640, 480).commit(), 0);

	sim::topology t = two_pipes();
	t.driver.can_scale = false;
	t.driver.can_position = false;
	sim::install(t);
	const uint32_t vga = make_fb(640, 480);
	const uint32_t full = make_fb(1920, 1080);
	EXPECT_EQ(show(request(fd_), 0, 0, vga, 640, 480, 0, 0, 1920, 1080).commit(), ERANGE);
	EXPECT_EQ(show(request(fd_), 0, 0, vga, 640, 480, 10, 0, 640, 480).commit(), EINVAL);
	EXPECT_EQ(show(request(fd_), 0, 0, full, 1920, 1080, 0, 0, 1920, 1080).commit(), 0);
	// Overlays keep positioning; only scaling is refused.
	EXPECT_EQ(show(request(fd_), 3, 0, vga, 640, 480, 10, 10, 640, 480).commit(), 0);
	EXPECT_EQ(show(request(fd_), 3, 0, vga, 320, 240, 10, 10, 640, 480).commit(), ERANGE);
}

// What RMFB does to a plane is pinned in card_pipe_test; closing the owning file does the same.
TEST_F(card_atomic, framebuffers_leave_their_planes_when_their_file_closes)
{
	const int other = open_card();
	ASSERT_GE(other, 0);
	const uint32_t theirs = card_test::make_fb(other, 64, 64);
	ASSERT_EQ(show(request(fd_), 3, 0, theirs, 64, 64, 0, 0, 64, 64).commit(), 0);
	close(other);
	EXPECT_EQ(sim::property_value(sim::plane_id(3), "FB_ID"), 0u);
	EXPECT_EQ(sim::property_value(sim::plane_id(3), "CRTC_ID"), 0u);
	EXPECT_EQ(sim::property_value(sim::crtc_id(0), "ACTIVE"), 1u);
	EXPECT_EQ(sim::live().framebuffers, 0);
}

TEST_F(card_atomic, mode_blobs_live_while_a_crtc_uses_them)
{
	const uint32_t boot_blob = uint32_t(*sim::property_value(sim::crtc_id(0), "MODE_ID"));
	const uint32_t blob = mode_blob(connector_mode(0, 2));
	ASSERT_EQ(request(fd_)
	                  .set(sim::crtc_id(0), k_crtc, "MODE_ID", blob)
	                  .commit(DRM_MODE_ATOMIC_ALLOW_MODESET),
	          0);
	EXPECT_EQ(errno_of([&] { return drmModeGetPropertyBlob(fd_, boot_blob); }), ENOENT)
	        << "the boot mode's blob is freed";
	ASSERT_EQ(drmModeDestroyPropertyBlob(fd_, blob), 0);
	EXPECT_EQ(sim::live().blobs, 1) << "still the CRTC's mode";
	blob_holder b(drmModeGetPropertyBlob(fd_, blob));
	EXPECT_TRUE(b);
	crtc_holder c(drmModeGetCrtc(fd_, sim::crtc_id(0)));
	ASSERT_TRUE(c);
	EXPECT_EQ(c->mode.hdisplay, 1280);
	ASSERT_EQ(request(fd_)
	                  .set(sim::crtc_id(0), k_crtc, "MODE_ID", mode_blob(connector_mode(0)))
	                  .commit(DRM_MODE_ATOMIC_ALLOW_MODESET),
	          0);
	EXPECT_EQ(sim::live().blobs, 1) << "only the new mode's";
}

TEST_F(card_atomic, commits_are_recorded_as_ordered_triples)
{
	sim::clear_records();
	const uint32_t crtc = sim::crtc_id(0);
	const uint32_t active = prop_id(fd_, crtc, k_crtc, "ACTIVE");
	const uint32_t mode_id = prop_id(fd_, crtc, k_crtc, "MODE_ID");
	EXPECT_EQ(request(fd_)
	                  .raw(4242, 999, 1)
	                  .raw(crtc, mode_id, 0)
	                  .raw(crtc, active, 2)
	                  .commit(DRM_MODE_ATOMIC_ALLOW_MODESET),
	          EINVAL);
	const std::vector<sim::commit_record> c = sim::commits();
	ASSERT_EQ(c.size(), 1u);
	EXPECT_EQ(c[0].flags, uint32_t(DRM_MODE_ATOMIC_ALLOW_MODESET));
	EXPECT_EQ(c[0].error, EINVAL);
	// libdrm sorts by object, then property; unknown objects and properties stay nameless.
	const std::vector<sim::prop_triple> want = {
	        {crtc, k_crtc, "ACTIVE", active, 2},
	        {crtc, k_crtc, "MODE_ID", mode_id, 0},
	        {4242, 0, "", 999, 1},
	};
	EXPECT_EQ(c[0].props, want);
	EXPECT_EQ(sim::requests().back().name, "MODE_ATOMIC");
	EXPECT_EQ(sim::requests().back().error, EINVAL);
	EXPECT_EQ(sim::requests().back().field("count_objs"), 2u);
}

// Per-plane settings as drivers pass them to drm_atomic_helper_check_plane_state() and check
// themselves: plane 2 (an overlay) shows a framebuffer of src_w x src_h at (x, y), w x h.
TEST_F(card_atomic, plane_settings_bind_that_plane_only)
{
	struct scase {
		const char *what;
		void (*setup)(sim::plane_def &);
		uint32_t src_w, src_h;
		int32_t x, y;
		uint32_t w, h;
		int err;
	};
	const auto within_8x = [](sim::plane_def &p) {
		p.min_scale = 0x10000 / 8;
		p.max_scale = 8 << 16;
	};
	const auto lite = [](sim::plane_def &p) { p.refuses_scaling = true; };
	const auto covers = [](sim::plane_def &p) { p.can_position = false; };
	const scase cases[] = {
	        {"up to 8x (rockchip)", within_8x, 240, 135, 0, 0, 1920, 1080, 0},
	        {"beyond 8x", within_8x, 100, 100, 0, 0, 1000, 1000, ERANGE},
	        {"no downscaling (meson)",
	         [](sim::plane_def &p) {
		         p.min_scale = 0x10000 / 5;
		         p.max_scale = 0x10000;
	         },
	         640, 480, 0, 0, 320, 240, ERANGE},
	        {"upscaling within 5x", [](sim::plane_def &p) { p.max_scale = 0x10000; }, 640, 480,
	         0, 0, 1280, 960, 0},
	        {"a lite plane refuses scaling (tidss)", lite, 640, 480, 0, 0, 1280, 960, EINVAL},
	        {"a lite plane unscaled", lite, 640, 480, 10, 10, 640, 480, 0},
	        {"DE1: scaled XR24 goes through the frontend",
	         [](sim::plane_def &p) {
		         p.refuses_scaling = true;
		         p.refuses_scaling_formats = {DRM_FORMAT_RGB888};
	         },
	         640, 480, 0, 0, 1280, 960, 0},
	        {"an overlay that must cover the CRTC", covers, 640, 480, 10, 10, 640, 480, EINVAL},
	        {"covering it", covers, 1920, 1080, 0, 0, 1920, 1080, 0},
	};
	for (const scase &k : cases) {
		sim::topology t = two_pipes();
		k.setup(t.planes[2]);
		sim::install(t);
		const uint32_t fb = make_fb(k.src_w, k.src_h);
		EXPECT_EQ(show(request(fd_), 2, 0, fb, k.src_w, k.src_h, k.x, k.y, k.w, k.h)
		                  .commit(DRM_MODE_ATOMIC_TEST_ONLY),
		          k.err)
		        << k.what;
		// The other overlay keeps the driver's defaults.
		EXPECT_EQ(show(request(fd_), 3, 0, fb, k.src_w, k.src_h, 10, 10, 2 * k.src_w,
		               2 * k.src_h)
		                  .commit(DRM_MODE_ATOMIC_TEST_ONLY),
		          0)
		        << k.what;
	}
}

// Setting a connector's CRTC_ID brings its old CRTC into the commit with no connector left:
// moving HDMI to CRTC 1 while CRTC 0 keeps its mode fails the whole commit.
TEST_F(card_atomic, a_connector_moved_off_a_crtc_that_stays_enabled)
{
	const uint32_t blob = mode_blob(connector_mode(0));
	const auto move = [&](request &&r) -> request & {
		return r.set(sim::connector_id(0), k_conn, "CRTC_ID", sim::crtc_id(1))
		        .set(sim::crtc_id(1), k_crtc, "MODE_ID", blob)
		        .set(sim::crtc_id(1), k_crtc, "ACTIVE", 1);
	};
	constexpr uint32_t test = DRM_MODE_ATOMIC_TEST_ONLY | DRM_MODE_ATOMIC_ALLOW_MODESET;
	EXPECT_EQ(move(request(fd_)).commit(test), EINVAL);
	EXPECT_EQ(move(request(fd_))
	                  .set(sim::crtc_id(0), k_crtc, "MODE_ID", 0)
	                  .set(sim::crtc_id(0), k_crtc, "ACTIVE", 0)
	                  .commit(test),
	          0);
}

// A clone: HDMI-A and DisplayPort both driven by CRTC 0.
class card_clone : public card_atomic
{
protected:
	sim::topology topology() override
	{
		sim::topology t = two_pipes();
		t.connectors[1].connected = true;
		t.connectors[1].bound_encoder = 1;
		t.encoders[0].crtc = 0;
		t.encoders[1].crtc = 0;
		return t;
	}
};

// drm_atomic_helper_check_modeset(): a CRTC switched off while it keeps a connector is an
// "enabled/connectors mismatch"; left lit with the clone, or with every connector moved, it is
// not.
TEST_F(card_clone, a_crtc_switched_off_must_lose_every_connector)
{
	for (int c : {0, 1})
		ASSERT_EQ(sim::property_value(sim::connector_id(c), "CRTC_ID"), sim::crtc_id(0));
	const uint32_t blob = mode_blob(connector_mode(0));
	const auto move = [&](request &&r) -> request & {
		return r.set(sim::connector_id(0), k_conn, "CRTC_ID", sim::crtc_id(1))
		        .set(sim::crtc_id(1), k_crtc, "MODE_ID", blob)
		        .set(sim::crtc_id(1), k_crtc, "ACTIVE", 1);
	};
	const auto off = [&](request &r) -> request & {
		return r.set(sim::crtc_id(0), k_crtc, "MODE_ID", 0)
		        .set(sim::crtc_id(0), k_crtc, "ACTIVE", 0);
	};
	constexpr uint32_t test = DRM_MODE_ATOMIC_TEST_ONLY | DRM_MODE_ATOMIC_ALLOW_MODESET;
	EXPECT_EQ(off(move(request(fd_))).commit(test), EINVAL);
	EXPECT_EQ(move(request(fd_)).commit(test), 0);
	EXPECT_EQ(off(move(request(fd_)))
	                  .set(sim::connector_id(1), k_conn, "CRTC_ID", 0)
	                  .commit(test),
	          0);
}

// drm_atomic_helper_check_modeset() adds every plane of a CRTC that needs a modeset, and the
// plane check compares a plane that cannot position with the new mode, after clipping the plane
// to it: a full-screen plane still covers a smaller mode, a plane of the smaller mode no longer
// covers a larger one.
TEST_F(card_atomic, a_mode_set_checks_the_crtcs_planes_against_the_new_mode)
{
	for (bool can_position : {false, true}) {
		sim::topology t = two_pipes();
		t.planes[0].can_position = can_position;
		sim::install(t);
		const uint32_t fb = show_primary();
		const drmModeModeInfo full = connector_mode(0);
		const drmModeModeInfo hd = connector_mode(0, 2);
		ASSERT_EQ(hd.hdisplay, 1280);
		request smaller(fd_);
		smaller.set(sim::crtc_id(0), k_crtc, "MODE_ID", mode_blob(hd));
		EXPECT_EQ(smaller.commit(DRM_MODE_ATOMIC_ALLOW_MODESET), 0) << can_position;
		EXPECT_EQ(show(request(fd_), 0, 0, fb, 1280, 720, 0, 0, 1280, 720).commit(), 0)
		        << can_position;
		request larger(fd_);
		larger.set(sim::crtc_id(0), k_crtc, "MODE_ID", mode_blob(full));
		EXPECT_EQ(larger.commit(DRM_MODE_ATOMIC_ALLOW_MODESET), can_position ? 0 : EINVAL);
	}
}

// The CRTC's own checks on DisplayPort's CRTC 1: the primary-plane rules and mode_valid.
TEST_F(card_atomic, crtc_settings_bind_that_crtc)
{
	struct ccase {
		const char *what;
		void (*setup)(sim::crtc_def &);
		bool with_primary;
		int mode; // index into DisplayPort's modes: 0 2560x1440, 1 800x600
		int err;
	};
	const auto needs = [](sim::crtc_def &c) { c.needs_primary = true; };
	const auto matches = [](sim::crtc_def &c) { c.primary_matches_enable = true; };
	const auto widest = [](sim::crtc_def &c) {
		c.max_hdisplay = 1920;
		c.max_vdisplay = 1200;
	};
	const ccase cases[] = {
	        {"no rule", [](sim::crtc_def &) {}, false, 1, 0},
	        {"6.x: needs its primary", needs, false, 1, EINVAL},
	        {"6.x: with it", needs, true, 1, 0},
	        {"4.19: has_primary != enable", matches, false, 1, EINVAL},
	        {"4.19: with it", matches, true, 1, 0},
	        {"beyond the CRTC's widest mode", widest, true, 0, EINVAL},
	        {"within it", widest, true, 1, 0},
	};
	for (const ccase &k : cases) {
		sim::topology t = two_pipes();
		t.connectors[1].connected = true;
		t.connectors[1].bound_encoder = 1;
		k.setup(t.crtcs[1]);
		sim::install(t);
		const drmModeModeInfo m = connector_mode(1, k.mode);
		const uint32_t fb = make_fb(m.hdisplay, m.vdisplay);
		request r(fd_);
		light_dp(r, mode_blob(m));
		if (k.with_primary)
			show(r, 1, 1, fb, m.hdisplay, m.vdisplay, 0, 0, m.hdisplay, m.vdisplay);
		EXPECT_EQ(r.commit(DRM_MODE_ATOMIC_TEST_ONLY | DRM_MODE_ATOMIC_ALLOW_MODESET),
		          k.err)
		        << k.what;
	}
}

// The screen blends planes in zpos order; without zpos, overlays in list order.
TEST_F(card_atomic, the_screen_blends_in_zpos_order)
{
	for (bool zpos : {false, true}) {
		sim::topology t = two_pipes();
		if (zpos) {
			t.planes[2].zpos = 3;
			t.planes[3].zpos = 2;
		}
		sim::install(t);
		request r(fd_);
		for (int plane : {2, 3}) {
			dumb b;
			ASSERT_EQ(create_dumb(fd_, 64, 64, 32, &b), 0);
			ASSERT_EQ(map_dumb(fd_, &b), 0);
			for (uint32_t i = 0; i < b.size / 4; i++)
				reinterpret_cast<uint32_t *>(b.map)[i] =
				        plane == 2 ? 0xff0000 : 0x0000ff;
			uint32_t fb = 0;
			ASSERT_EQ(add_fb(fd_, 64, 64, DRM_FORMAT_XRGB8888, b, &fb), 0);
			show(r, plane, 0, fb, 64, 64, 0, 0, 64, 64);
		}
		ASSERT_EQ(r.commit(), 0);
		const sim::image img = sim::screen(0);
		ASSERT_EQ(img.width, 1920u);
		EXPECT_EQ(img.pixel(0, 0)[0], zpos ? 0xff : 0x00) << "red: plane 2 on top";
		EXPECT_EQ(img.pixel(0, 0)[2], zpos ? 0x00 : 0xff) << "blue: plane 3 on top";
	}
}

} // namespace
