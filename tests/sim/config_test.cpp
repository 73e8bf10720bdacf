// The preload library's configuration file.
#include <gtest/gtest.h>

#include <fstream>
#include <unistd.h>

#include "sim/config.h"

namespace
{

std::optional<sim::preload_config> parse(const std::string &text, std::string &error)
{
	error = "untouched";
	return sim::parse_config(text, error);
}

std::string error_of(const std::string &text)
{
	std::string error;
	const std::optional<sim::preload_config> cfg = parse(text, error);
	EXPECT_FALSE(cfg) << text;
	return error;
}

TEST(config, empty_file_gives_the_hdmi_monitor_and_no_channels)
{
	std::string error;
	for (const char *text : {"", "\n\n", "# nothing\n   \n\t# indented comment\n"}) {
		const std::optional<sim::preload_config> cfg = parse(text, error);
		ASSERT_TRUE(cfg) << error;
		EXPECT_EQ(error, "");
		EXPECT_EQ(cfg->preset, "hdmi-1080p");
		EXPECT_EQ(cfg->card.connectors.size(), 1u);
		EXPECT_EQ(cfg->card.connectors[0].modes.size(),
		          sim::preset_hdmi_1080p().connectors[0].modes.size());
		EXPECT_EQ(cfg->card.planes.size(), sim::preset_hdmi_1080p().planes.size());
		EXPECT_EQ(cfg->control, "");
		EXPECT_EQ(cfg->capture_dir, "");
		EXPECT_EQ(cfg->log, "");
		EXPECT_TRUE(cfg->card.crtcs[0].active) << "the console stays";
		EXPECT_FALSE(cfg->card.render_card0);
		EXPECT_EQ(cfg->card.display_card_delay_ms, 0);
	}
}

TEST(config, every_setting_is_read)
{
	std::string error;
	const std::optional<sim::preload_config> cfg = parse("# the card of test 7\n"
	                                                     "preset two-hdmi\n"
	                                                     "control /tmp/simkms test.sock\n"
	                                                     "capture_dir\t/tmp/shots  \n"
	                                                     "log /tmp/card.log\r\n"
	                                                     "pitch_align 64\n"
	                                                     "rg24_red_first 1\n"
	                                                     "commit_waits_vblank 1\n"
	                                                     "can_scale 0\n"
	                                                     "console 0\n"
	                                                     "render_card0 1\n"
	                                                     "display_card_delay_ms 250\n"
	                                                     "connected 0\n"
	                                                     "vblank 0",
	                                                     error);
	ASSERT_TRUE(cfg) << error;
	EXPECT_EQ(cfg->preset, "two-hdmi");
	EXPECT_EQ(cfg->card.connectors.size(), 2u);
	EXPECT_EQ(cfg->control, "/tmp/simkms test.sock");
	EXPECT_EQ(cfg->capture_dir, "/tmp/shots");
	EXPECT_EQ(cfg->log, "/tmp/card.log");
	const sim::driver_def &d = cfg->card.driver;
	EXPECT_EQ(d.pitch_align, 64u);
	EXPECT_TRUE(d.rg24_red_first);
	EXPECT_TRUE(d.commit_waits_vblank);
	EXPECT_FALSE(d.can_scale);
	EXPECT_FALSE(d.vblank);
	EXPECT_FALSE(cfg->card.crtcs[0].active);
	EXPECT_EQ(cfg->card.connectors[0].bound_encoder, -1);
	EXPECT_TRUE(cfg->card.render_card0);
	EXPECT_EQ(cfg->card.display_card_delay_ms, 250);
	EXPECT_FALSE(cfg->card.connectors[0].connected);
	EXPECT_FALSE(cfg->card.connectors[0].modes.empty());
}

// Driver settings override the preset's, whether they come before or after the preset line.
TEST(config, settings_override_the_presets_driver)
{
	std::string error;
	std::optional<sim::preload_config> cfg = parse("vblank 0\npreset vkms\n", error);
	ASSERT_TRUE(cfg) << error;
	EXPECT_FALSE(cfg->card.driver.vblank);
	EXPECT_EQ(cfg->card.driver.name, "vkms");
	EXPECT_EQ(cfg->card.driver.min_width, 20u);

	cfg = parse("preset cirrus\ncan_scale 1\nrg24_red_first 0\n", error);
	ASSERT_TRUE(cfg) << error;
	EXPECT_TRUE(cfg->card.driver.can_scale);
	EXPECT_FALSE(cfg->card.driver.rg24_red_first);
	EXPECT_EQ(cfg->card.driver.max_width, 2044u);
	EXPECT_FALSE(cfg->card.driver.vblank) << "settings not named keep the preset's value";

	cfg = parse("preset virtio\n", error);
	ASSERT_TRUE(cfg) << error;
	EXPECT_EQ(cfg->card.driver.dumb_bpp, std::vector<uint32_t>{32});
	EXPECT_EQ(cfg->card.driver.pitch_align, 1u);
}

// With nothing attached, a connector the driver makes when its panel attaches does not exist yet.
TEST(config, a_panel_not_yet_attached_has_no_connector)
{
	std::string error;
	for (bool attached : {true, false}) {
		const std::optional<sim::preload_config> cfg = parse(
		        std::string("preset exynos4210\n") + (attached ? "" : "connected 0\n"),
		        error);
		ASSERT_TRUE(cfg) << error;
		EXPECT_EQ(cfg->card.connectors[0].late, !attached);
	}
}

TEST(config, mistakes_name_their_line)
{
	EXPECT_EQ(error_of("preset hdmi-4k\n"), "line 1: unknown preset \"hdmi-4k\"");
	EXPECT_EQ(error_of("# c\n\npreset hdmi-1080p\nresolution 1920x1080\n"),
	          "line 4: unknown setting \"resolution\"");
	EXPECT_EQ(error_of("control\n"), "line 1: control needs a value");
	EXPECT_EQ(error_of("log   \t\n"), "line 1: log needs a value");
	EXPECT_EQ(error_of("vblank 0\nvblank 1\n"), "line 2: vblank given twice");
	EXPECT_EQ(error_of("preset vkms\n\npreset cirrus\n"), "line 3: preset given twice");
	for (const char *bad : {"yes", "2", "-1", "01x", "true"}) {
		EXPECT_EQ(error_of(std::string("rg24_red_first ") + bad),
		          "line 1: rg24_red_first needs 0 or 1");
		EXPECT_EQ(error_of(std::string("commit_waits_vblank ") + bad),
		          "line 1: commit_waits_vblank needs 0 or 1");
		EXPECT_EQ(error_of(std::string("can_scale ") + bad),
		          "line 1: can_scale needs 0 or 1");
		EXPECT_EQ(error_of(std::string("console ") + bad), "line 1: console needs 0 or 1");
		EXPECT_EQ(error_of(std::string("render_card0 ") + bad),
		          "line 1: render_card0 needs 0 or 1");
	}
	for (const char *bad : {"-1", "1.5", "ms", "99999999999"})
		EXPECT_EQ(error_of(std::string("display_card_delay_ms ") + bad),
		          "line 1: display_card_delay_ms needs a number of milliseconds")
		        << bad;
	for (const char *bad : {"0", "-64", "64x", "x64", "99999999999", "6 4"})
		EXPECT_EQ(error_of(std::string("\npitch_align ") + bad),
		          "line 2: pitch_align needs a positive number")
		        << bad;
}

TEST(config, files_are_read_and_their_errors_name_the_file)
{
	const std::string path =
	        testing::TempDir() + "simkms-config-" + std::to_string(getpid()) + ".conf";
	std::string error;

	std::optional<sim::preload_config> cfg = sim::read_config(path, error);
	EXPECT_FALSE(cfg);
	EXPECT_EQ(error, path + ": No such file or directory");

	std::ofstream(path) << "preset bochs\ncontrol /run/simkms.sock\n";
	cfg = sim::read_config(path, error);
	ASSERT_TRUE(cfg) << error;
	EXPECT_EQ(cfg->card.driver.name, "bochs-drm");
	EXPECT_EQ(cfg->control, "/run/simkms.sock");

	std::ofstream(path) << "preset bochs\nvblank on\n";
	cfg = sim::read_config(path, error);
	EXPECT_FALSE(cfg);
	EXPECT_EQ(error, path + ": line 2: vblank needs 0 or 1");
	unlink(path.c_str());
}

} // namespace
