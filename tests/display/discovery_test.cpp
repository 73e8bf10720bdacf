#include <algorithm>
#include <cctype>
#include <cerrno>
#include <string>
#include <vector>

#include <drm_fourcc.h>
#include <gtest/gtest.h>

#include "display/display.h"
#include "sim/sim.h"
#include "tests/support/capture.h"
#include "tests/support/card.h"
#include "tests/support/seam.h"

// Seams: while asked to, every connector and encoder fetch notes whether the chosen connector
// and encoder were published at that moment; every record handed to libdrm's free calls is noted.
namespace seam
{
bool watching = false;
std::vector<std::string> published; // "connector encoder" per fetch, 1 when set
std::vector<const void *> freed;
} // namespace seam

namespace
{
void note_published()
{
	if (seam::watching)
		seam::published.push_back(std::to_string(bool(g_drm_connector)) + " " +
		                          std::to_string(bool(g_drm_encoder)));
}
} // namespace

extern "C" drmModeConnectorPtr drmModeGetConnector(int fd, uint32_t id)
{
	note_published();
	return SEAM_NEXT(drmModeGetConnector)(fd, id);
}

extern "C" drmModeEncoderPtr drmModeGetEncoder(int fd, uint32_t id)
{
	note_published();
	return SEAM_NEXT(drmModeGetEncoder)(fd, id);
}

extern "C" void drmModeFreeConnector(drmModeConnectorPtr p)
{
	seam::freed.push_back(p);
	SEAM_NEXT(drmModeFreeConnector)(p);
}

extern "C" void drmModeFreeEncoder(drmModeEncoderPtr p)
{
	seam::freed.push_back(p);
	SEAM_NEXT(drmModeFreeEncoder)(p);
}

