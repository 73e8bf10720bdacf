// The hot-plug handler against the virtual card: the count, the mode set on the card's first
// CRTC, the switch-off, and what it does when something is missing.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <drm_fourcc.h>
#include <gtest/gtest.h>

#include "buffer/bo.h"
#include "display/display.h"
#include "hotplug/hotplug.h"
#include "sim/sim.h"
#include "tests/hotplug/uevent.h"
#include "tests/support/atomic_adds.h"
#include "tests/support/capture.h"
#include "tests/support/card.h"
#include "tests/support/seam.h"
#include "vsync/vsync.h"

// Seams: the worker's signal marks when vsync_control ran among the card requests; request
// allocation fails when asked to (the additions' seam is atomic_adds).
namespace seam
{
struct control {
	bool enable;
	size_t requests; // card requests made before it
};
std::vector<control> controls;
bool fail_alloc = false;
} // namespace seam

extern "C" int pthread_cond_signal(pthread_cond_t *c) noexcept
{
	if (c == &g_vsync_cond)
		seam::controls.push_back({g_vsync.enable.load(), sim::requests().size()});
	return SEAM_NEXT(pthread_cond_signal)(c);
}

extern "C" drmModeAtomicReqPtr drmModeAtomicAlloc(void)
{
	return seam::fail_alloc ? nullptr : SEAM_NEXT(drmModeAtomicAlloc)();
}

namespace
{

using strings = std::vector<std::string>;

// Five modes, already in the kernel's order (preferred first, then larger before smaller).
std::vector<sim::mode_def> five_modes()
{
	return {test_mode(1920, 1080), test_mode(1680, 1050, false), test_mode(1280, 720, false),
	        test_mode(1024, 768, false), test_mode(800, 600, false)};
}

sim::connector_def output(uint32_t type, bool connected, std::vector<sim::mode_def> modes,
                          int encoder)
{
	return {.type = type,
	        .connected = connected,
	        .modes = std::move(modes),
	        .encoders = {encoder},
	        .bound_encoder = encoder};
}

// Outputs with one encoder each (encoder i for output i) and two CRTCs. `driven` gives, per
// encoder, the CRTC it drives at start (-1: none); a driven CRTC starts active on its output's
// first mode.
sim::topology card(std::vector<sim::connector_def> outputs, std::vector<int> driven = {})
{
	sim::topology t;
	t.connectors = std::move(outputs);
	driven.resize(t.connectors.size(), -1);
	t.crtcs = {sim::crtc_def{}, sim::crtc_def{}};
	for (size_t i = 0; i < t.connectors.size(); i++) {
		sim::encoder_def e;
		e.possible_crtcs = 0x3;
		e.crtc = driven[i];
		t.encoders.push_back(e);
		if (driven[i] >= 0) {
			t.crtcs[driven[i]].active = true;
			t.crtcs[driven[i]].mode = t.connectors[i].modes.at(0);
		}
	}
	const std::vector<uint32_t> formats = {DRM_FORMAT_XRGB8888, DRM_FORMAT_RGB888};
	t.planes = {test_plane(DRM_PLANE_TYPE_PRIMARY, formats, 0x1),
	            test_plane(DRM_PLANE_TYPE_PRIMARY, formats, 0x2),
	            test_plane(DRM_PLANE_TYPE_OVERLAY, formats, 0x3)};
	return t;
}

// A DisplayPort output with nothing attached, then an HDMI monitor with five modes; both CRTCs
// off, as before the first mode set.
sim::topology dp_off_hdmi_on()
{
	return card({output(DRM_MODE_CONNECTOR_DisplayPort, false, {}, 0),
	             output(DRM_MODE_CONNECTOR_HDMIA, true, five_modes(), 1)});
}

// "<object> <property>=<value>", as a request holds it.
std::string triple(uint32_t object, const std::string &name, uint64_t value)
{
	return std::to_string(object) + " " + name + "=" + std::to_string(value);
}

strings triples(const sim::commit_record &c)
{
	strings out;
	for (const auto &p : c.props)
		out.push_back(triple(p.object_id, p.name, p.value));
	return out;
}

std::string on_connector(int index, const char *name, uint64_t value)
{
	return triple(sim::connector_id(index), name, value);
}

std::string on_crtc(int index, const char *name, uint64_t value)
{
	return triple(sim::crtc_id(index), name, value);
}

std::string on_plane(int index, const char *name, uint64_t value)
{
	return triple(sim::plane_id(index), name, value);
}

std::string set_line(uint32_t object, uint64_t value)
{
	return "setMode object[" + std::to_string(object) + "] = " + std::to_string(value) + "\n";
}

// The handler's lines for a mode set on `crtc` given to connector `conn`, after a count of
// `monitors`; `more` follows the three property steps.
std::string mode_set_out(int monitors, int conn, int crtc, uint64_t blob,
                         const std::string &more = "")
{
	return "hotplug: remove connector monitor_index=" + std::to_string(monitors) + "\n" +
	       set_line(sim::connector_id(conn), sim::crtc_id(crtc)) +
	       set_line(sim::crtc_id(crtc), blob) + set_line(sim::crtc_id(crtc), 1) + more +
	       "[DRM]: HDMI Connector " + std::to_string(conn) + " assigned to monitor index: #" +
	       std::to_string(monitors + 1) + ".\nvsync_control: enable=1 exit=0\n";
}

// The switch-off's lines on the two-CRTC card when `conns` are detached.
std::string switch_off_out(std::initializer_list<int> conns)
{
	std::string out = "hotplug: remove connector monitor_index=0\n"
	                  "vsync_control: enable=0 exit=0\n";
	for (int c : conns)
		out += set_line(sim::connector_id(c), 0);
	return out + "g_drm_encoder = NULL *************\n" + set_line(sim::crtc_id(0), 0) +
	       set_line(sim::crtc_id(0), 0) + set_line(sim::crtc_id(1), 0) +
	       set_line(sim::crtc_id(1), 0);
}

// The switch-off's request on the two-CRTC card when `conns` are detached.
std::vector<std::string> switch_off_request(std::initializer_list<int> conns)
{
	std::vector<std::string> out;
	for (int c : conns)
		out.push_back(on_connector(c, "CRTC_ID", 0));
	for (int crtc : {0, 1}) {
		out.push_back(on_crtc(crtc, "MODE_ID", 0));
		out.push_back(on_crtc(crtc, "ACTIVE", 0));
	}
	return out;
}

// The handler's own lines: the display's re-detection lines taken out.
std::string handler_lines(const std::string &out)
{
	static const char *const discovery[] = {"[DRM]: Found ", "[DRM]: Connector ",
	                                        "[DRM]: Mode ",
	                                        "drm_get_connector: ", "g_drm_encoder->"};
	std::string kept;
	std::istringstream in(out);
	for (std::string line; std::getline(in, line);) {
		bool drop = line.starts_with("[DRM]: HDMI Connector ") &&
		            line.ends_with(" assigned to monitor index: #1.");
		for (const char *prefix : discovery)
			drop = drop || line.starts_with(prefix);
		if (!drop)
			kept += line + "\n";
	}
	return kept;
}

class Hotplug : public ::testing::Test
{
protected:
	void SetUp() override
	{
		modeid = 0;
		g_vsync.enable = false;
		g_vsync.exit = false;
	}

