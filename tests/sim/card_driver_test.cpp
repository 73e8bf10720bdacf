// Driver settings of the virtual card that real drivers differ in: VERSION's numbers, the cursor
// size caps, EDID blobs, the order in which objects get their ids, and scan-out limits.
#include <numeric>

#include "tests/sim/card_fixture.h"

namespace
{

using namespace card_test;

// One Virtual connector at 1280x800@75 preferred (and 1024x768) on one lit CRTC, a primary and
// a cursor plane, as QEMU's virtual display devices offer it.
sim::topology virtual_display()
{
	sim::topology t =
	        lit_hdmi_card({test_mode(1280, 800, true, 75), test_mode(1024, 768, false)},
	                      {test_plane(DRM_PLANE_TYPE_PRIMARY, {DRM_FORMAT_XRGB8888}),
	                       test_plane(DRM_PLANE_TYPE_CURSOR, {DRM_FORMAT_ARGB8888})});
	t.driver.name = "simtest";
	t.encoders[0].type = DRM_MODE_ENCODER_VIRTUAL;
	t.connectors[0] = {.type = DRM_MODE_CONNECTOR_VIRTUAL,
	                   .modes = {test_mode(1024, 768, false), test_mode(1280, 800, true, 75)},
	                   .encoders = {0}};
	return t;
}

class driver_settings : public ::testing::Test
{
protected:
	void TearDown() override
	{
		if (fd_ >= 0)
			close(fd_);
	}
	void start(const sim::topology &t)
	{
		sim::install(t);
		fd_ = open_card();
		ASSERT_GE(fd_, 0);
		ASSERT_EQ(set_atomic(fd_), 0);
	}
	int fd_ = -1;
};

TEST_F(driver_settings, version_and_cursor_size_come_from_the_driver)
{
	sim::topology t = virtual_display();
	start(t);
	auto expect = [&](int major, int minor, int patchlevel, uint64_t w, uint64_t h) {
		version_holder v(drmGetVersion(fd_));
		ASSERT_TRUE(v);
		EXPECT_STREQ(v->name, "simtest");
		EXPECT_EQ(v->name_len, 7);
		EXPECT_STREQ(v->desc, "virtual KMS card");
		EXPECT_EQ(v->version_major, major);
		EXPECT_EQ(v->version_minor, minor);
		EXPECT_EQ(v->version_patchlevel, patchlevel);
		uint64_t cw = 0, ch = 0;
		ASSERT_EQ(drmGetCap(fd_, DRM_CAP_CURSOR_WIDTH, &cw), 0);
		ASSERT_EQ(drmGetCap(fd_, DRM_CAP_CURSOR_HEIGHT, &ch), 0);
		EXPECT_EQ(cw, w);
		EXPECT_EQ(ch, h);
	};
	expect(1, 0, 0, 64, 64);
	t.driver.version_major = 3;
	t.driver.version_minor = 7;
	t.driver.version_patchlevel = 11;
	t.driver.cursor_width = 512;
	t.driver.cursor_height = 256;
	sim::install(t);
	expect(3, 7, 11, 512, 256);
}

TEST_F(driver_settings, a_virtual_connector_has_no_edid_unless_the_driver_gives_one)
{
	start(virtual_display());
	EXPECT_EQ(prop_list(fd_, sim::connector_id(0), k_conn, true),
	          (std::vector<std::string>{"DPMS=0", "link-status=0", "non-desktop=0", "TILE=0",
	                                    "CRTC_ID=" + std::to_string(sim::crtc_id(0))}));
	EXPECT_FALSE(sim::property_value(sim::connector_id(0), "EDID"));
}

// The preferred size in a 128-byte EDID blob, as a client reads it; 0x0 for any other blob.
std::pair<unsigned, unsigned> edid_size(int fd, uint32_t blob_id)
{
	blob_holder b(drmModeGetPropertyBlob(fd, blob_id));
	if (!b || b->length != 128)
		return {0, 0};
	const auto *t = static_cast<const uint8_t *>(b->data) + 54;
	return {t[2] | (t[4] >> 4) << 8u, t[5] | (t[7] >> 4) << 8u};
}

// The EDID blob describes the preferred mode; its bytes are a valid EDID 1.3 base block.
void expect_edid_of_1280x800_75(int fd, uint32_t blob_id)
{
	blob_holder b(drmModeGetPropertyBlob(fd, blob_id));
	ASSERT_TRUE(b) << "blob " << blob_id;
	ASSERT_EQ(b->length, 128u);
	const auto *e = static_cast<const uint8_t *>(b->data);
	const uint8_t header[8] = {0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00};
	EXPECT_EQ(memcmp(e, header, 8), 0);
	EXPECT_EQ(e[18], 1);
	EXPECT_EQ(e[19], 3);
	EXPECT_EQ(std::accumulate(e, e + 128, 0u) % 256, 0u) << "checksum";
	EXPECT_EQ(e[126], 0) << "extensions";
	// The first detailed timing: the preferred mode's size and the clock of its timings.
	const uint8_t *t = e + 54;
	EXPECT_EQ(edid_size(fd, blob_id), (std::pair<unsigned, unsigned>{1280, 800}));
	const unsigned clock_khz = (t[0] | t[1] << 8) * 10u;
	const unsigned htotal = 1280 + (t[3] | (t[4] & 0xf) << 8);
	const unsigned vtotal = 800 + (t[6] | (t[7] & 0xf) << 8);
	EXPECT_NEAR(clock_khz * 1000.0 / (htotal * vtotal), 75.0, 0.5);
	EXPECT_EQ(e[24] & 0x02, 0x02) << "the first detailed timing is the preferred mode";
}

TEST_F(driver_settings, an_edid_read_at_init_comes_right_after_its_connector_and_stays)
{
	sim::topology t = virtual_display();
	t.connectors[0].edid = sim::connector_def::edid_blob::at_init;
	start(t);
	const std::vector<std::string> props = prop_list(fd_, sim::connector_id(0), k_conn, true);
	ASSERT_EQ(props.size(), 6u);
	// Attached by the driver after the core's properties.
	EXPECT_EQ(props.back(), "EDID=" + std::to_string(sim::connector_id(0) + 1));
	expect_edid_of_1280x800_75(fd_, sim::connector_id(0) + 1);
	connector_holder c(drmModeGetConnector(fd_, sim::connector_id(0)));
	ASSERT_TRUE(c);
	EXPECT_EQ(c->count_props, 6);
	EXPECT_EQ(c->prop_values[5], sim::connector_id(0) + 1);
	// A hot-plug does not read it again.
	sim::set_connected(0, false);
	sim::set_connected(0, true, {test_mode(1920, 1080)});
	EXPECT_EQ(sim::property_value(sim::connector_id(0), "EDID"), sim::connector_id(0) + 1);
	expect_edid_of_1280x800_75(fd_, sim::connector_id(0) + 1);
}

TEST_F(driver_settings, an_edid_read_at_probe_time_comes_after_every_object)
{
	sim::topology t = virtual_display();
	t.connectors[0].edid = sim::connector_def::edid_blob::at_probe;
	start(t);
	const uint32_t edid = sim::encoder_id(0) + 1;
	EXPECT_EQ(sim::property_value(sim::connector_id(0), "EDID"), edid);
	expect_edid_of_1280x800_75(fd_, edid);
	// The lit CRTC's mode blob follows it.
	EXPECT_EQ(sim::property_value(sim::crtc_id(0), "MODE_ID"), edid + 1);
	// Immutable: a commit may not set it.
	EXPECT_EQ(request(fd_)
	                  .set(sim::connector_id(0), k_conn, "EDID", 0)
	                  .commit(DRM_MODE_ATOMIC_TEST_ONLY),
	          EINVAL);
}

TEST_F(driver_settings, an_edid_read_at_probe_time_is_read_again_on_hot_plug)
{
	sim::topology t = virtual_display();
	t.connectors[0].edid = sim::connector_def::edid_blob::at_probe;
	// A second output, unplugged, whose EDID is read at probe time as well.
	t.connectors.push_back(t.connectors[0]);
	t.connectors[1].connected = false;
	t.connectors[1].bound_encoder = -1;
	t.connectors[1].modes = {test_mode(1024, 768)};
	start(t);
	const uint32_t first = sim::encoder_id(0) + 1;
	ASSERT_EQ(sim::property_value(sim::connector_id(0), "EDID"), first);
	ASSERT_EQ(sim::property_value(sim::connector_id(1), "EDID"), first + 1);
	const uint32_t mode_blob = first + 2;
	ASSERT_EQ(sim::property_value(sim::crtc_id(0), "MODE_ID"), mode_blob);

	// Each output gets a new blob, in connector order, made before the old one is freed; the
	// old ids are gone.
	sim::set_connected(1, true);
	const uint64_t a = *sim::property_value(sim::connector_id(0), "EDID");
	const uint64_t b = *sim::property_value(sim::connector_id(1), "EDID");
	EXPECT_EQ(a, mode_blob + 1);
	EXPECT_EQ(b, first) << "the lowest free id, left by connector 0's old blob";
	EXPECT_EQ(errno_of([&] { return drmModeGetPropertyBlob(fd_, first + 1); }), ENOENT)
	        << "connector 1's old blob";
	expect_edid_of_1280x800_75(fd_, uint32_t(a));
	EXPECT_EQ(edid_size(fd_, uint32_t(b)), (std::pair<unsigned, unsigned>{1024, 768}));
	connector_holder c(drmModeGetConnector(fd_, sim::connector_id(0)));
	ASSERT_TRUE(c);
	EXPECT_EQ(c->prop_values[c->count_props - 1], a) << "what GETCONNECTOR reports";

	// A new monitor on output 0: its EDID describes the new preferred mode; an unplug reads
	// the EDID again as well.
	sim::set_connected(0, true, {test_mode(1920, 1080), test_mode(1280, 720, false)});
	const uint64_t a2 = *sim::property_value(sim::connector_id(0), "EDID");
	EXPECT_EQ(a2, first + 1);
	EXPECT_EQ(edid_size(fd_, uint32_t(a2)), (std::pair<unsigned, unsigned>{1920, 1080}));
	sim::set_connected(1, false);
	EXPECT_NE(sim::property_value(sim::connector_id(1), "EDID"), b);
	EXPECT_EQ(edid_size(fd_, uint32_t(*sim::property_value(sim::connector_id(1), "EDID"))),
	          (std::pair<unsigned, unsigned>{1024, 768}));
	EXPECT_EQ(errno_of([&] { return drmModeGetPropertyBlob(fd_, uint32_t(a)); }), ENOENT);
	EXPECT_EQ(sim::property_value(sim::crtc_id(0), "MODE_ID"), mode_blob);
}

TEST_F(driver_settings, other_connector_types_carry_edid_first)
{
	sim::topology t = two_pipes();
	start(t);
	std::vector<std::string> props = prop_list(fd_, sim::connector_id(0), k_conn, true);
	ASSERT_FALSE(props.empty());
	EXPECT_EQ(props.front(), "EDID=0");

	t.connectors[0].edid = sim::connector_def::edid_blob::at_init;
	sim::install(t);
	props = prop_list(fd_, sim::connector_id(0), k_conn, true);
	ASSERT_EQ(props.size(), 6u);
	const uint32_t blob = sim::connector_id(0) + 1;
	EXPECT_EQ(props.front(), "EDID=" + std::to_string(blob));
	// two_pipes()' HDMI-A monitor prefers 1920x1080.
	EXPECT_EQ(edid_size(fd_, blob), (std::pair<unsigned, unsigned>{1920, 1080}));
	// The unplugged DisplayPort was not given one.
	EXPECT_EQ(sim::property_value(sim::connector_id(1), "EDID"), 0u);
}

TEST_F(driver_settings, ids_follow_the_drivers_creation_order)
{
	// The kernel creates 30 standard properties first, so the first mode object is 31.
	sim::topology t = virtual_display();
	start(t);
	EXPECT_EQ(sim::plane_id(0), 31u);
	EXPECT_EQ(sim::plane_id(1), 33u); // after plane 0's IN_FORMATS blob
	EXPECT_EQ(sim::crtc_id(0), 35u);
	EXPECT_EQ(sim::connector_id(0), 36u);
	EXPECT_EQ(sim::encoder_id(0), 37u);
	EXPECT_EQ(sim::property_value(sim::plane_id(0), "IN_FORMATS"), 32u);
	EXPECT_EQ(sim::property_value(sim::crtc_id(0), "MODE_ID"), 38u);
	EXPECT_EQ(sim::connector_id(1), 0u) << "no second connector";

	using kind = sim::driver_def::object_kind;
	t.driver.creation_order = {kind::connectors, kind::planes, kind::crtcs, kind::encoders};
	t.driver.hidden_ids = 4;
	t.driver.fbdev = true;
	sim::install(t);
	EXPECT_EQ(sim::connector_id(0), 31u);
	EXPECT_EQ(sim::plane_id(0), 32u);
	EXPECT_EQ(sim::plane_id(1), 34u);
	EXPECT_EQ(sim::crtc_id(0), 36u);
	EXPECT_EQ(sim::encoder_id(0), 37u);
	// Hidden objects take 38 to 41, then come the console's framebuffer and the mode blob.
	EXPECT_EQ(sim::property_value(sim::plane_id(0), "FB_ID"), 42u);
	EXPECT_EQ(sim::property_value(sim::crtc_id(0), "MODE_ID"), 43u);
	uint32_t blob = 0;
	const uint32_t data = 1;
	ASSERT_EQ(drmModeCreatePropertyBlob(fd_, &data, sizeof data, &blob), 0);
	EXPECT_EQ(blob, 44u);
	// A hidden id is nothing a client can use.
	props_holder none(drmModeObjectGetProperties(fd_, 38, k_conn));
	EXPECT_FALSE(none);
	EXPECT_EQ(drmModeGetConnector(fd_, 38), nullptr);
}

// A cirrus-like scan-out engine: rows of at most 4088 bytes, 1 MiB of memory; planes scale so
// that framebuffers of any size can be shown.
class scanout_limits : public driver_settings
{
protected:
	void SetUp() override
	{
		sim::topology t = two_pipes();
		t.driver.max_scanout_pitch = 4088;
		t.driver.scanout_memory = 1u << 20;
		start(t);
	}
	// 0 or the errno of a TEST_ONLY commit showing a w x h framebuffer on plane 2 (an overlay
	// with RG24 and XR24) at (x, 0), 64x64 on the screen.
	int show(uint32_t w, uint32_t h, uint32_t format, int32_t x = 0)
	{
		const uint32_t fb = make_fb(fd_, w, h, format);
		const int err = card_test::show(request(fd_), 2, 0, fb, w, h, x, 0, 64, 64)
		                        .commit(DRM_MODE_ATOMIC_TEST_ONLY);
		drmModeRmFB(fd_, fb);
		return err;
	}
};

// Off the screen the plane is not visible and not checked. Long XR24 rows are converted to
// RG24, or to RG16 when RG24's rows are still too long.
TEST_F(scanout_limits, rows_and_frames_beyond_the_engine_are_refused_or_converted)
{
	constexpr uint32_t rg24 = DRM_FORMAT_RGB888, xr24 = DRM_FORMAT_XRGB8888;
	const struct {
		uint32_t w, h, format;
		int32_t x;
		int err;
	} cases[] = {
	        {1362, 100, rg24, 0, 0},      // 4086 bytes
	        {1363, 100, rg24, 0, EINVAL}, // 4089 bytes
	        {1363, 100, rg24, 1920, 0},   // off the screen
	        {1022, 100, xr24, 0, 0},      // 4088 bytes as they are
	        {1100, 300, xr24, 0, 0},      // 4400 bytes, converted to RG24's 3300
	        {1100, 317, xr24, 0, 0},      // 3300 * 317 bytes of RG24 fit in 1 MiB
	        {1100, 318, xr24, 0, EINVAL}, // 3300 * 318 do not
	        {2000, 262, xr24, 0, 0},      // 8000 bytes: RG16's 4000, as RG24 takes 6000
	        {2000, 263, xr24, 0, EINVAL}, {512, 512, xr24, 0, 0}, // exactly 1 MiB
	        {512, 513, xr24, 0, EINVAL},
	};
	for (const auto &k : cases)
		EXPECT_EQ(show(k.w, k.h, k.format, k.x), k.err) << k.w << "x" << k.h << " " << k.x;
}

// On the cirrus preset a full-screen RG24 picture needs rows of at most 4088 bytes: 1360x768
// shows, 1366x768 (4098 bytes a row) does not, while XR24 at 1366x768 is converted and shows.
TEST_F(driver_settings, cirrus_shows_rg24_only_up_to_4088_bytes_a_row)
{
	start(*sim::preset("cirrus"));
	auto commit = [&](uint16_t w, uint16_t h, uint32_t format) {
		const uint32_t blob = mode_blob(fd_, connector_mode(fd_, 0, 0, w, h));
		const uint32_t fb = make_fb(fd_, w, h, format);
		const int err =
		        show(request(fd_), 0, 0, fb, w, h, 0, 0, w, h)
		                .set(sim::crtc_id(0), k_crtc, "MODE_ID", blob)
		                .commit(DRM_MODE_ATOMIC_TEST_ONLY | DRM_MODE_ATOMIC_ALLOW_MODESET);
		drmModeRmFB(fd_, fb);
		drmModeDestroyPropertyBlob(fd_, blob);
		return err;
	};
	EXPECT_EQ(commit(1360, 768, DRM_FORMAT_RGB888), 0);
	EXPECT_EQ(commit(1366, 768, DRM_FORMAT_RGB888), EINVAL);
	EXPECT_EQ(commit(1366, 768, DRM_FORMAT_XRGB8888), 0);
	EXPECT_EQ(commit(1024, 768, DRM_FORMAT_RGB888), 0);
}

} // namespace
