// Whole-program tests of hot-plug: the real bootanim under the virtual card; the monitor is
// unplugged and plugged in again through the card's control channel, and the kernel's uevent is
// sent to the player's private network namespace, as the DRM core sends it.
#include "tests/e2e/e2e.h"

namespace e2e
{
namespace
{

const sim::topology k_card = sim::preset_hdmi_1080p();
constexpr uint32_t k_mode_w = 1920, k_mode_h = 1080;
const std::string k_detect = "hwc_uevent detect HOTPLUG=1 "
                             "buffer=change@/devices/pci0000:00/0000:00:02.0/drm/card0 "
                             "hotplug_event=1\n";
const std::string k_cond_wait = "vsync: pthread_cond_wait";

using hotplug = whole_program;

TEST_F(hotplug, UnplugSwitchesTheScreenOffAndReplugSetsTheModeAndPlaysAgain)
{
	std::vector<rgb_picture> frames;
	for (int k = 0; k < 3; k++)
		frames.push_back(write_frame(k, 160, 90));
	write_boot_conf(3, 20);
	start(options());
	ASSERT_TRUE(player_->wait_for("picPath: " + k_frames + "/2.jpg \n"));
	ASSERT_TRUE(wait_captures(3));
	read_ids();
	ASSERT_TRUE(wait_worker_cycles());
	const std::string conn = std::to_string(ids_["connectors"][0]);
	const std::string crtc = std::to_string(ids_["crtcs"][0]);
	const std::string encoder = std::to_string(ids_["encoders"][0]);
	const std::string plane = std::to_string(ids_["planes"][size_t(rg24_plane(k_card))]);

	// Unplug.
	ASSERT_TRUE(player_->command("clear-records"));
	size_t mark = player_->output().size();
	ASSERT_TRUE(player_->command("disconnect 0"));
	ASSERT_TRUE(send_uevent(harness::drm_hotplug_uevent(1)));
	// The barrier's line follows the last of the handler's; the disabled worker says that it
	// waits.
	ASSERT_TRUE(event_barrier());
	ASSERT_TRUE(wait_output(mark, k_cond_wait + "\n"));
	std::string out = player_->output().substr(mark);
	// The worker may print its wait line anywhere once it is disabled. The plane that shows
	// the last frame is taken off the CRTC in the same commit, as the kernel requires.
	EXPECT_EQ(without_line(out, k_cond_wait),
	          k_detect + "hotplug: remove connector monitor_index=0\n" +
	                  "vsync_control: enable=0 exit=0\n" + "setMode object[" + conn +
	                  "] = 0\n" + "g_drm_encoder = NULL *************\n" + "setMode object[" +
	                  crtc + "] = 0\n" + "setMode object[" + crtc + "] = 0\n" +
	                  "setMode object[" + plane + "] = 0\n" + "setMode object[" + plane +
	                  "] = 0\n" + k_barrier_line);
	EXPECT_EQ(occurrences(out, k_cond_wait + "\n"), 1);
	// The request itself is the handler's tests' to pin; here the screen went dark.
	EXPECT_EQ(player_->commits().size(), 1u);
	std::string error;
	EXPECT_FALSE(player_->command("screen 0 " + dir_.path() + "/dark.png", &error));
	EXPECT_EQ(error, "crtc 0 is off");
	// The disabled worker waits on its condition: no more vblank waits, and no second wait line
	// by the time the event thread has handled another uevent.
	ASSERT_TRUE(player_->command("clear-records"));
	ASSERT_TRUE(event_barrier());
	EXPECT_EQ(occurrences(player_->output().substr(mark), k_cond_wait + "\n"), 1);
	EXPECT_EQ(occurrences(player_->command("requests").value_or(""), "WAIT_VBLANK"), 0);

	// Replug.
	mark = player_->output().size();
	ASSERT_TRUE(player_->command("connect 0"));
	ASSERT_TRUE(send_uevent(harness::drm_hotplug_uevent(2)));
	ASSERT_TRUE(player_->wait_for("vsync_control: enable=1 exit=0\n", 20000, 2));
	const std::string head = k_detect + "hotplug: remove connector monitor_index=1\n";
	const std::string blob =
	        number_after(player_->output().substr(mark), "setMode object[" + crtc + "] = ");
	EXPECT_NE(blob, "0");

	// The animation plays again on the new mode.
	ASSERT_TRUE(player_->wait_for("picPath: " + k_frames + "/2.jpg \n", 20000, 2))
	        << "the animation was not played again";
	// Captures: the three frames, the lit screen of the mode set, the three frames again.
	ASSERT_TRUE(wait_captures(7));
	ASSERT_TRUE(wait_worker_cycles());
	// All the replug printed: the mode set, the re-detection, the assignment and the worker
	// enabled, then the replay; each new buffer lets the first run's buffer of the same frame
	// go.
	std::string replay;
	for (int k = 0; k < 3; k++)
		replay += "picPath: " + k_frames + "/" + std::to_string(k) + ".jpg \n" +
		          "free: mSfJpegBufInfo[0].mPath " + k_frames + "/" + std::to_string(k) +
		          ".jpg \n";
	EXPECT_EQ(mask_pointer(player_->output().substr(mark)),
	          head + "setMode object[" + conn + "] = " + crtc + "\n" + "setMode object[" +
	                  crtc + "] = " + blob + "\n" + "setMode object[" + crtc + "] = 1\n" +
	                  discovery_lines(uint32_t(std::stoul(encoder)), "P") +
	                  "[DRM]: HDMI Connector 0 assigned to monitor index: #2.\n" +
	                  "vsync_control: enable=1 exit=0\n" + replay);
	// The mode set and the three frames; what each commits is pinned by the handler's and
	// the presenting unit's tests, what the screen shows below.
	EXPECT_EQ(player_->commits().size(), 4u);
	const std::vector<std::string> files = capture_files();
	ASSERT_EQ(files.size(), 7u);
	EXPECT_EQ(compare(load_png(files[3]), black_screen(k_mode_w, k_mode_h)), "");
	for (size_t k = 0; k < 3; k++)
		EXPECT_EQ(compare(load_png(files[4 + k]),
		                  expected_screen(frames[k], k_mode_w, k_mode_h)),
		          "")
		        << "frame " << k << " after the replug";
	// The replaced buffers left the ring; one blob, the current mode's.
	EXPECT_EQ(player_->command("live").value_or(""),
	          "files=1 dumb_buffers=3 mappings=3 framebuffers=3 blobs=1\n");
}

} // namespace
} // namespace e2e