	void TearDown() override
	{
		forget_seams();
		modeid = 0;
		install_card(sim::topology{});
		g_vsync.enable = false;
	}

	static void forget_seams()
	{
		seam::controls.clear();
		seam::fail_alloc = false;
		atomic_adds::reset();
	}

	// Installs `t` and discovers it as the entry does at start-up.
	void start(const sim::topology &t)
	{
		install_card(t);
		open_and_discover(&fd);
		sim::clear_records();
		forget_seams();
	}

	std::string hotplug()
	{
		output_capture cap;
		handle_hotplug(fd);
		return cap.stop();
	}

	// The modes the card lists for a connector now, in its order.
	std::vector<drmModeModeInfo> modes_of(int index)
	{
		connector_holder c(drmModeGetConnector(fd, sim::connector_id(index)));
		if (!c)
			return {};
		return {c->modes, c->modes + c->count_modes};
	}

	// The 68 bytes of a blob, as the card keeps them.
	std::vector<uint8_t> blob_bytes(uint32_t id)
	{
		blob_holder b(drmModeGetPropertyBlob(fd, id));
		if (!b)
			return {};
		auto p = static_cast<const uint8_t *>(b->data);
		return {p, p + b->length};
	}

	static std::vector<uint8_t> bytes(const drmModeModeInfo &m)
	{
		auto p = reinterpret_cast<const uint8_t *>(&m);
		return {p, p + sizeof m};
	}

	// The handler's additions to its request, in order, each named as the card names it.
	strings added()
	{
		strings out;
		for (const auto &a : atomic_adds::adds) {
			property_holder prop(drmModeGetProperty(fd, a.prop_id));
			out.push_back(triple(a.object_id,
			                     prop ? prop->name : "#" + std::to_string(a.prop_id),
			                     a.value));
		}
		return out;
	}

	// The additions were made in this order, and the request the card received holds the same
	// triples (libdrm sends them sorted by object and property).
	void expect_request(const sim::commit_record &c, strings in_order)
	{
		EXPECT_EQ(added(), in_order);
		strings got = triples(c);
		std::sort(got.begin(), got.end());
		std::sort(in_order.begin(), in_order.end());
		EXPECT_EQ(got, in_order);
	}

