#include <cerrno>
#include <climits>
#include <string>

#include <gtest/gtest.h>

#include "app/entry.h"
#include "display/display.h"
#include "sim/sim.h"
#include "tests/support/capture.h"
#include "tests/support/card.h"

namespace
{

TEST(ModeIndex, ParsedTheWayAtoiParsesWithoutOverflow)
{
	EXPECT_EQ(parse_mode_index("2"), 2);
	EXPECT_EQ(parse_mode_index("0"), 0);
	EXPECT_EQ(parse_mode_index("-3"), -3);
	EXPECT_EQ(parse_mode_index("hdmi"), 0);
	EXPECT_EQ(parse_mode_index(""), 0);
	EXPECT_EQ(parse_mode_index("  \t+7x9"), 7);
	EXPECT_EQ(parse_mode_index("- 5"), 0);
	EXPECT_EQ(parse_mode_index("2147483647"), INT32_MAX);
	EXPECT_EQ(parse_mode_index("2147483648"), INT32_MAX);
	EXPECT_EQ(parse_mode_index("99999999999999999999999"), INT32_MAX);
	EXPECT_EQ(parse_mode_index("-2147483648"), INT32_MIN);
	EXPECT_EQ(parse_mode_index("-99999999999999999999999"), INT32_MIN);
}

class Entry : public ::testing::Test
{
protected:
	void TearDown() override
	{
		install_card(sim::topology{});
	}
	std::string start(std::vector<std::string> args)
	{
		std::vector<char *> argv;
		for (auto &a : args)
			argv.push_back(a.data());
		argv.push_back(nullptr);
		output_capture cap;
		bootanim_start(int(args.size()), argv.data());
		return cap.stop();
	}
};

TEST_F(Entry, MissingCardPrintsBothFailuresAndSkipsDiscovery)
{
	install_card(sim::topology{});
	sim::fail_open(ENOENT);
	EXPECT_EQ(start({"bootanim"}), "argc=1 modeid=0\n"
	                               "Failed to open dri 0 =No such file or directory\n"
	                               "Failed to set atomic cap Bad file descriptor \n");
	EXPECT_FALSE(g_drm_mode_res);
	EXPECT_EQ(modeid, 0);
}

TEST_F(Entry, ModeIndexAndArgumentCount)
{
	install_card(sim::topology{});
	sim::fail_open(ENOENT);
	EXPECT_EQ(start({"bootanim", "2", "extra"}).substr(0, 17), "argc=3 modeid=2\nF");
	EXPECT_EQ(modeid, 2);
	EXPECT_EQ(start({"bootanim", "-3"}).substr(0, 17), "argc=2 modeid=-3\n");
	EXPECT_EQ(modeid, -3);
	EXPECT_EQ(start({"bootanim", "word"}).substr(0, 16), "argc=2 modeid=0\n");
	EXPECT_EQ(modeid, 0);
}

TEST_F(Entry, CapabilityRefusedSkipsDiscovery)
{
	install_card(*sim::preset("hdmi-1080p"));
	sim::fail_request("SET_CLIENT_CAP", EINVAL, 2); // the atomic one
	std::string out = start({"bootanim"});
	EXPECT_EQ(out, "argc=1 modeid=0\nFailed to set atomic cap Invalid argument \n");
	for (auto &r : sim::requests())
		EXPECT_NE(r.name, "MODE_GETRESOURCES");
	EXPECT_FALSE(g_drm_mode_res);
}

TEST_F(Entry, DiscoveryOnEveryReadyTopology)
{
	struct expectation {
		const char *preset;
		bool connector;
		bool encoder;
	};
	for (auto e :
	     {expectation{"hdmi-1080p", true, true}, expectation{"dp-then-hdmi", true, true},
	      expectation{"hdmi-then-dp", true, true}, expectation{"two-hdmi", true, true},
	      expectation{"disconnected", false, false},
	      expectation{"connected-no-modes", false, false}}) {
		SCOPED_TRACE(e.preset);
		auto t = sim::preset(e.preset);
		ASSERT_TRUE(t);
		install_card(*t);
		std::string out = start({"bootanim"});
		EXPECT_TRUE(out.starts_with("argc=1 modeid=0\n[DRM]: Found "));
		EXPECT_TRUE(g_drm_mode_res);
		EXPECT_EQ(bool(g_drm_connector), e.connector);
		EXPECT_EQ(bool(g_drm_encoder), e.encoder);
		if (e.connector) {
			auto conn = g_drm_connector.get();
			EXPECT_EQ(conn->connector_type, uint32_t(DRM_MODE_CONNECTOR_HDMIA));
			char last[128];
			const drmModeModeInfo &m = conn->modes[conn->count_modes - 1];
			snprintf(last, sizeof last, "[DRM]: Mode %d: (%s) %d x %d, %u Hz\n",
			         conn->count_modes - 1, m.name, m.hdisplay, m.vdisplay, m.vrefresh);
			EXPECT_NE(out.find(last), std::string::npos);
		} else {
			EXPECT_TRUE(out.ends_with("[DRM]: Couldn't get device connector."));
		}
	}
}

} // namespace
