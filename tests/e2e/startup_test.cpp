// Whole-program tests of the two runs of the entry: the mode-set run (a positive mode index), the
// player run chosen by other arguments, and a device without a DRM card.
#include "tests/e2e/e2e.h"

namespace e2e
{
namespace
{

const sim::topology k_card = sim::preset_hdmi_1080p();

using startup = whole_program;

TEST_F(startup, ModeSetRunSetsTheThirdModeStartsNoThreadAndIdles)
{
	write_frame(0, 64, 36);
	write_boot_conf(1, 20);
	harness::player_options o = options();
	o.args = {"2"};
	o.control = false; // the card's control thread would be counted with the player's
	start(o);
	ASSERT_TRUE(player_->wait_for("vsync_control: enable=1 exit=0\n"));
	ASSERT_TRUE(wait_captures(1));
	ASSERT_TRUE(wait_main_idle());
	const std::string out = player_->output();
	const uint32_t encoder =
	        uint32_t(std::stoul(number_after(out, "g_drm_encoder->encoder_id=")));
	// The connector, CRTC and blob ids as the mode set printed them.
	const std::string conn = number_after(out, "setMode object[");
	const std::string crtc = number_after(out, "setMode object[" + conn + "] = ");
	const std::string blob = number_after(out, "setMode object[" + crtc + "] = ");
	EXPECT_NE(blob, "0");
	// No configuration, no frames, no player thread.
	EXPECT_EQ(mask_pointer(out), "argc=2 modeid=2\n" + discovery_lines(encoder, "P") +
	                                     "hotplug: remove connector monitor_index=1\n"
	                                     "setMode object[" +
	                                     conn + "] = " + crtc + "\nsetMode object[" + crtc +
	                                     "] = " + blob + "\nsetMode object[" + crtc +
	                                     "] = 1\n" + discovery_lines(encoder, "P") +
	                                     "[DRM]: HDMI Connector 0 assigned to monitor index: "
	                                     "#2.\nvsync_control: enable=1 exit=0\n");

	// The third mode of the monitor's list is on screen, and nothing else was committed.
	const sim::mode_def &third = k_card.connectors[0].modes[2];
	const std::vector<std::string> files = capture_files();
	ASSERT_EQ(files.size(), 1u);
	const sim::image screen = load_png(files[0]);
	EXPECT_EQ(screen.width, third.hdisplay);
	EXPECT_EQ(screen.height, third.vdisplay);

	EXPECT_TRUE(player_->alive());
	EXPECT_EQ(player_->output(), out);
	EXPECT_EQ(player_->captures(), 1);
	EXPECT_EQ(player_->threads(), 1);
	EXPECT_EQ(player_->errors(), "");
}

TEST_F(startup, ZeroNegativeOrNonNumericArgumentsChooseThePlayerRun)
{
	write_frame(0, 64, 36);
	write_boot_conf(1, 20);
	for (const auto &[arg, shown] : std::vector<std::pair<std::string, std::string>>{
	             {"0", "0"}, {"-3", "-3"}, {"abc", "0"}, {" +0x7", "0"}}) {
		harness::player_options o = options();
		o.args = {arg, "5"};
		start(o);
		ASSERT_TRUE(player_->wait_for("picPath: " + k_frames + "/0.jpg \n")) << arg;
		EXPECT_EQ(player_->output().rfind("argc=3 modeid=" + shown + "\n", 0), 0u) << arg;
		EXPECT_TRUE(wait_until([&] { return !player_->commits().empty(); }, k_wait_deadline,
		                       k_poll));
		EXPECT_EQ(player_->commits().size(), 1u) << arg;
		EXPECT_TRUE(player_->stop(SIGKILL, 30000));
	}
}

TEST_F(startup, WithoutACardBothFailuresArePrintedAndThePlayerIdles)
{
	write_frame(0, 64, 36);
	write_boot_conf(1, 20);
	harness::player_options o = options();
	o.preload.clear();
	o.hide_cards = true;
	start(o);
	ASSERT_TRUE(player_->wait_for("vsync_control: enable=1 exit=0\n"));
	ASSERT_TRUE(wait_main_idle());
	ASSERT_TRUE(event_barrier());
	// The other threads' lines may fall anywhere; the worker's wait line only when it waited
	// before it was enabled.
	const std::string out = player_->output();
	const std::string unwatched = "uevent: not watching DRM descriptor -1";
	EXPECT_EQ(occurrences(out, unwatched + "\n"), 1) << out;
	EXPECT_LE(occurrences(out, "vsync: pthread_cond_wait\n"), 1) << out;
	EXPECT_EQ(without_line(without_line(out, unwatched), "vsync: pthread_cond_wait"),
	          "argc=1 modeid=0\n"
	          "Failed to open dri 0 =No such file or directory\n"
	          "Failed to set atomic cap Bad file descriptor \n"
	          "cfg:  mImageCount=1 mBootAnimPath=" +
	                  k_frames + " mFps 20\n" + "start_boot_thread: mDrmFd = -1\n" +
	                  "vsync_control: enable=1 exit=0\n" + k_barrier_line);
	EXPECT_TRUE(player_->alive());
	EXPECT_EQ(player_->threads(), 3) << "entry, event thread and vsync worker";
}

TEST_F(startup, ModeSetRunWithoutACardReportsAndIdles)
{
	harness::player_options o = options();
	o.preload.clear();
	o.hide_cards = true;
	o.args = {"2"};
	start(o);
	ASSERT_TRUE(player_->wait_for("hotplug: no display resources, nothing to set\n"));
	ASSERT_TRUE(wait_main_idle());
	EXPECT_EQ(player_->output(), "argc=2 modeid=2\n"
	                             "Failed to open dri 0 =No such file or directory\n"
	                             "Failed to set atomic cap Bad file descriptor \n"
	                             "hotplug: no display resources, nothing to set\n");
	EXPECT_TRUE(player_->alive());
	EXPECT_EQ(player_->threads(), 1);
}

} // namespace
} // namespace e2e