	int fd = -1;
};

// The value the commit gives the property `name` of `object` (any property without a name).
uint64_t value_of(const sim::commit_record &c, uint32_t object, const char *name = nullptr)
{
	for (const auto &p : c.props)
		if (p.object_id == object && (!name || p.name == name))
			return p.value;
	ADD_FAILURE() << "no " << (name ? name : "property") << " on " << object;
	return 0;
}

uint64_t mode_blob(const sim::commit_record &c, int crtc = 0)
{
	return value_of(c, sim::crtc_id(crtc), "MODE_ID");
}

using ModeSet = Hotplug;

TEST_F(ModeSet, OneHdmiMonitorGetsItsModeOnTheFirstCrtc)
{
	start(dp_off_hdmi_on());
	std::vector<drmModeModeInfo> modes = modes_of(1);
	ASSERT_EQ(modes.size(), 5u);
	std::string out = hotplug();

	auto commits = sim::commits();
	ASSERT_EQ(commits.size(), 1u);
	const sim::commit_record &c = commits[0];
	ASSERT_EQ(c.props.size(), 3u);
	uint32_t blob = static_cast<uint32_t>(mode_blob(c));
	EXPECT_NE(blob, 0u);
	expect_request(c, {on_connector(1, "CRTC_ID", sim::crtc_id(0)), on_crtc(0, "MODE_ID", blob),
	                   on_crtc(0, "ACTIVE", 1)});
	EXPECT_EQ(c.flags, 0x401u);
	EXPECT_EQ(c.error, 0);

	// The blob holds the whole first mode record, and the monitor now shows that mode.
	auto blobs = requests_named("MODE_CREATEPROPBLOB");
	ASSERT_EQ(blobs.size(), 1u);
	EXPECT_EQ(blobs[0].field("length"), 68u);
	EXPECT_EQ(blobs[0].field("blob_id"), blob);
	EXPECT_EQ(blobs[0].error, 0);
	EXPECT_EQ(blob_bytes(blob), bytes(modes[0]));
	EXPECT_EQ(sim::property_value(sim::crtc_id(0), "ACTIVE"), 1u);
	EXPECT_EQ(sim::property_value(sim::crtc_id(0), "MODE_ID"), blob);
	EXPECT_EQ(sim::property_value(sim::connector_id(1), "CRTC_ID"), sim::crtc_id(0));
	EXPECT_EQ(sim::screen(0).width, 1920u);

	// Every line of the handler's own: the count, the three property steps, the assignment and
	// the worker's status line; between them one re-detection (its lines are the display
	// tests' to pin).
	EXPECT_EQ(handler_lines(out), mode_set_out(1, 1, 0, blob));
	EXPECT_EQ(occurrences(out, "drm_get_connector: "), 1);
	EXPECT_LT(out.find(set_line(sim::crtc_id(0), 1)), out.find("drm_get_connector: "));
	EXPECT_LT(out.rfind("g_drm_encoder->"), out.find("monitor index: #2.\n"));

	// Connector and encoder chosen again, on the new CRTC; the worker enabled after the
	// commit.
	auto conn = g_drm_connector.get();
	auto enc = g_drm_encoder.get();
	ASSERT_TRUE(conn && enc);
	EXPECT_EQ(conn->connector_id, sim::connector_id(1));
	EXPECT_EQ(enc->encoder_id, sim::encoder_id(1));
	EXPECT_EQ(enc->crtc_id, sim::crtc_id(0));
	ASSERT_EQ(seam::controls.size(), 1u);
	EXPECT_TRUE(seam::controls[0].enable);
	auto records = sim::requests();
	size_t atomic_at = 0;
	while (atomic_at < records.size() && records[atomic_at].name != "MODE_ATOMIC")
		atomic_at++;
	EXPECT_GT(seam::controls[0].requests, atomic_at);
	EXPECT_TRUE(g_vsync.enable.load());
	EXPECT_EQ(g_vsync_count.load(), 0);
}

TEST_F(ModeSet, ModeidChoosesTheModeWhenInRangeElseTheFirst)
{
	const std::pair<int32_t, int> cases[] = {{0, 0}, {2, 2},  {4, 4},         {5, 0},
	                                         {6, 0}, {-1, 0}, {INT32_MAX, 0}, {INT32_MIN, 0}};
	for (auto [id, chosen] : cases) {
		SCOPED_TRACE(id);
		start(dp_off_hdmi_on());
		modeid = id;
		std::vector<drmModeModeInfo> modes = modes_of(1);
		ASSERT_EQ(modes.size(), 5u);
		hotplug();
		auto commits = sim::commits();
		ASSERT_EQ(commits.size(), 1u);
		ASSERT_EQ(commits[0].props.size(), 3u);
		EXPECT_EQ(commits[0].error, 0);
		uint32_t blob = static_cast<uint32_t>(mode_blob(commits[0]));
		EXPECT_EQ(blob_bytes(blob), bytes(modes[chosen]));
		EXPECT_EQ(sim::screen(0).width, modes[chosen].hdisplay);
		EXPECT_EQ(sim::screen(0).height, modes[chosen].vdisplay);
	}
}

TEST_F(ModeSet, TheMonitorAndTheCrtcChosenOnOtherCards)
{
	struct scenario {
		const char *what;
		sim::topology card;
		bool unreadable_first; // the first connector cannot be read while counting
		int monitors, conn, crtc;
		int left;      // the CRTC lit at start that the monitor leaves, -1: none
		int kept = -1; // a CRTC lit at start that stays lit: it drives a clone
	};
	auto second_only = [](int lit) {
		sim::topology t =
		        card({output(DRM_MODE_CONNECTOR_HDMIA, true, five_modes(), 0)}, {lit});
		t.encoders[0].possible_crtcs = 0x2;
		return t;
	};
	const scenario scenarios[] = {
	        // The card's first CRTC, whichever the encoder drives; the CRTC the monitor leaves
	        // is switched off in the same request, else the kernel refuses it whole.
	        {"encoder drives the second CRTC",
	         card({output(DRM_MODE_CONNECTOR_DisplayPort, false, {}, 0),
	               output(DRM_MODE_CONNECTOR_HDMIA, true, five_modes(), 1)},
	              {-1, 1}),
	         false, 1, 1, 0, 1},
	        // A CRTC the monitor leaves that still drives another output stays lit: switched
	        // off, it would keep a connector, which the kernel refuses.
	        {"the CRTC the monitor leaves drives a clone",
	         card({output(DRM_MODE_CONNECTOR_DisplayPort, true, five_modes(), 0),
	               output(DRM_MODE_CONNECTOR_HDMIA, true, five_modes(), 1)},
	              {1, 1}),
	         false, 2, 1, 0, -1, 1},
	        // The first CRTC the encoder can drive when it cannot drive the card's first.
	        {"encoder reaches the second CRTC only, lit", second_only(1), false, 1, 0, 1, -1},
	        {"encoder reaches the second CRTC only, off", second_only(-1), false, 1, 0, 1, -1},
	        // Only HDMI-A monitors are given a mode; every connected one is counted.
	        {"DisplayPort before HDMI-A",
	         card({output(DRM_MODE_CONNECTOR_DisplayPort, true, five_modes(), 0),
	               output(DRM_MODE_CONNECTOR_HDMIA, true, five_modes(), 1)}),
	         false, 2, 1, 0, -1},
	        {"two HDMI-A monitors: the first listed",
	         card({output(DRM_MODE_CONNECTOR_HDMIA, true, five_modes(), 0),
	               output(DRM_MODE_CONNECTOR_HDMIA, true, {test_mode(1280, 720)}, 1)}),
	         false, 2, 0, 0, -1},
	        // Skipped silently while counting; the walk that follows still gives it the mode.
	        {"first connector unreadable while counting",
	         card({output(DRM_MODE_CONNECTOR_HDMIA, true, five_modes(), 0),
	               output(DRM_MODE_CONNECTOR_HDMIA, true, five_modes(), 1)}),
	         true, 1, 0, 0, -1},
	};
	for (const scenario &s : scenarios) {
		SCOPED_TRACE(s.what);
		start(s.card);
		if (s.unreadable_first)
			sim::fail_request("MODE_GETCONNECTOR", EIO, 1, sim::connector_id(0));
		if (s.left >= 0) {
			ASSERT_EQ(sim::property_value(sim::crtc_id(s.left), "ACTIVE"), 1u);
		}
		std::string out = hotplug();
		auto commits = sim::commits();
		ASSERT_EQ(commits.size(), 1u);
		uint64_t blob = mode_blob(commits[0], s.crtc);
		strings request = {on_connector(s.conn, "CRTC_ID", sim::crtc_id(s.crtc)),
		                   on_crtc(s.crtc, "MODE_ID", blob), on_crtc(s.crtc, "ACTIVE", 1)};
		std::string off;
		if (s.left >= 0) {
			request.push_back(on_crtc(s.left, "MODE_ID", 0));
			request.push_back(on_crtc(s.left, "ACTIVE", 0));
			off = set_line(sim::crtc_id(s.left), 0) + set_line(sim::crtc_id(s.left), 0);
		}
		expect_request(commits[0], request);
		EXPECT_EQ(commits[0].flags, 0x401u);
		EXPECT_EQ(commits[0].error, 0);
		if (s.left >= 0) {
			EXPECT_EQ(sim::property_value(sim::crtc_id(s.left), "ACTIVE"), 0u);
		}
		if (s.kept >= 0) {
			EXPECT_EQ(sim::property_value(sim::crtc_id(s.kept), "ACTIVE"), 1u);
		}
		EXPECT_EQ(sim::screen(s.crtc).width, 1920u);
		EXPECT_EQ(g_drm_encoder.get()->crtc_id, sim::crtc_id(s.crtc));
		EXPECT_EQ(handler_lines(out), mode_set_out(s.monitors, s.conn, s.crtc, blob, off));
	}
}

TEST_F(ModeSet, NoHdmiAMonitorBesideALitCrtcCommitsNothingButEnablesTheWorker)
{
	for (uint32_t type :
	     {uint32_t(DRM_MODE_CONNECTOR_DisplayPort), uint32_t(DRM_MODE_CONNECTOR_HDMIB),
	      uint32_t(DRM_MODE_CONNECTOR_DVID)}) {
		SCOPED_TRACE(type);
		start(card({output(type, true, five_modes(), 0),
		            output(DRM_MODE_CONNECTOR_HDMIA, false, {}, 1)},
		           {0}));
		g_vsync.enable = false;
		EXPECT_EQ(hotplug(), "hotplug: remove connector monitor_index=1\n"
		                     "vsync_control: enable=1 exit=0\n");
		EXPECT_EQ(requests_named("MODE_ATOMIC").size(), 0u);
		EXPECT_EQ(requests_named("MODE_CREATEPROPBLOB").size(), 0u);
		EXPECT_EQ(requests_named("MODE_GETCRTC").size(), 0u);
		EXPECT_TRUE(g_vsync.enable.load());
	}
}

// Nothing lit the display (no console, or a panel that is never hot-plugged): at start, and at
// a hot-plug that finds no HDMI-A monitor and no CRTC active, the first connected output gets
// its preferred mode on a CRTC its encoder can drive. Where a CRTC is lit nothing is asked.
TEST_F(ModeSet, ADarkOutputIsLitWithItsPreferredMode)
{
	struct dark_case {
		const char *what;
		bool at_start;
		uint32_t type;
		uint32_t possible_crtcs;
		int crtc; // the CRTC lit afterwards
	};
	for (auto c : {dark_case{"DSI panel at start", true, DRM_MODE_CONNECTOR_DSI, 0x3, 0},
	               dark_case{"eDP on the second CRTC", true, DRM_MODE_CONNECTOR_eDP, 0x2, 1},
	               dark_case{"DisplayPort at a hot-plug", false, DRM_MODE_CONNECTOR_DisplayPort,
	                         0x3, 0}}) {
		SCOPED_TRACE(c.what);
		sim::topology t = card({output(c.type, true, five_modes(), 0),
		                        output(DRM_MODE_CONNECTOR_HDMIA, false, {}, 1)});
		t.connectors[0].bound_encoder = -1;
		t.encoders[0].possible_crtcs = c.possible_crtcs;
		start(t);
		ASSERT_FALSE(g_drm_encoder);
		const std::vector<drmModeModeInfo> modes = modes_of(0);
		output_capture cap;
		if (c.at_start)
			EXPECT_TRUE(light_dark_display(fd));
		else
			handle_hotplug(fd);
		const std::string out = handler_lines(cap.stop());

		auto commits = sim::commits();
		ASSERT_EQ(commits.size(), 1u);
		const uint64_t blob = mode_blob(commits[0], c.crtc);
		EXPECT_EQ(value_of(commits[0], sim::connector_id(0), "CRTC_ID"),
		          sim::crtc_id(c.crtc));
		EXPECT_EQ(commits[0].error, 0);
		EXPECT_EQ(blob_bytes(uint32_t(blob)), bytes(modes[0]));
		EXPECT_EQ(sim::property_value(sim::crtc_id(c.crtc), "ACTIVE"), 1u);
		const std::string lit =
		        "bootanim: no CRTC drives connector 0: setting its mode 1920x1080@60\n" +
		        set_line(sim::connector_id(0), sim::crtc_id(c.crtc)) +
		        set_line(sim::crtc_id(c.crtc), blob) + set_line(sim::crtc_id(c.crtc), 1);
		EXPECT_EQ(out, c.at_start ? lit
		                          : "hotplug: remove connector monitor_index=1\n" + lit +
		                                    "vsync_control: enable=1 exit=0\n");
		// Connector and encoder are chosen again on the lit CRTC.
		auto enc = g_drm_encoder.get();
		ASSERT_TRUE(enc);
		EXPECT_EQ(enc->crtc_id, sim::crtc_id(c.crtc));
	}

	// The mode-set run gives the HDMI monitor its mode and nothing else.
	start(card({output(DRM_MODE_CONNECTOR_DisplayPort, true, five_modes(), 0)}));
	modeid = 1;
	EXPECT_EQ(hotplug(), "hotplug: remove connector monitor_index=1\n"
	                     "vsync_control: enable=1 exit=0\n");
	EXPECT_TRUE(sim::commits().empty());
	modeid = 0;

	// Lit by the console: not one request.
	start(card({output(DRM_MODE_CONNECTOR_DSI, true, five_modes(), 0)}, {0}));
	EXPECT_FALSE(light_dark_display(fd));
	EXPECT_TRUE(sim::requests().empty());
}

TEST_F(ModeSet, FailedBlobCreationCommitsModeIdZeroWithActive)
{
	start(dp_off_hdmi_on());
	sim::fail_request("MODE_CREATEPROPBLOB", ENOMEM, 1);
	output_capture err(2);
	std::string out = hotplug();
	const std::string refusal = err.stop();
	auto commits = sim::commits();
	ASSERT_EQ(commits.size(), 1u);
	expect_request(commits[0], (strings{on_connector(1, "CRTC_ID", sim::crtc_id(0)),
	                                    on_crtc(0, "MODE_ID", 0), on_crtc(0, "ACTIVE", 1)}));
	EXPECT_EQ(commits[0].flags, 0x401u);
	// An active CRTC without a mode: the kernel refuses it, and the handler says so.
	EXPECT_EQ(commits[0].error, EINVAL);
	EXPECT_EQ(refusal, "hotplug: mode set refused: Invalid argument\n");
	EXPECT_EQ(handler_lines(out), mode_set_out(1, 1, 0, 0));
	EXPECT_EQ(sim::live().blobs, 0);
}

TEST_F(ModeSet, FailedAdditionIsReportedAndTheCommitGoesAhead)
{
	start(dp_off_hdmi_on());
	atomic_adds::fail_at = 2;
	std::string out = hotplug();
	auto commits = sim::commits();
	ASSERT_EQ(commits.size(), 1u);
	auto blobs = requests_named("MODE_CREATEPROPBLOB");
	ASSERT_EQ(blobs.size(), 1u);
	uint64_t blob = blobs[0].field("blob_id");
	ASSERT_NE(blob, 0u);
	// Three additions were tried; the connector's and the ACTIVE triple went in, the blob id
	// did not.
	EXPECT_EQ(added(), (strings{on_connector(1, "CRTC_ID", sim::crtc_id(0)),
	                            on_crtc(0, "MODE_ID", blob), on_crtc(0, "ACTIVE", 1)}));
	EXPECT_EQ(triples(commits[0]),
	          (strings{on_crtc(0, "ACTIVE", 1), on_connector(1, "CRTC_ID", sim::crtc_id(0))}));
	EXPECT_EQ(handler_lines(out).substr(0, handler_lines(out).find("[DRM]")),
	          "hotplug: remove connector monitor_index=1\n" +
	                  set_line(sim::connector_id(1), sim::crtc_id(0)) +
	                  set_line(sim::crtc_id(0), blob) + "Failed to add prop[" +
	                  std::to_string(blob) + "] to [" + std::to_string(sim::crtc_id(0)) + "]" +
	                  set_line(sim::crtc_id(0), 1));
}

TEST_F(ModeSet, PropertyTheObjectLacksGoesInAsMinusOne)
{
	// Without the atomic capability the card hides CRTC_ID, MODE_ID and ACTIVE.
	install_card(dp_off_hdmi_on());
	fd = drm_open_card();
	drmSetClientCap(fd, DRM_CLIENT_CAP_UNIVERSAL_PLANES, 1);
	output_capture quiet;
	ASSERT_TRUE(drm_load_resources(fd));
	quiet.stop();
	sim::clear_records();
	std::string out = hotplug();
	auto commits = sim::commits();
	ASSERT_EQ(commits.size(), 1u);
	// Every lookup gave -1, which went into the request as it came.
	ASSERT_EQ(atomic_adds::adds.size(), 3u);
	for (const auto &a : atomic_adds::adds)
		EXPECT_EQ(a.prop_id, 0xffffffffu);
	EXPECT_EQ(atomic_adds::adds[0].object_id, sim::connector_id(1));
	EXPECT_EQ(atomic_adds::adds[0].value, sim::crtc_id(0));
	EXPECT_EQ(atomic_adds::adds[1].object_id, sim::crtc_id(0));
	EXPECT_EQ(atomic_adds::adds[2].object_id, sim::crtc_id(0));
	EXPECT_EQ(atomic_adds::adds[2].value, 1u);
	// libdrm keeps the last of two values for one property of one object.
	ASSERT_EQ(commits[0].props.size(), 2u);
	for (const auto &p : commits[0].props)
		EXPECT_EQ(p.prop_id, 0xffffffffu);
	EXPECT_EQ(value_of(commits[0], sim::crtc_id(0)), 1u);
	EXPECT_EQ(value_of(commits[0], sim::connector_id(1)), sim::crtc_id(0));
	EXPECT_NE(commits[0].error, 0);
	EXPECT_NE(out.find(set_line(sim::crtc_id(0), 1) + "[DRM]: Found 2 connectors.\n"),
	          std::string::npos);
}

TEST_F(ModeSet, BlobsDoNotPileUpOverManyModeSetsNorRefusals)
{
	start(dp_off_hdmi_on());
	uint64_t previous = 0;
	for (int i = 0; i < 10; i++) {
		SCOPED_TRACE(i);
		modeid = i % 5;
		sim::clear_records();
		hotplug();
		auto commits = sim::commits();
		ASSERT_EQ(commits.size(), 1u);
		ASSERT_EQ(commits[0].error, 0);
		uint64_t blob = mode_blob(commits[0]);
		EXPECT_EQ(sim::live().blobs, 1);
		// Once the commit has replaced it, the earlier blob is destroyed. (The first mode
		// set of this card destroys the id the handler kept from an earlier test's card.)
		if (i > 1) {
			auto destroyed = requests_named("MODE_DESTROYPROPBLOB");
			ASSERT_EQ(destroyed.size(), 1u);
			EXPECT_EQ(destroyed[0].field("blob_id"), previous);
			EXPECT_EQ(destroyed[0].error, 0);
		}
		previous = blob;
	}

	// Unplugging and plugging again: still one blob at most.
	for (int i = 0; i < 3; i++) {
		SCOPED_TRACE(i);
		sim::set_connected(1, false);
		hotplug();
		EXPECT_LE(sim::live().blobs, 1);
		sim::set_connected(1, true);
		hotplug();
		EXPECT_EQ(sim::live().blobs, 1);
		EXPECT_EQ(sim::property_value(sim::crtc_id(0), "ACTIVE"), 1u);
	}

	// A refused commit destroys its own blob, and the next mode set replaces the lit blob.
	uint64_t lit = sim::property_value(sim::crtc_id(0), "MODE_ID").value_or(0);
	sim::fail_request("MODE_ATOMIC", EINVAL, 1);
	hotplug();
	EXPECT_EQ(sim::live().blobs, 1);
	EXPECT_EQ(sim::property_value(sim::crtc_id(0), "MODE_ID"), lit);
	hotplug();
	EXPECT_EQ(sim::live().blobs, 1);
	EXPECT_NE(sim::property_value(sim::crtc_id(0), "MODE_ID"), lit);
}

TEST_F(ModeSet, RefusalsAreReportedWithTheKernelsReasonOnStandardError)
{
	start(dp_off_hdmi_on());
	std::string accepted_out = hotplug();
	start(dp_off_hdmi_on());
	sim::fail_request("MODE_ATOMIC", EACCES);
	output_capture err(2);
	std::string out = hotplug();
	EXPECT_EQ(err.stop(), "hotplug: mode set refused: Permission denied\n");
	EXPECT_EQ(sim::property_value(sim::crtc_id(0), "ACTIVE"), 0u);
	// Standard output is what it is when the kernel accepts the request.
	EXPECT_EQ(handler_lines(out), handler_lines(accepted_out));

	sim::set_connected(1, false);
	output_capture off_err(2);
	hotplug();
	EXPECT_EQ(off_err.stop(), "hotplug: switch-off refused: Permission denied\n");
	sim::clear_faults();

	// Accepted requests add nothing to standard error.
	output_capture quiet(2);
	hotplug();
	sim::set_connected(1, true);
	hotplug();
	EXPECT_EQ(quiet.stop(), "");
}

using SwitchOff = Hotplug;

TEST_F(SwitchOff, DetachesEveryConnectorAndSwitchesEveryCrtcOff)
{
	start(dp_off_hdmi_on());
	hotplug();
	ASSERT_EQ(sim::property_value(sim::crtc_id(0), "ACTIVE"), 1u);
	const void *encoder = g_drm_encoder.address();
	sim::set_connected(1, false);
	sim::clear_records();
	forget_seams();
	g_vsync.enable = true;
	std::string out = hotplug();

	auto commits = sim::commits();
	ASSERT_EQ(commits.size(), 1u);
	expect_request(commits[0], switch_off_request({0, 1}));
	EXPECT_EQ(commits[0].flags, 0x400u);
	EXPECT_EQ(commits[0].error, 0);
	EXPECT_EQ(sim::property_value(sim::crtc_id(0), "ACTIVE"), 0u);
	EXPECT_EQ(sim::screen(0).width, 0u);

	EXPECT_EQ(out, switch_off_out({0, 1}));

	// The worker is disabled before anything but the count reaches the device.
	ASSERT_EQ(seam::controls.size(), 1u);
	EXPECT_FALSE(seam::controls[0].enable);
	auto records = sim::requests();
	ASSERT_LE(seam::controls[0].requests, records.size());
	for (size_t i = 0; i < seam::controls[0].requests; i++)
		EXPECT_EQ(records[i].name, "MODE_GETCONNECTOR");
	EXPECT_FALSE(g_vsync.enable.load());
	// The encoder record is left as it was.
	EXPECT_EQ(g_drm_encoder.address(), encoder);
}

TEST_F(SwitchOff, OutputsWithoutModesOrUnreadableAreLeftOutOfTheRequest)
{
	// Connector 0 has no modes though connected, or cannot be read in the switch-off's own walk
	// once counted (libdrm reads a connector with two requests).
	for (bool connected : {true, false}) {
		SCOPED_TRACE(connected);
		start(card({output(DRM_MODE_CONNECTOR_HDMIA, connected, {}, 0),
		            output(DRM_MODE_CONNECTOR_DisplayPort, false, {}, 1)}));
		if (!connected)
			sim::fail_request("MODE_GETCONNECTOR", EIO, 3, sim::connector_id(0));
		std::string out = hotplug();
		auto commits = sim::commits();
		ASSERT_EQ(commits.size(), 1u);
		expect_request(commits[0], switch_off_request({1}));
		EXPECT_EQ(commits[0].flags, 0x400u);
		EXPECT_EQ(commits[0].error, 0);
		EXPECT_EQ(out, switch_off_out({1}));
	}
}

// A frame of 64x48 on plane `index` of the first CRTC, stretched over `m`, as the player shows
// it; the buffer is the caller's. Null when the card refuses it.
bo *show_frame(int fd, int index, const drmModeModeInfo &m, uint32_t format = DRM_FORMAT_XRGB8888)
{
	bo *b = registered_bo(fd, format, 64, 48);
	if (!b)
		return nullptr;
	drmModeAtomicReqPtr req = drmModeAtomicAlloc();
	uint32_t p = sim::plane_id(index);
	const std::pair<const char *, uint64_t> props[] = {
	        {"CRTC_ID", sim::crtc_id(0)}, {"FB_ID", b->fb_id},   {"SRC_X", 0},  {"SRC_Y", 0},
	        {"SRC_W", 64 << 16},          {"SRC_H", 48 << 16},   {"CRTC_X", 0}, {"CRTC_Y", 0},
	        {"CRTC_W", m.hdisplay},       {"CRTC_H", m.vdisplay}};
	for (auto [name, v] : props)
		drmModeAtomicAddProperty(
		        req, p,
		        static_cast<uint32_t>(find_property_id(fd, p, DRM_MODE_OBJECT_PLANE, name)),
		        v);
	int refused = drmModeAtomicCommit(fd, req, DRM_MODE_ATOMIC_ALLOW_MODESET, nullptr);
	drmModeAtomicFree(req);
	if (refused) {
		bo_release(b);
		return nullptr;
	}
	return b;
}

bo *g_racing_frame = nullptr;
drmModeModeInfo g_racing_mode{};

TEST_F(SwitchOff, PlanesShowingAFrameLeaveTheirCrtcInTheSameRequest)
{
	// The kernel refuses to disable a CRTC under a plane that still shows something. With
	// `race`, the player shows a frame on the overlay while the switch-off adds the lit plane's
	// properties (after it has read the planes): one retry takes it off, printing nothing.
	for (bool race : {false, true}) {
		SCOPED_TRACE(race);
		start(dp_off_hdmi_on());
		hotplug();
		drmModeModeInfo m = modes_of(1).at(0);
		bo *first = show_frame(fd, 0, m);
		ASSERT_NE(first, nullptr);
		ASSERT_EQ(sim::property_value(sim::plane_id(0), "FB_ID"), first->fb_id);

		sim::set_connected(1, false);
		sim::clear_records();
		forget_seams();
		if (race) {
			atomic_adds::race_at = 8; // two connectors, four CRTC steps, the lit
			                          // plane's FB_ID, CRTC_ID
			g_racing_mode = m;
			atomic_adds::race = [] {
				g_racing_frame = show_frame(g_drm_fd, 2, g_racing_mode);
			};
		}
		output_capture err(2);
		std::string out = hotplug();
		EXPECT_EQ(err.stop(), "");
		strings request = switch_off_request({0, 1});
		for (int plane : race ? std::vector<int>{0, 2} : std::vector<int>{0}) {
			request.push_back(on_plane(plane, "FB_ID", 0));
			request.push_back(on_plane(plane, "CRTC_ID", 0));
		}
		auto commits = sim::commits();
		if (race) {
			ASSERT_NE(g_racing_frame, nullptr);
			ASSERT_EQ(commits.size(),
			          3u); // the frame, the refused switch-off, its retry
			EXPECT_EQ(commits[1].error, EINVAL);
			strings retried = triples(commits[2]);
			std::sort(retried.begin(), retried.end());
			std::sort(request.begin(), request.end());
			EXPECT_EQ(retried, request);
		} else {
			ASSERT_EQ(commits.size(), 1u);
			expect_request(commits[0], request);
		}
		EXPECT_EQ(commits.back().error, 0);
		EXPECT_EQ(sim::property_value(sim::crtc_id(0), "ACTIVE"), 0u);
		EXPECT_EQ(sim::property_value(sim::plane_id(0), "FB_ID"), 0u);
		EXPECT_EQ(sim::property_value(sim::plane_id(2), "FB_ID"), 0u);
		EXPECT_EQ(sim::screen(0).width, 0u);
		EXPECT_EQ(occurrences(out, set_line(sim::plane_id(0), 0)), 2);
		EXPECT_EQ(occurrences(out, set_line(sim::plane_id(2), 0)), 0);
		bo_release(first);
		if (g_racing_frame)
			bo_release(std::exchange(g_racing_frame, nullptr));
	}
}

using BlackFrame = Hotplug;

// One HDMI monitor with five modes on one CRTC, off, and one primary plane offering `formats`.
sim::topology one_pipe(std::vector<uint32_t> formats)
{
	sim::topology t =
	        lit_hdmi_card(five_modes(), {test_plane(DRM_PLANE_TYPE_PRIMARY, formats)});
	t.crtcs[0].active = false;
	t.driver.can_position = false;
	return t;
}

bool all_black(const sim::image &img)
{
	for (uint8_t v : img.rgb)
		if (v != 0)
			return false;
	return !img.rgb.empty();
}

TEST_F(BlackFrame, ASimplePipeGetsABlackFrameOnItsPrimaryWhenTheModeSetIsRefused)
{
	sim::topology t = one_pipe({DRM_FORMAT_RGB565, DRM_FORMAT_XRGB8888});
	t.driver.simple_display_pipe = true;
	start(t);
	output_capture err(2);
	std::string out = hotplug();
	EXPECT_EQ(err.stop(), "");
	auto commits = sim::commits();
	ASSERT_EQ(commits.size(), 2u);
	// The request as ever, refused; then the same with the black frame, accepted.
	uint64_t blob = mode_blob(commits[0]);
	strings first = triples(commits[0]);
	std::sort(first.begin(), first.end());
	EXPECT_EQ(first, (strings{on_crtc(0, "ACTIVE", 1), on_crtc(0, "MODE_ID", blob),
	                          on_connector(0, "CRTC_ID", sim::crtc_id(0))}));
	EXPECT_EQ(commits[0].error, EINVAL);
	EXPECT_EQ(commits[1].error, 0);
	EXPECT_EQ(commits[1].flags, 0x401u);
	ASSERT_EQ(commits[1].props.size(), 13u);
	uint64_t black = value_of(commits[1], sim::plane_id(0), "FB_ID");
	EXPECT_EQ(value_of(commits[1], sim::plane_id(0), "CRTC_W"), 1920u);
	EXPECT_EQ(value_of(commits[1], sim::plane_id(0), "CRTC_H"), 1080u);
	EXPECT_EQ(value_of(commits[1], sim::plane_id(0), "SRC_W"), 1920u << 16);
	EXPECT_EQ(mode_blob(commits[1]), blob);
	EXPECT_TRUE(all_black(sim::screen(0)));
	EXPECT_EQ(sim::screen(0).width, 1920u);
	// XR24 was preferred; the one frame is counted until the switch-off releases it.
	auto fbs = requests_named("MODE_ADDFB2");
	ASSERT_FALSE(fbs.empty());
	for (const auto &r : fbs)
		EXPECT_EQ(r.field("pixel_format"), uint64_t(DRM_FORMAT_XRGB8888));
	EXPECT_EQ(sim::live().framebuffers, 1);
	EXPECT_EQ(sim::live().dumb_buffers, 1);
	EXPECT_EQ(sim::live().mappings, 0);
	EXPECT_NE(out.find("[DRM]: HDMI Connector 0 assigned to monitor index: #2.\n"),
	          std::string::npos);

	// Re-plugged without an unplug: the frame stays on screen and stays the only one.
	hotplug();
	EXPECT_EQ(sim::live().framebuffers, 1);
	EXPECT_EQ(sim::property_value(sim::plane_id(0), "FB_ID"), black);

	sim::set_connected(0, false);
	hotplug();
	EXPECT_EQ(sim::property_value(sim::crtc_id(0), "ACTIVE"), 0u);
	EXPECT_EQ(sim::live().framebuffers, 0);
	EXPECT_EQ(sim::live().dumb_buffers, 0);
}

TEST_F(BlackFrame, ALargerModeThanThePlanesCoverReplacesThemWithABlackFrame)
{
	// The monitor runs at 1280x720 with a frame on the primary plane when 1920x1080 is set.
	start(one_pipe({DRM_FORMAT_RGB565}));
	modeid = 2;
	hotplug();
	ASSERT_EQ(sim::screen(0).width, 1280u);
	drmModeModeInfo small = modes_of(0).at(2);
	bo *frame = show_frame(fd, 0, small, DRM_FORMAT_RGB565);
	ASSERT_NE(frame, nullptr);
	ASSERT_NE(frame->fb_id, 0u);
	ASSERT_EQ(sim::property_value(sim::plane_id(0), "FB_ID"), frame->fb_id);
	modeid = 0;
	sim::clear_records();
	hotplug();
	auto commits = sim::commits();
	ASSERT_EQ(commits.size(), 2u);
	EXPECT_EQ(commits[0].error, EINVAL); // the plane must cover the whole mode
	EXPECT_EQ(commits[1].error, 0);
	EXPECT_EQ(sim::screen(0).width, 1920u);
	EXPECT_TRUE(all_black(sim::screen(0)));
	// RG16 is what the plane offers.
	auto fbs = requests_named("MODE_ADDFB2");
	ASSERT_FALSE(fbs.empty());
	for (const auto &r : fbs)
		EXPECT_EQ(r.field("pixel_format"), uint64_t(DRM_FORMAT_RGB565));

	sim::set_connected(0, false);
	hotplug();
	bo_release(frame);
	EXPECT_EQ(sim::live().framebuffers, 0);
	EXPECT_EQ(sim::live().dumb_buffers, 0);
}

using Missing = Hotplug;

TEST_F(Missing, NoResourcesTouchesNothing)
{
	start(dp_off_hdmi_on());
	g_drm_mode_res.reset();
	EXPECT_EQ(hotplug(), "hotplug: no display resources, nothing to set\n");
	EXPECT_TRUE(sim::requests().empty());
	EXPECT_TRUE(seam::controls.empty());
}

TEST_F(Missing, WhatTheModeSetLacksIsReportedAndTheWorkerStillEnabled)
{
	enum lack { crtcs, first_crtc, request };
	const std::pair<lack, const char *> cases[] = {
	        {crtcs, "hotplug: the card has no CRTC\n"},
	        {first_crtc, "hotplug: couldn't get crtc "},
	        {request, "hotplug: couldn't allocate an atomic request\n"}};
	for (const auto &[what, text] : cases) {
		SCOPED_TRACE(text);
		start(dp_off_hdmi_on());
		const std::string line =
		        text + (what == first_crtc ? std::to_string(sim::crtc_id(0)) + "\n" : "");
		if (what == crtcs) {
			drmModeRes *res = drmModeGetResources(fd);
			ASSERT_NE(res, nullptr);
			res->count_crtcs = 0;
			g_drm_mode_res.reset(res);
			sim::clear_records();
		}
		if (what == first_crtc)
			sim::fail_request("MODE_GETCRTC", ENOENT, 0, sim::crtc_id(0));
		seam::fail_alloc = what == request;
		EXPECT_EQ(hotplug(), "hotplug: remove connector monitor_index=1\n" + line +
		                             "vsync_control: enable=1 exit=0\n");
		EXPECT_EQ(requests_named("MODE_CREATEPROPBLOB").size(), 0u);
		EXPECT_EQ(requests_named("MODE_ATOMIC").size(), 0u);
		EXPECT_EQ(sim::live().blobs, 0);
		if (what == crtcs) {
			EXPECT_EQ(requests_named("MODE_GETCRTC").size(), 0u);
		}
		if (what == first_crtc)
			continue;

		// The switch-off then detaches the connectors only, or reports the same lack.
		sim::set_connected(1, false);
		sim::clear_records();
		std::string out = hotplug();
		auto commits = sim::commits();
		if (what == crtcs) {
			ASSERT_EQ(commits.size(), 1u);
			expect_request(commits[0], (strings{on_connector(0, "CRTC_ID", 0),
			                                    on_connector(1, "CRTC_ID", 0)}));
		} else {
			EXPECT_EQ(out, "hotplug: remove connector monitor_index=0\n"
			               "vsync_control: enable=0 exit=0\n" +
			                       line);
			EXPECT_TRUE(commits.empty());
		}
	}
}

} // namespace
