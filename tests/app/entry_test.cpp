#include <algorithm>
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
	// The failure lines' own text is the test above's; here each argument line is followed
	// by them and nothing else. (qemu-user answers an ioctl on descriptor -1 with ENOSYS.)
	const auto expect_start = [&](std::vector<std::string> args, const std::string &first) {
		const std::string out = start(std::move(args));
		const std::string failures = first +
		                             "Failed to open dri 0 =No such file or directory\n"
		                             "Failed to set atomic cap ";
		EXPECT_EQ(out.substr(0, failures.size()), failures);
		EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 3) << out;
	};
	expect_start({"bootanim", "2", "extra"}, "argc=3 modeid=2\n");
	EXPECT_EQ(modeid, 2);
	expect_start({"bootanim", "-3"}, "argc=2 modeid=-3\n");
	EXPECT_EQ(modeid, -3);
	expect_start({"bootanim", "word"}, "argc=2 modeid=0\n");
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

// A GPU's render-only driver at card0 (the kernel refuses it the atomic cap with EOPNOTSUPP):
// the display's card1 becomes the card of the process.
TEST_F(Entry, ARenderOnlyCard0GivesWayToTheDisplaysCard)
{
	sim::topology t = *sim::preset("hdmi-1080p");
	t.render_card0 = true;
	install_card(t);
	const std::string out = start({"bootanim"});
	EXPECT_TRUE(out.starts_with("argc=1 modeid=0\n"
	                            "Failed to set atomic cap Operation not supported \n"
	                            "bootanim: /dev/dri/card0 offers no mode setting\n"
	                            "bootanim: display on /dev/dri/card1\n"
	                            "[DRM]: Found 1 connectors.\n"))
	        << out;
	EXPECT_EQ(sim::live().files, 1);
	auto enc = g_drm_encoder.get();
	ASSERT_TRUE(enc);
	EXPECT_EQ(enc->encoder_id, sim::encoder_id(0));
}

TEST_F(Entry, DiscoveryOnEveryReadyTopology)
{
	// The connector chosen, -1 for none; what discovery prints is the display tests' to pin,
	// here it runs once, right after the argument line, and ends as its choice does.
	struct expectation {
		const char *preset;
		int connector;
	};
	for (auto e : {expectation{"hdmi-1080p", 0}, expectation{"dp-then-hdmi", 1},
	               expectation{"hdmi-then-dp", 0}, expectation{"two-hdmi", 0},
	               expectation{"disconnected", -1}, expectation{"connected-no-modes", -1}}) {
		SCOPED_TRACE(e.preset);
		auto t = sim::preset(e.preset);
		ASSERT_TRUE(t);
		install_card(*t);
		std::string out = start({"bootanim"});
		EXPECT_TRUE(out.starts_with("argc=1 modeid=0\n[DRM]: Found ")) << out;
		EXPECT_EQ(out.find("[DRM]: Found ", 1), out.rfind("[DRM]: Found ")) << out;
		EXPECT_TRUE(g_drm_mode_res);
		auto conn = g_drm_connector.get();
		auto enc = g_drm_encoder.get();
		if (e.connector < 0) {
			EXPECT_FALSE(conn);
			EXPECT_FALSE(enc);
			EXPECT_TRUE(out.ends_with("drm_get_connector: g_drm_connector=(nil) 11111\n"
			                          "[DRM]: Couldn't get device connector."))
			        << out;
			continue;
		}
		ASSERT_TRUE(conn && enc);
		EXPECT_EQ(conn->connector_id, sim::connector_id(e.connector));
		EXPECT_EQ(enc->encoder_id, conn->encoder_id);
		const std::string id = std::to_string(enc->encoder_id);
		EXPECT_TRUE(out.ends_with("g_drm_encoder->encoder_id=" + id +
		                          " g_drm_connector->encoder_id=" + id + "\n"))
		        << out;
	}
}

} // namespace
