// A hot-plug storm while the animation plays, in the ThreadSanitizer build: the event thread
// replaces the display records and switches the pipe off and on while the worker and the player
// read them and commit frames. No race may be reported, nothing may crash, and no kernel object
// may pile up.
#include "tests/e2e/e2e.h"

#include <random>

namespace e2e
{
namespace
{

using storm = whole_program;

TEST_F(storm, TwoHundredUnplugReplugCyclesWhileTheAnimationPlays)
{
#ifndef BOOTANIM_TSAN_BUILD
	GTEST_SKIP() << "runs in the ThreadSanitizer build";
#endif
	constexpr int k_cycles = 200;
	constexpr int k_frames_count = 600;
	for (int k = 0; k < 8; k++)
		write_frame(k, 96, 54);
	// Many frames from a few pictures, so that the animation outlasts the storm.
	for (int k = 8; k < k_frames_count; k++)
		ASSERT_EQ(link((outside(k_frames) + "/" + std::to_string(k % 8) + ".jpg").c_str(),
		               (outside(k_frames) + "/" + std::to_string(k) + ".jpg").c_str()),
		          0);
	write_boot_conf(k_frames_count, 120);
	harness::player_options o = options();
	o.capture = false;
	o.env = {"TSAN_OPTIONS=halt_on_error=0 second_deadlock_stack=1"};
	start(o);
	ASSERT_TRUE(player_->wait_for("picPath: " + k_frames + "/2.jpg \n"));

	std::mt19937 random(20240607);
	// Random gaps between the steps vary where each lands in the playback; nothing waits on
	// them.
	std::uniform_int_distribution<int> pause_us(0, 25000);
	std::string middle;
	for (int i = 0; i < k_cycles; i++) {
		ASSERT_TRUE(player_->command("disconnect 0"));
		usleep(useconds_t(pause_us(random)));
		ASSERT_TRUE(send_uevent(harness::drm_hotplug_uevent(unsigned(2 * i))));
		usleep(useconds_t(pause_us(random)));
		ASSERT_TRUE(player_->command("connect 0"));
		usleep(useconds_t(pause_us(random)));
		ASSERT_TRUE(send_uevent(harness::drm_hotplug_uevent(unsigned(2 * i + 1))));
		usleep(useconds_t(pause_us(random)));
		ASSERT_TRUE(player_->alive()) << "the player died in cycle " << i;
		if (i == k_cycles / 2)
			middle = player_->command("live").value_or("");
	}
	// Every uevent handled, the last a mode set. (A handler that runs after the next unplug
	// sets no mode, so only the last handler's mode set is certain.)
	const std::string handled = "hotplug: remove connector monitor_index=";
	ASSERT_TRUE(player_->wait_for(handled, 120000, 2 * k_cycles));
	const auto last_handler = [&] {
		const std::string out = player_->output();
		size_t at = 0;
		for (int n = 0; n < 2 * k_cycles; n++)
			at = out.find(handled, at) + 1;
		return out.substr(at);
	};
	EXPECT_TRUE(wait_until([&] {
		return last_handler().find(
		               "[DRM]: HDMI Connector 0 assigned to monitor index: #2.\n") !=
		       std::string::npos;
	})) << last_handler();
	// Let the animation run out; the worker then only cycles.
	ASSERT_TRUE(player_->wait_for("picPath: " + k_frames + "/" +
	                                      std::to_string(k_frames_count - 1) + ".jpg \n",
	                              300000));
	ASSERT_TRUE(wait_worker_cycles());

	EXPECT_TRUE(player_->alive());
	const std::string errors = player_->errors();
	EXPECT_EQ(errors.find("ThreadSanitizer"), std::string::npos) << errors.substr(0, 20000);
	EXPECT_EQ(errors, "");
	// The ring's three buffers, each mapped and shown through one framebuffer, and the current
	// mode's blob only.
	EXPECT_EQ(player_->command("live").value_or(""),
	          "files=1 dumb_buffers=3 mappings=3 framebuffers=3 blobs=1\n");
	EXPECT_LE(std::stoi(number_after(middle, "framebuffers=")), 3) << middle;
	// A mode set makes its blob before the old one goes.
	EXPECT_LE(std::stoi(number_after(middle, "blobs=")), 2) << middle;
}

} // namespace
} // namespace e2e
