// The virtual card's descriptors, capabilities and mode-object queries, through libdrm.
#include <algorithm>
#include <chrono>
#include <set>

#include "tests/sim/card_fixture.h"
#include "tests/support/wait.h"

namespace
{

using namespace card_test;

using card_open = card;

TEST_F(card_open, each_open_is_a_file_of_its_own_and_other_paths_pass_through)
{
	EXPECT_EQ(sim::live().files, 1);
	const int second = open_card();
	ASSERT_GE(second, 0);
	EXPECT_NE(second, fd_);
	EXPECT_EQ(sim::live().files, 2);

	// Client capabilities belong to the file that set them.
	ASSERT_EQ(set_atomic(second), 0);
	plane_res_holder mine(drmModeGetPlaneResources(fd_));
	plane_res_holder theirs(drmModeGetPlaneResources(second));
	ASSERT_TRUE(mine && theirs);
	EXPECT_EQ(mine->count_planes, 2u);
	EXPECT_EQ(theirs->count_planes, 5u);

	EXPECT_EQ(close(second), 0);
	EXPECT_EQ(sim::live().files, 1);

	const int null_fd = open("/dev/null", O_RDONLY);
	ASSERT_GE(null_fd, 0);
	EXPECT_EQ(sim::live().files, 1);
	char c = 0;
	EXPECT_EQ(read(null_fd, &c, 1), 0);
	EXPECT_EQ(close(null_fd), 0);
	const int at_fd = openat(AT_FDCWD, "/dev/dri/card0", O_RDWR);
	ASSERT_GE(at_fd, 0);
	EXPECT_EQ(sim::live().files, 2);
	EXPECT_EQ(close(at_fd), 0);
	// Without a render-only card0 in front of it there is no second card.
	EXPECT_EQ(errno_of([] { return open("/dev/dri/card1", O_RDWR); }), ENOENT);
}

// A render-only driver (vgem) as card0 and the display as card1; the fixture's file is card0's.
class render_card0 : public card
{
protected:
	sim::topology topology() override
	{
		sim::topology t = two_pipes();
		t.render_card0 = true;
		return t;
	}
};

TEST_F(render_card0, card0_answers_as_a_driver_without_modesetting_and_card1_is_the_display)
{
	sim::clear_records();
	version_holder v(drmGetVersion(fd_));
	ASSERT_TRUE(v);
	EXPECT_EQ(std::string(v->name), "vgem");
	EXPECT_EQ(std::string(v->desc), "Virtual GEM provider");
	// drm_setclientcap() and drm_getcap() without DRIVER_MODESET.
	EXPECT_EQ(errno_of([&] { return set_atomic(fd_); }), EOPNOTSUPP);
	EXPECT_EQ(
	        errno_of([&] { return drmSetClientCap(fd_, DRM_CLIENT_CAP_UNIVERSAL_PLANES, 1); }),
	        EOPNOTSUPP);
	uint64_t value = 7;
	EXPECT_EQ(errno_of([&] { return drmGetCap(fd_, DRM_CAP_DUMB_BUFFER, &value); }),
	          EOPNOTSUPP);
	EXPECT_EQ(drmGetCap(fd_, DRM_CAP_TIMESTAMP_MONOTONIC, &value), 0);
	EXPECT_EQ(value, 1u);
	// drm_mode_getresources() and the other mode-object requests.
	drm_mode_card_res res{};
	EXPECT_EQ(errno_of([&] { return drmIoctl(fd_, DRM_IOCTL_MODE_GETRESOURCES, &res); }),
	          EOPNOTSUPP);
	drm_mode_get_connector conn{};
	conn.connector_id = sim::connector_id(0);
	EXPECT_EQ(errno_of([&] { return drmIoctl(fd_, DRM_IOCTL_MODE_GETCONNECTOR, &conn); }),
	          EOPNOTSUPP);
	EXPECT_TRUE(sim::requests().empty()) << "the render-only card's requests are not recorded";
	EXPECT_EQ(sim::live().files, 0);

	const int display = open("/dev/dri/card1", O_RDWR | O_CLOEXEC);
	ASSERT_GE(display, 0) << strerror(errno);
	EXPECT_EQ(sim::live().files, 1);
	version_holder dv(drmGetVersion(display));
	ASSERT_TRUE(dv);
	EXPECT_EQ(std::string(dv->name), "simtest");
	EXPECT_EQ(set_atomic(display), 0);
	res_holder r(drmModeGetResources(display));
	ASSERT_TRUE(r);
	EXPECT_EQ(r->count_connectors, 2);
	ASSERT_FALSE(sim::requests().empty());
	EXPECT_EQ(sim::requests().front().name, "VERSION");
	close(display);
}

TEST(render_card0_delay, card1_appears_only_after_its_delay)
{
	constexpr int64_t delay_ms = 400;
	sim::topology t = two_pipes();
	t.render_card0 = true;
	t.display_card_delay_ms = int(delay_ms);
	const auto since = [start = std::chrono::steady_clock::now()] {
		return std::chrono::duration_cast<std::chrono::milliseconds>(
		               std::chrono::steady_clock::now() - start)
		        .count();
	};
	sim::install(t);
	int fd = open("/dev/dri/card1", O_RDWR | O_CLOEXEC);
	const int err = errno;
	if (since() < delay_ms) {
		EXPECT_EQ(fd, -1);
		EXPECT_EQ(err, ENOENT);
	}
	ASSERT_TRUE(wait_until([&] {
		return fd >= 0 || (fd = open("/dev/dri/card1", O_RDWR | O_CLOEXEC)) >= 0;
	})) << strerror(errno);
	EXPECT_GE(since(), delay_ms);
	version_holder v(drmGetVersion(fd));
	ASSERT_TRUE(v);
	EXPECT_EQ(std::string(v->name), "simtest");
	close(fd);
}

TEST_F(card_open, open_fault_fails_with_the_chosen_errno_until_cleared)
{
	sim::fail_open(EACCES);
	EXPECT_EQ(errno_of([&] { return open_card(); }), EACCES);
	EXPECT_EQ(sim::live().files, 1);
	sim::clear_faults();
	const int fd = open_card();
	EXPECT_GE(fd, 0);
	close(fd);
}

TEST_F(card_open, install_keeps_open_descriptors_and_their_client_caps)
{
	ASSERT_EQ(set_atomic(fd_), 0);
	dumb b;
	ASSERT_EQ(create_dumb(fd_, 64, 64, 32, &b), 0);
	sim::install(two_pipes());
	EXPECT_EQ(sim::live().files, 1);
	EXPECT_EQ(sim::live().dumb_buffers, 0);
	// The handle belonged to the old card.
	EXPECT_EQ(destroy_dumb(fd_, b.handle), EINVAL);
	plane_res_holder planes(drmModeGetPlaneResources(fd_));
	ASSERT_TRUE(planes);
	EXPECT_EQ(planes->count_planes, 5u);
}

using card_caps = card;

TEST_F(card_caps, get_cap_answers_as_an_atomic_kms_driver)
{
	struct expect {
		uint64_t cap;
		uint64_t value;
	};
	for (const expect &e :
	     {expect{DRM_CAP_DUMB_BUFFER, 1}, expect{DRM_CAP_VBLANK_HIGH_CRTC, 1},
	      expect{DRM_CAP_TIMESTAMP_MONOTONIC, 1}, expect{DRM_CAP_CRTC_IN_VBLANK_EVENT, 1},
	      expect{DRM_CAP_ADDFB2_MODIFIERS, 1}, expect{DRM_CAP_DUMB_PREFERRED_DEPTH, 0},
	      expect{DRM_CAP_CURSOR_WIDTH, 64}}) {
		uint64_t v = 99;
		ASSERT_EQ(drmGetCap(fd_, e.cap, &v), 0) << e.cap;
		EXPECT_EQ(v, e.value) << e.cap;
	}
	uint64_t v = 0;
	EXPECT_EQ(errno_of([&] { return drmGetCap(fd_, 0x7777, &v); }), EINVAL);
}

TEST_F(card_caps, client_caps_check_values_and_atomic_implies_universal_planes)
{
	// Writeback needs the atomic cap first.
	const std::pair<uint64_t, uint64_t> refused[] = {{DRM_CLIENT_CAP_UNIVERSAL_PLANES, 2},
	                                                 {DRM_CLIENT_CAP_ATOMIC, 3},
	                                                 {DRM_CLIENT_CAP_WRITEBACK_CONNECTORS, 1},
	                                                 {0x99, 1}};
	for (const auto &[cap, value] : refused)
		EXPECT_EQ(errno_of([&] { return drmSetClientCap(fd_, cap, value); }), EINVAL)
		        << cap;

	plane_res_holder overlays(drmModeGetPlaneResources(fd_));
	ASSERT_TRUE(overlays);
	EXPECT_EQ(id_list(overlays->planes, int(overlays->count_planes)),
	          (std::vector<uint32_t>{sim::plane_id(2), sim::plane_id(3)}));

	ASSERT_EQ(drmSetClientCap(fd_, DRM_CLIENT_CAP_UNIVERSAL_PLANES, 1), 0);
	plane_res_holder all(drmModeGetPlaneResources(fd_));
	ASSERT_TRUE(all);
	EXPECT_EQ(all->count_planes, 5u);
	ASSERT_EQ(drmSetClientCap(fd_, DRM_CLIENT_CAP_UNIVERSAL_PLANES, 0), 0);
	ASSERT_EQ(set_atomic(fd_), 0);
	plane_res_holder again(drmModeGetPlaneResources(fd_));
	ASSERT_TRUE(again);
	EXPECT_EQ(again->count_planes, 5u);
}

using card_objects = card;

TEST_F(card_objects, resources_list_every_crtc_encoder_connector_and_the_limits)
{
	res_holder res(drmModeGetResources(fd_));
	ASSERT_TRUE(res);
	using ids = std::vector<uint32_t>;
	EXPECT_EQ(id_list(res->crtcs, res->count_crtcs), (ids{sim::crtc_id(0), sim::crtc_id(1)}));
	EXPECT_EQ(id_list(res->encoders, res->count_encoders),
	          (ids{sim::encoder_id(0), sim::encoder_id(1)}));
	EXPECT_EQ(id_list(res->connectors, res->count_connectors),
	          (ids{sim::connector_id(0), sim::connector_id(1)}));
	EXPECT_EQ(res->count_fbs, 0);
	EXPECT_EQ(res->min_width, 0u);
	EXPECT_EQ(res->max_width, 8192u);
	EXPECT_EQ(res->max_height, 8192u);
}

TEST_F(card_objects, connector_reports_state_sorted_modes_and_encoders)
{
	connector_holder c(drmModeGetConnector(fd_, sim::connector_id(0)));
	ASSERT_TRUE(c);
	EXPECT_EQ(c->connection, DRM_MODE_CONNECTED);
	EXPECT_EQ(c->connector_type, uint32_t(DRM_MODE_CONNECTOR_HDMIA));
	EXPECT_EQ(c->connector_type_id, 1u);
	EXPECT_EQ(c->encoder_id, sim::encoder_id(0));
	EXPECT_EQ(id_list(c->encoders, c->count_encoders),
	          std::vector<uint32_t>{sim::encoder_id(0)});
	// The kernel's order: preferred first, then larger, then faster.
	ASSERT_EQ(c->count_modes, 4);
	EXPECT_STREQ(c->modes[0].name, "1920x1080");
	EXPECT_TRUE(c->modes[0].type & DRM_MODE_TYPE_PREFERRED);
	const std::pair<uint16_t, uint32_t> sizes[] = {
	        {1920, 60}, {1920, 50}, {1280, 60}, {1024, 60}};
	for (int i = 0; i < c->count_modes; i++) {
		const drmModeModeInfo &m = c->modes[i];
		EXPECT_EQ(m.hdisplay, sizes[i].first) << i;
		EXPECT_EQ(m.vrefresh, sizes[i].second) << i;
		EXPECT_GT(m.hsync_start, m.hdisplay);
		EXPECT_GT(m.htotal, m.hsync_end);
		EXPECT_GT(m.vtotal, m.vsync_end);
		EXPECT_NEAR(double(m.clock) * 1000 / (double(m.htotal) * m.vtotal), m.vrefresh,
		            0.5);
	}

	connector_holder dp(drmModeGetConnector(fd_, sim::connector_id(1)));
	ASSERT_TRUE(dp);
	EXPECT_EQ(dp->connection, DRM_MODE_DISCONNECTED);
	EXPECT_EQ(dp->count_modes, 0);
	EXPECT_EQ(dp->encoder_id, 0u);
	EXPECT_EQ(dp->connector_type_id, 1u);

	EXPECT_EQ(errno_of([&] { return drmModeGetConnector(fd_, sim::crtc_id(0)); }), ENOENT);
}

TEST_F(card_objects, hot_plug_changes_connection_and_modes_but_keeps_the_crtc)
{
	sim::set_connected(1, true);
	connector_holder dp(drmModeGetConnector(fd_, sim::connector_id(1)));
	ASSERT_TRUE(dp);
	EXPECT_EQ(dp->connection, DRM_MODE_CONNECTED);
	ASSERT_EQ(dp->count_modes, 2);
	EXPECT_EQ(dp->modes[0].hdisplay, 2560);

	sim::set_connected(1, true, {test_mode(3840, 2160, true, 30)});
	dp.reset(drmModeGetConnector(fd_, sim::connector_id(1)));
	ASSERT_TRUE(dp && dp->count_modes == 1);
	EXPECT_EQ(dp->modes[0].vrefresh, 30u);

	sim::set_connected(0, false);
	ASSERT_EQ(set_atomic(fd_), 0);
	connector_holder hdmi(drmModeGetConnector(fd_, sim::connector_id(0)));
	ASSERT_TRUE(hdmi);
	EXPECT_EQ(hdmi->connection, DRM_MODE_DISCONNECTED);
	EXPECT_EQ(hdmi->count_modes, 0);
	EXPECT_EQ(sim::property_value(sim::connector_id(0), "CRTC_ID"), sim::crtc_id(0));
	encoder_holder e(drmModeGetEncoder(fd_, sim::encoder_id(0)));
	ASSERT_TRUE(e);
	EXPECT_EQ(e->crtc_id, sim::crtc_id(0));
}

TEST_F(card_objects, encoder_and_crtc_report_the_lit_pipe)
{
	encoder_holder e0(drmModeGetEncoder(fd_, sim::encoder_id(0)));
	ASSERT_TRUE(e0);
	EXPECT_EQ(e0->crtc_id, sim::crtc_id(0));
	EXPECT_EQ(e0->encoder_type, uint32_t(DRM_MODE_ENCODER_TMDS));
	EXPECT_EQ(e0->possible_crtcs, 0x3u);
	EXPECT_EQ(e0->possible_clones, 0x1u);
	encoder_holder e1(drmModeGetEncoder(fd_, sim::encoder_id(1)));
	ASSERT_TRUE(e1);
	EXPECT_EQ(e1->crtc_id, 0u);
	EXPECT_EQ(e1->possible_clones, 0x2u);

	crtc_holder c0(drmModeGetCrtc(fd_, sim::crtc_id(0)));
	ASSERT_TRUE(c0);
	EXPECT_EQ(c0->mode_valid, 1);
	EXPECT_EQ(c0->mode.hdisplay, 1920);
	EXPECT_EQ(c0->mode.vdisplay, 1080);
	EXPECT_EQ(c0->width, 1920u);
	EXPECT_EQ(c0->buffer_id, 0u);
	crtc_holder c1(drmModeGetCrtc(fd_, sim::crtc_id(1)));
	ASSERT_TRUE(c1);
	EXPECT_EQ(c1->mode_valid, 0);

	EXPECT_EQ(errno_of([&] { return drmModeGetCrtc(fd_, sim::plane_id(0)); }), ENOENT);
	EXPECT_EQ(errno_of([&] { return drmModeGetEncoder(fd_, 9999); }), ENOENT);
}

TEST_F(card_objects, planes_report_formats_and_possible_crtcs)
{
	plane_holder p(drmModeGetPlane(fd_, sim::plane_id(2)));
	ASSERT_TRUE(p);
	EXPECT_EQ(p->possible_crtcs, 0x3u);
	EXPECT_EQ(p->crtc_id, 0u);
	EXPECT_EQ(p->fb_id, 0u);
	ASSERT_EQ(p->count_formats, 6u);
	EXPECT_EQ(p->formats[0], uint32_t(DRM_FORMAT_RGB888));
	EXPECT_EQ(p->formats[5], uint32_t(DRM_FORMAT_ARGB8888));
	// The primary plane can be asked for by id even without universal planes.
	plane_holder primary(drmModeGetPlane(fd_, sim::plane_id(0)));
	ASSERT_TRUE(primary);
	EXPECT_EQ(primary->possible_crtcs, 0x1u);
	EXPECT_EQ(errno_of([&] { return drmModeGetPlane(fd_, sim::crtc_id(0)); }), ENOENT);
}

// --- properties --------------------------------------------------------------------------------

using card_props = card;

TEST_F(card_props, atomic_properties_are_hidden_from_clients_without_the_cap)
{
	using names = std::vector<std::string>;
	EXPECT_EQ(prop_list(fd_, sim::connector_id(0), DRM_MODE_OBJECT_CONNECTOR),
	          (names{"EDID", "DPMS", "link-status", "non-desktop", "TILE"}));
	EXPECT_EQ(prop_list(fd_, sim::crtc_id(0), DRM_MODE_OBJECT_CRTC), (names{"VRR_ENABLED"}));
	EXPECT_EQ(prop_list(fd_, sim::plane_id(0), DRM_MODE_OBJECT_PLANE),
	          (names{"type", "IN_FORMATS"}));
	ASSERT_EQ(set_atomic(fd_), 0);
	EXPECT_EQ(prop_list(fd_, sim::connector_id(0), DRM_MODE_OBJECT_CONNECTOR),
	          (names{"EDID", "DPMS", "link-status", "non-desktop", "TILE", "CRTC_ID"}));
	EXPECT_EQ(prop_list(fd_, sim::crtc_id(0), DRM_MODE_OBJECT_CRTC),
	          (names{"ACTIVE", "MODE_ID", "OUT_FENCE_PTR", "VRR_ENABLED"}));
	EXPECT_EQ(prop_list(fd_, sim::plane_id(0), DRM_MODE_OBJECT_PLANE),
	          (names{"type", "FB_ID", "IN_FENCE_FD", "CRTC_ID", "CRTC_X", "CRTC_Y", "CRTC_W",
	                 "CRTC_H", "SRC_X", "SRC_Y", "SRC_W", "SRC_H", "IN_FORMATS"}));
	// Virtual connectors get no EDID property from the core.
	sim::topology t = two_pipes();
	t.connectors[1].type = DRM_MODE_CONNECTOR_VIRTUAL;
	sim::install(t);
	EXPECT_EQ(prop_list(fd_, sim::connector_id(1), DRM_MODE_OBJECT_CONNECTOR),
	          (names{"DPMS", "link-status", "non-desktop", "TILE", "CRTC_ID"}));
}

TEST_F(card_props, values_reflect_the_state)
{
	ASSERT_EQ(set_atomic(fd_), 0);
	const auto conn = [&](const char *name) {
		return value_of(fd_, sim::connector_id(0), k_conn, name);
	};
	EXPECT_EQ(conn("CRTC_ID"), sim::crtc_id(0));
	EXPECT_EQ(conn("DPMS"), uint64_t(DRM_MODE_DPMS_ON));
	EXPECT_EQ(conn("link-status"), uint64_t(DRM_MODE_LINK_STATUS_GOOD));
	EXPECT_EQ(conn("EDID"), 0u);
	EXPECT_EQ(sim::property_value(sim::connector_id(1), "DPMS"), uint64_t(DRM_MODE_DPMS_OFF));
	EXPECT_EQ(sim::property_value(sim::crtc_id(0), "ACTIVE"), 1u);
	EXPECT_EQ(sim::property_value(sim::crtc_id(1), "ACTIVE"), 0u);
	EXPECT_EQ(sim::property_value(sim::crtc_id(1), "MODE_ID"), 0u);
	EXPECT_EQ(sim::property_value(sim::plane_id(4), "type"), uint64_t(DRM_PLANE_TYPE_CURSOR));
	EXPECT_EQ(sim::property_value(sim::plane_id(0), "IN_FENCE_FD"), uint64_t(int64_t(-1)));
	EXPECT_EQ(sim::property_value(sim::plane_id(0), "NO_SUCH"), std::nullopt);
	EXPECT_EQ(sim::property_value(sim::encoder_id(0), "CRTC_ID"), std::nullopt);
}

TEST_F(card_props, property_metadata_matches_the_kernels)
{
	ASSERT_EQ(set_atomic(fd_), 0);
	auto get = [&](uint32_t object, uint32_t type, const char *name) {
		return property_holder(drmModeGetProperty(fd_, prop_id(fd_, object, type, name)));
	};
	const uint32_t plane = sim::plane_id(0), crtc = sim::crtc_id(0),
	               conn = sim::connector_id(0);
	constexpr uint32_t atomic = DRM_MODE_PROP_ATOMIC, immutable = DRM_MODE_PROP_IMMUTABLE;
	const struct {
		uint32_t object, type;
		const char *name;
		uint32_t flags;
		std::vector<uint64_t> values;
		int enums;
	} cases[] = {
	        {plane, k_plane, "SRC_W", DRM_MODE_PROP_RANGE | atomic, {0, UINT32_MAX}, 0},
	        {plane,
	         k_plane,
	         "CRTC_X",
	         DRM_MODE_PROP_SIGNED_RANGE | atomic,
	         {uint64_t(int64_t(INT32_MIN)), INT32_MAX},
	         0},
	        {plane, k_plane, "FB_ID", DRM_MODE_PROP_OBJECT | atomic, {DRM_MODE_OBJECT_FB}, 0},
	        {plane, k_plane, "type", DRM_MODE_PROP_ENUM | immutable, {0, 1, 2}, 3},
	        {crtc, k_crtc, "MODE_ID", DRM_MODE_PROP_BLOB | atomic, {}, 0},
	        {plane, k_plane, "IN_FORMATS", DRM_MODE_PROP_BLOB | immutable, {}, 0},
	        {conn, k_conn, "DPMS", DRM_MODE_PROP_ENUM, {0, 1, 2, 3}, 4},
	        {conn, k_conn, "non-desktop", DRM_MODE_PROP_RANGE | immutable, {0, 1}, 0},
	        {crtc, k_crtc, "ACTIVE", DRM_MODE_PROP_RANGE | atomic, {0, 1}, 0},
	};
	for (const auto &k : cases) {
		SCOPED_TRACE(k.name);
		property_holder p = get(k.object, k.type, k.name);
		ASSERT_TRUE(p);
		EXPECT_EQ(p->flags, k.flags);
		EXPECT_EQ(std::vector<uint64_t>(p->values, p->values + p->count_values), k.values);
		EXPECT_EQ(p->count_enums, k.enums);
	}
	property_holder type = get(plane, k_plane, "type");
	ASSERT_TRUE(type);
	EXPECT_STREQ(type->enums[1].name, "Primary");
	EXPECT_EQ(type->enums[1].value, uint64_t(DRM_PLANE_TYPE_PRIMARY));
	property_holder dpms = get(conn, k_conn, "DPMS");
	ASSERT_TRUE(dpms);
	EXPECT_STREQ(dpms->enums[3].name, "Off");

	EXPECT_EQ(errno_of([&] { return drmModeGetProperty(fd_, sim::crtc_id(0)); }), ENOENT);
}

TEST_F(card_props, object_property_lookups_check_ids_and_types)
{
	auto refused = [&](uint32_t id, uint32_t type) {
		return errno_of([&] { return drmModeObjectGetProperties(fd_, id, type); });
	};
	EXPECT_EQ(refused(sim::crtc_id(0), DRM_MODE_OBJECT_PLANE), ENOENT);
	EXPECT_EQ(refused(12345, DRM_MODE_OBJECT_ANY), ENOENT);
	EXPECT_EQ(refused(sim::encoder_id(0), DRM_MODE_OBJECT_ENCODER), EINVAL) << "no properties";
	props_holder any(drmModeObjectGetProperties(fd_, sim::crtc_id(0), DRM_MODE_OBJECT_ANY));
	ASSERT_TRUE(any);
	EXPECT_EQ(any->count_props, 1u);
}

TEST_F(card_props, blobs_hold_the_mode_and_the_plane_formats)
{
	const uint64_t mode_blob = *sim::property_value(sim::crtc_id(0), "MODE_ID");
	blob_holder b(drmModeGetPropertyBlob(fd_, uint32_t(mode_blob)));
	ASSERT_TRUE(b);
	ASSERT_EQ(b->length, sizeof(drm_mode_modeinfo));
	drm_mode_modeinfo m{};
	memcpy(&m, b->data, sizeof(m));
	EXPECT_EQ(m.hdisplay, 1920);
	EXPECT_EQ(m.vdisplay, 1080);
	EXPECT_STREQ(m.name, "1920x1080");

	const uint64_t formats_blob = *sim::property_value(sim::plane_id(2), "IN_FORMATS");
	blob_holder f(drmModeGetPropertyBlob(fd_, uint32_t(formats_blob)));
	ASSERT_TRUE(f);
	drm_format_modifier_blob head{};
	ASSERT_GE(f->length, sizeof(head));
	memcpy(&head, f->data, sizeof(head));
	EXPECT_EQ(head.version, uint32_t(FORMAT_BLOB_CURRENT));
	ASSERT_EQ(head.count_formats, 6u);
	ASSERT_EQ(head.count_modifiers, 1u);
	const auto *bytes = static_cast<const uint8_t *>(f->data);
	uint32_t first = 0;
	memcpy(&first, bytes + head.formats_offset, 4);
	EXPECT_EQ(first, uint32_t(DRM_FORMAT_RGB888));
	drm_format_modifier mod{};
	ASSERT_EQ(f->length, head.modifiers_offset + sizeof(mod));
	memcpy(&mod, bytes + head.modifiers_offset, sizeof(mod));
	EXPECT_EQ(mod.modifier, uint64_t(DRM_FORMAT_MOD_LINEAR));
	EXPECT_EQ(mod.formats, 0x3fu);

	EXPECT_EQ(errno_of([&] { return drmModeGetPropertyBlob(fd_, sim::crtc_id(0)); }), ENOENT);
}

TEST_F(card_props, user_blobs_belong_to_their_file)
{
	const uint8_t data[5] = {1, 2, 3, 4, 5};
	uint32_t id = 0;
	ASSERT_EQ(drmModeCreatePropertyBlob(fd_, data, sizeof(data), &id), 0);
	EXPECT_EQ(sim::live().blobs, 1);
	blob_holder b(drmModeGetPropertyBlob(fd_, id));
	ASSERT_TRUE(b);
	ASSERT_EQ(b->length, 5u);
	EXPECT_EQ(memcmp(b->data, data, 5), 0);

	uint32_t empty = 0;
	EXPECT_EQ(drmModeCreatePropertyBlob(fd_, data, 0, &empty), -EINVAL);

	const int other = open_card();
	ASSERT_GE(other, 0);
	EXPECT_EQ(drmModeDestroyPropertyBlob(other, id), -EPERM);
	EXPECT_EQ(drmModeDestroyPropertyBlob(fd_, id), 0);
	EXPECT_EQ(drmModeDestroyPropertyBlob(fd_, id), -ENOENT);
	EXPECT_EQ(sim::live().blobs, 0);

	uint32_t kept = 0;
	ASSERT_EQ(drmModeCreatePropertyBlob(other, data, sizeof(data), &kept), 0);
	EXPECT_EQ(kept, id) << "ids are reused lowest first";
	EXPECT_EQ(sim::live().blobs, 1);
	close(other);
	EXPECT_EQ(sim::live().blobs, 0);
}

// --- records and faults ------------------------------------------------------------------------

// A DSI panel whose driver binds after the display driver: connector 1 joins the card when it
// is connected, with the lowest free object id (here the one a destroyed blob left).
class late_connector : public card
{
protected:
	sim::topology topology() override
	{
		sim::topology t = two_pipes();
		t.connectors[1].type = DRM_MODE_CONNECTOR_DSI;
		t.connectors[1].late = true;
		return t;
	}
};

TEST_F(late_connector, is_absent_until_connected_then_listed_with_a_fresh_id)
{
	res_holder before(drmModeGetResources(fd_));
	ASSERT_TRUE(before);
	EXPECT_EQ(id_list(before->connectors, before->count_connectors),
	          (std::vector<uint32_t>{sim::connector_id(0)}));
	EXPECT_EQ(sim::connector_id(1), 0u);

	const uint8_t data[4] = {};
	uint32_t blob = 0;
	ASSERT_EQ(drmModeCreatePropertyBlob(fd_, data, sizeof data, &blob), 0);
	ASSERT_EQ(drmModeDestroyPropertyBlob(fd_, blob), 0);
	EXPECT_EQ(errno_of([&] { return drmModeGetConnector(fd_, blob); }), ENOENT);

	sim::set_connected(1, true);
	EXPECT_EQ(sim::connector_id(1), blob);
	res_holder after(drmModeGetResources(fd_));
	ASSERT_TRUE(after);
	EXPECT_EQ(id_list(after->connectors, after->count_connectors),
	          (std::vector<uint32_t>{sim::connector_id(0), blob}));
	connector_holder c(drmModeGetConnector(fd_, blob));
	ASSERT_TRUE(c);
	EXPECT_EQ(c->connection, DRM_MODE_CONNECTED);
	EXPECT_EQ(c->connector_type_id, 1u);
	EXPECT_EQ(c->encoder_id, 0u);
	EXPECT_EQ(c->count_modes, 2);

	// Unplugged, it stays in the card.
	sim::set_connected(1, false);
	res_holder unplugged(drmModeGetResources(fd_));
	ASSERT_TRUE(unplugged);
	EXPECT_EQ(unplugged->count_connectors, 2);
	EXPECT_EQ(sim::connector_id(1), blob);
}

using card_records = card;

TEST_F(card_records, every_request_is_recorded_with_its_fields_and_result)
{
	sim::clear_records();
	drmModeConnector *c = drmModeGetConnector(fd_, sim::connector_id(0));
	ASSERT_TRUE(c);
	drmModeFreeConnector(c);
	dumb b;
	ASSERT_EQ(create_dumb(fd_, 0, 10, 32, &b), EINVAL);
	ASSERT_EQ(create_dumb(fd_, 100, 10, 32, &b), 0);

	const std::vector<sim::request_record> r = sim::requests();
	ASSERT_GE(r.size(), 4u);
	// libdrm asks twice: for the counts, then for the arrays.
	EXPECT_EQ(r[0].name, "MODE_GETCONNECTOR");
	EXPECT_EQ(r[0].field("connector_id"), sim::connector_id(0));
	EXPECT_EQ(r[0].field("count_modes"), 4u);
	EXPECT_EQ(r[0].error, 0);
	const sim::request_record &bad = r[r.size() - 2];
	EXPECT_EQ(bad.name, "MODE_CREATE_DUMB");
	EXPECT_EQ(bad.error, EINVAL);
	EXPECT_EQ(bad.field("height"), 10u);
	const sim::request_record &good = r.back();
	EXPECT_EQ(good.name, "MODE_CREATE_DUMB");
	EXPECT_EQ(good.error, 0);
	EXPECT_EQ(good.field("width"), 100u);
	EXPECT_EQ(good.field("bpp"), 32u);
	EXPECT_EQ(good.field("handle"), b.handle);
	EXPECT_EQ(good.field("pitch"), 400u);
	EXPECT_EQ(good.field("size"), 4096u);
	EXPECT_EQ(good.field("no_such_field"), 0u);

	sim::clear_records();
	EXPECT_TRUE(sim::requests().empty());
	// Known requests the card does not serve keep their names.
	drm_mode_crtc setcrtc{};
	EXPECT_EQ(errno_of([&] { return drmIoctl(fd_, DRM_IOCTL_MODE_SETCRTC, &setcrtc); }),
	          EOPNOTSUPP);
	ASSERT_EQ(sim::requests().size(), 1u);
	EXPECT_EQ(sim::requests()[0].name, "MODE_SETCRTC");
}

TEST_F(card_records, request_faults_by_name_count_and_object)
{
	sim::fail_request("MODE_GETCONNECTOR", EIO, 0, sim::connector_id(1));
	EXPECT_EQ(errno_of([&] { return drmModeGetConnector(fd_, sim::connector_id(1)); }), EIO);
	connector_holder ok(drmModeGetConnector(fd_, sim::connector_id(0)));
	EXPECT_TRUE(ok);
	EXPECT_EQ(errno_of([&] { return drmModeGetConnector(fd_, sim::connector_id(1)); }), EIO)
	        << "every call fails";
	sim::clear_faults();
	connector_holder now(drmModeGetConnector(fd_, sim::connector_id(1)));
	EXPECT_TRUE(now);

	// The second call from now, once.
	sim::fail_request("MODE_CREATE_DUMB", ENOMEM, 2);
	dumb b;
	EXPECT_EQ(create_dumb(fd_, 8, 8, 32, &b), 0);
	EXPECT_EQ(create_dumb(fd_, 8, 8, 32, &b), ENOMEM);
	EXPECT_EQ(create_dumb(fd_, 8, 8, 32, &b), 0);
	EXPECT_EQ(sim::requests().back().name, "MODE_CREATE_DUMB");
	const std::vector<sim::request_record> r = sim::requests();
	EXPECT_EQ(r[r.size() - 2].error, ENOMEM);

	sim::fail_request("MODE_GETCRTC", EPERM, 1, sim::crtc_id(0));
	crtc_holder other(drmModeGetCrtc(fd_, sim::crtc_id(1)));
	EXPECT_TRUE(other) << "another object does not count";
	EXPECT_EQ(errno_of([&] { return drmModeGetCrtc(fd_, sim::crtc_id(0)); }), EPERM);
	crtc_holder again(drmModeGetCrtc(fd_, sim::crtc_id(0)));
	EXPECT_TRUE(again);

	sim::fail_request("MODE_GETPLANE", EINVAL, 0, sim::plane_id(3));
	sim::fail_request("MODE_GETPROPERTY", EBUSY);
	EXPECT_EQ(errno_of([&] { return drmModeGetPlane(fd_, sim::plane_id(3)); }), EINVAL);
	EXPECT_EQ(errno_of([&] { return drmModeGetProperty(fd_, 1); }), EBUSY);
	// install() starts a card without faults.
	sim::install(two_pipes());
	property_holder p(drmModeGetProperty(fd_, 1));
	EXPECT_TRUE(p);
}

} // namespace