namespace
{

sim::mode_def mode(uint16_t w, uint16_t h, uint32_t hz, const char *name = "")
{
	return {.hdisplay = w, .vdisplay = h, .vrefresh = hz, .name = name};
}

// One CRTC, one primary plane, and one encoder per connector, each bound to its connector.
sim::topology card_with(std::vector<sim::connector_def> connectors)
{
	sim::topology t;
	for (size_t i = 0; i < connectors.size(); i++) {
		t.encoders.push_back({.type = connectors[i].type == DRM_MODE_CONNECTOR_HDMIA
		                                      ? uint32_t(DRM_MODE_ENCODER_TMDS)
		                                      : uint32_t(DRM_MODE_ENCODER_NONE)});
		connectors[i].encoders = {int(i)};
		if (!connectors[i].bound_encoder)
			connectors[i].bound_encoder = int(i);
	}
	t.connectors = std::move(connectors);
	t.crtcs = {sim::crtc_def{}};
	t.planes = {test_plane(DRM_PLANE_TYPE_PRIMARY, {DRM_FORMAT_XRGB8888, DRM_FORMAT_RGB888})};
	return t;
}

sim::connector_def output(uint32_t type, bool connected, std::vector<sim::mode_def> modes)
{
	return {.type = type, .connected = connected, .modes = std::move(modes)};
}

struct discovery {
	bool resources = false, connector = false, encoder = false;
	std::string out;
};

discovery discover()
{
	discovery d;
	output_capture cap;
	int fd = open_atomic_card();
	d.resources = drm_load_resources(fd);
	d.connector = d.resources && drm_get_connector(fd);
	d.encoder = d.connector && drm_find_encoder(fd);
	d.out = cap.stop();
	return d;
}

// Records fetched before a re-detection and held since: none is freed while held, and each,
// replaced by the new choice, is freed once its last holder lets go.
template <typename... Held>
void expect_replaced_and_freed_on_release(Held &...held)
{
	auto frees = [](const void *p) {
		return std::count(seam::freed.begin(), seam::freed.end(), p);
	};
	const void *records[] = {held.get()...};
	for (const void *p : records)
		EXPECT_EQ(frees(p), 0);
	(held.reset(), ...);
	for (const void *p : records)
		EXPECT_EQ(frees(p), 1);
}

// The text with each "E<k>" replaced by the card's id of encoder k.
std::string with_encoder_ids(std::string text)
{
	for (size_t at = text.find('E'); at != std::string::npos; at = text.find('E', at)) {
		if (at + 1 < text.size() && isdigit(static_cast<unsigned char>(text[at + 1]))) {
			const std::string id = std::to_string(sim::encoder_id(text[at + 1] - '0'));
			text.replace(at, 2, id);
			at += id.size();
		} else {
			at++;
		}
	}
	return text;
}

// The count line, then two lines per connector: `states` holds, per connector, 'y' or 'n'
// (connected) and its mode count, e.g. "n0y1".
std::string listing(const std::string &states)
{
	std::string out = "[DRM]: Found " + std::to_string(states.size() / 2) + " connectors.\n";
	for (size_t i = 0; i < states.size(); i += 2) {
		const std::string c = "[DRM]: Connector " + std::to_string(i / 2);
		out += c + " connected: " + (states[i] == 'y' ? "yes" : "no") + "\n" + c + " has " +
		       states[i + 1] + " modes.\n";
	}
	return out;
}

// The encoder search's lines, from encoder 0 up to the connector's own encoder `bound`.
std::string encoder_walk(int bound)
{
	std::string out;
	for (int k = 0; k <= bound; k++)
		out += "g_drm_encoder->encoder_id=E" + std::to_string(k) +
		       " g_drm_connector->encoder_id=E" + std::to_string(bound) + "\n";
	return out;
}

const std::string k_no_previous = "drm_get_connector: g_drm_connector=(nil) 11111\n";

class DisplayDiscovery : public ::testing::Test
{
protected:
	void TearDown() override
	{
		install_card(sim::topology{});
	}
};

TEST_F(DisplayDiscovery, HdmiMonitorAfterDisplayPortIsChosenWithEveryLine)
{
	install_card(card_with({output(DRM_MODE_CONNECTOR_DisplayPort, true, {mode(1280, 720, 60)}),
	                        output(DRM_MODE_CONNECTOR_HDMIA, true,
	                               {mode(1920, 1080, 60), mode(1280, 720, 50, "720p")})}));
	discovery d = discover();
	ASSERT_TRUE(d.encoder);
	EXPECT_EQ(d.out,
	          with_encoder_ids(listing("y1y2") +
	                           "[DRM]: HDMI Connector 1 assigned to monitor index: #1.\n" +
	                           k_no_previous +
	                           "[DRM]: Mode 0: (1920x1080) 1920 x 1080, 60 Hz\n"
	                           "[DRM]: Mode 1: (720p) 1280 x 720, 50 Hz\n" +
	                           encoder_walk(1)));
	auto conn = g_drm_connector.get();
	auto enc = g_drm_encoder.get();
	ASSERT_TRUE(conn && enc);
	EXPECT_EQ(conn->connector_id, sim::connector_id(1));
	EXPECT_EQ(enc->encoder_id, sim::encoder_id(1));
}

// A card's connectors, the connector and encoder discovery must choose (-1: none) and all it
// prints, in order.
struct choice {
	const char *name;
	int connector, encoder;
	std::vector<sim::connector_def> connectors;
	std::string out;
};

template <typename... Outputs>
std::vector<sim::connector_def> outputs(Outputs... o)
{
	return {o...};
}

void PrintTo(const choice &c, std::ostream *os)
{
	*os << c.name;
}

class DisplayChoice : public DisplayDiscovery, public ::testing::WithParamInterface<choice>
{
};

TEST_P(DisplayChoice, ChoosesAndPrintsExactly)
{
	const choice &c = GetParam();
	install_card(card_with(c.connectors));
	discovery d = discover();
	EXPECT_EQ(d.out, with_encoder_ids(c.out));
	EXPECT_EQ(d.connector, c.connector >= 0);
	EXPECT_EQ(d.encoder, c.encoder >= 0);
	auto conn = g_drm_connector.get();
	auto enc = g_drm_encoder.get();
	EXPECT_EQ(conn ? int(conn->connector_id) : -1,
	          c.connector >= 0 ? int(sim::connector_id(c.connector)) : -1);
	EXPECT_EQ(enc ? int(enc->encoder_id) : -1,
	          c.encoder >= 0 ? int(sim::encoder_id(c.encoder)) : -1);
}

sim::connector_def unbound(sim::connector_def c)
{
	c.bound_encoder = -1;
	return c;
}

INSTANTIATE_TEST_SUITE_P(
        Cases, DisplayChoice,
        ::testing::Values(
                choice{"WithoutHdmiTheFirstConnectedOutputWithModes", 2, 2,
                       outputs(output(DRM_MODE_CONNECTOR_DisplayPort, false, {mode(800, 600, 60)}),
                               output(DRM_MODE_CONNECTOR_VGA, true, {}),
                               output(DRM_MODE_CONNECTOR_DisplayPort, true, {mode(1024, 768, 60)}),
                               output(DRM_MODE_CONNECTOR_VGA, true, {mode(640, 480, 60)})),
                       listing("n0y0y1y1") + k_no_previous +
                               "[DRM]: Mode 0: (1024x768) 1024 x 768, 60 Hz\n" + encoder_walk(2)},
                // An HDMI monitor that reports no modes is no HDMI monitor to the first pass: the
                // other output is chosen and no HDMI line printed.
                choice{"ConnectedHdmiWithoutModesBeforeAnOutputWithModes", 1, 1,
                       outputs(output(DRM_MODE_CONNECTOR_HDMIA, true, {}),
                               output(DRM_MODE_CONNECTOR_DisplayPort, true, {mode(1280, 720, 60)})),
                       listing("y0y1") + k_no_previous +
                               "[DRM]: Mode 0: (1280x720) 1280 x 720, 60 Hz\n" + encoder_walk(1)},
                choice{"ConnectedHdmiWithoutModesAfterAnOutputWithModes", 0, 0,
                       outputs(output(DRM_MODE_CONNECTOR_VGA, true, {mode(640, 480, 60)}),
                               output(DRM_MODE_CONNECTOR_HDMIA, true, {})),
                       listing("y1y0") + k_no_previous +
                               "[DRM]: Mode 0: (640x480) 640 x 480, 60 Hz\n" + encoder_walk(0)},
                // The connected DisplayPort output comes first, but the first pass has found the
                // HDMI monitor at index 2, so the second passes over everything not HDMI-A.
                choice{"OnceAnHdmiMonitorIsFoundOnlyHdmiOutputsAreTaken", 2, 2,
                       outputs(output(DRM_MODE_CONNECTOR_HDMIA, false, {}),
                               output(DRM_MODE_CONNECTOR_DisplayPort, true, {mode(800, 600, 60)}),
                               output(DRM_MODE_CONNECTOR_HDMIA, true, {mode(1920, 1080, 60)})),
                       listing("n0y1y1") +
                               "[DRM]: HDMI Connector 2 assigned to monitor index: #1.\n" +
                               k_no_previous + "[DRM]: Mode 0: (1920x1080) 1920 x 1080, 60 Hz\n" +
                               encoder_walk(2)},
                choice{"ConnectedOutputsWithoutModesGiveNoConnector", -1, -1,
                       outputs(output(DRM_MODE_CONNECTOR_HDMIA, true, {}),
                               output(DRM_MODE_CONNECTOR_DisplayPort, true, {})),
                       listing("y0y0") + k_no_previous + "[DRM]: Couldn't get device connector."},
                choice{"ConnectorWithoutBoundEncoderFindsNoEncoder", 0, -1,
                       outputs(unbound(output(DRM_MODE_CONNECTOR_HDMIA, true,
                                              {mode(1920, 1080, 60)}))),
                       listing("y1") + "[DRM]: HDMI Connector 0 assigned to monitor index: #1.\n" +
                               k_no_previous +
                               "[DRM]: Mode 0: (1920x1080) 1920 x 1080, 60 Hz\n"
                               "g_drm_encoder->encoder_id=E0 g_drm_connector->encoder_id=0\n"
                               "[DRM]: Couldn't find DRM encoder."}),
        [](const ::testing::TestParamInfo<choice> &param) {
	        return std::string(param.param.name);
        });

TEST_F(DisplayDiscovery, MissingResourcesAndUnreadableConnectors)
{
	install_card(card_with({output(DRM_MODE_CONNECTOR_HDMIA, true, {mode(1920, 1080, 60)}),
	                        output(DRM_MODE_CONNECTOR_HDMIA, true, {mode(1280, 720, 60)})}));
	sim::fail_request("MODE_GETRESOURCES", EIO, 1);
	discovery d = discover();
	EXPECT_FALSE(d.resources);
	EXPECT_EQ(d.out, "[DRM]: Couldn't get device resources.");

	// A connector that cannot be fetched is skipped in both passes without a message.
	sim::fail_request("MODE_GETCONNECTOR", EIO, 0, sim::connector_id(0));
	d = discover();
	ASSERT_TRUE(d.connector);
	EXPECT_EQ(g_drm_connector.get()->connector_id, sim::connector_id(1));
	EXPECT_EQ(d.out,
	          with_encoder_ids(
	                  "[DRM]: Found 2 connectors.\n"
	                  "[DRM]: Connector 1 connected: yes\n[DRM]: Connector 1 has 1 modes.\n"
	                  "[DRM]: HDMI Connector 1 assigned to monitor index: #1.\n" +
	                  k_no_previous + "[DRM]: Mode 0: (1280x720) 1280 x 720, 60 Hz\n" +
	                  encoder_walk(1)));
}

TEST_F(DisplayDiscovery, RedetectionPrintsThePreviousRecordAndReplacesItOnlyWithTheNewChoice)
{
	// A DisplayPort output without an encoder bound, then the HDMI monitor.
	sim::connector_def dp = output(DRM_MODE_CONNECTOR_DisplayPort, false, {});
	dp.bound_encoder = -1;
	install_card(
	        card_with({dp, output(DRM_MODE_CONNECTOR_HDMIA, true, {mode(1280, 720, 60)})}));
	ASSERT_TRUE(discover().encoder);
	auto held_connector = g_drm_connector.get();
	auto held_encoder = g_drm_encoder.get();
	char previous[32];
	snprintf(previous, sizeof previous, "%p", static_cast<const void *>(held_connector.get()));

	seam::freed.clear();
	output_capture cap;
	seam::watching = true;
	drm_redetect_display(g_drm_fd);
	seam::watching = false;
	std::string out = cap.stop();
	// Both passes over the two connectors, then both encoders: never without a connector or
	// an encoder, and the new ones are in place at the end.
	EXPECT_EQ(seam::published, std::vector<std::string>(6, "1 1"));
	EXPECT_EQ(g_drm_encoder.get()->encoder_id, sim::encoder_id(1));
	EXPECT_EQ(out,
	          with_encoder_ids(listing("n0y1") +
	                           "[DRM]: HDMI Connector 1 assigned to monitor index: #1.\n" +
	                           "drm_get_connector: g_drm_connector=" + std::string(previous) +
	                           " 11111\n"
	                           "[DRM]: Mode 0: (1280x720) 1280 x 720, 60 Hz\n" +
	                           encoder_walk(1)));
	// The held records are still readable (the sanitizer build would report a read of a
	// released one) until they are let go.
	EXPECT_EQ(held_connector->count_modes, 1);
	EXPECT_EQ(held_connector->modes[0].hdisplay, 1280);
	EXPECT_EQ(held_encoder->encoder_id, sim::encoder_id(1));
	expect_replaced_and_freed_on_release(held_connector, held_encoder);

	// A re-detection that finds no monitor leaves no connector, as before.
	sim::set_connected(1, false);
	output_capture quiet;
	drm_redetect_display(g_drm_fd);
	quiet.stop();
	EXPECT_FALSE(g_drm_connector);
	seam::published.clear();
}

TEST_F(DisplayDiscovery, EncoderCrtcReportsItsPositionAsPipe)
{
	sim::topology t =
	        card_with({output(DRM_MODE_CONNECTOR_HDMIA, true, {mode(1920, 1080, 60)})});
	t.crtcs.resize(3);
	t.encoders[0].possible_crtcs = 0x4;
	t.crtcs[2].active = true;
	t.crtcs[2].mode = mode(1920, 1080, 60);
	install_card(t);
	uint32_t pipe = 99;
	EXPECT_EQ(get_encoder_crtc(g_drm_fd, &pipe), nullptr); // no encoder chosen yet
	EXPECT_EQ(pipe, 99u);
	ASSERT_TRUE(discover().encoder);
	ASSERT_EQ(g_drm_encoder.get()->crtc_id, sim::crtc_id(2));
	crtc_holder crtc = get_encoder_crtc(g_drm_fd, &pipe);
	ASSERT_TRUE(crtc);
	EXPECT_EQ(crtc->crtc_id, sim::crtc_id(2));
	EXPECT_EQ(pipe, 2u);
}

TEST_F(DisplayDiscovery, PropertyIdsByExactName)
{
	install_card(card_with({output(DRM_MODE_CONNECTOR_HDMIA, true, {mode(1920, 1080, 60)})}));
	int fd = open_atomic_card();
	uint32_t crtc = sim::crtc_id(0);
	int32_t active = find_property_id(fd, crtc, DRM_MODE_OBJECT_CRTC, "ACTIVE");
	int32_t mode_id = find_property_id(fd, crtc, DRM_MODE_OBJECT_CRTC, "MODE_ID");
	EXPECT_GT(active, 0);
	EXPECT_GT(mode_id, 0);
	EXPECT_NE(active, mode_id);
	{
		property_holder prop(drmModeGetProperty(fd, uint32_t(active)));
		ASSERT_TRUE(prop);
		EXPECT_STREQ(prop->name, "ACTIVE");
	}
	EXPECT_EQ(find_property_id(fd, crtc, DRM_MODE_OBJECT_CRTC, "active"), -1);
	EXPECT_EQ(find_property_id(fd, crtc, DRM_MODE_OBJECT_CRTC, "ACTIV"), -1);
	EXPECT_EQ(find_property_id(fd, crtc, DRM_MODE_OBJECT_CONNECTOR, "ACTIVE"), -1);
	EXPECT_GT(find_property_id(fd, sim::connector_id(0), DRM_MODE_OBJECT_CONNECTOR, "CRTC_ID"),
	          0);
	EXPECT_EQ(find_property_id(fd, 9999, DRM_MODE_OBJECT_CRTC, "ACTIVE"), -1);
}

TEST_F(DisplayDiscovery, CardOpenIsRetriedUntilItSucceedsThenKept)
{
	install_card(card_with({}));
	sim::fail_open(ENOENT);
	EXPECT_EQ(drm_open_card(), -1);
	EXPECT_EQ(errno, ENOENT);
	EXPECT_EQ(g_drm_fd, -1);
	sim::clear_faults();
	int fd = drm_open_card();
	EXPECT_GT(fd, 0);
	EXPECT_EQ(drm_open_card(), fd);
	EXPECT_EQ(sim::live().files, 1);
}

} // namespace
