// The worker on its own thread, as the player run starts it: disabled until vsync_control(1),
// one play per control, a disable that lets a playing animation finish, and the teardown.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <drm_fourcc.h>
#include <gtest/gtest.h>

#include "animation/boot_config.h"
#include "animation/player.h"
#include "display/display.h"
#include "sim/sim.h"
#include "tests/support/boot_conf_seam.h"
#include "tests/support/capture.h"
#include "tests/support/card.h"
#include "tests/support/jpeg_file.h"
#include "tests/support/seam.h"
#include "tests/support/wait.h"
#include "vsync/vsync.h"

// The player's pause of `hold_us` waits, once armed, until the test opens the gate: a control
// then lands while the animation plays, however loaded the machine.
namespace pause_gate
{
std::mutex lock;
std::condition_variable changed;
useconds_t hold_us = 0;
bool holding = false, open = false;
} // namespace pause_gate

extern "C" int usleep(useconds_t us)
{
	{
		std::unique_lock hold(pause_gate::lock);
		if (pause_gate::hold_us && us == pause_gate::hold_us) {
			pause_gate::hold_us = 0;
			pause_gate::holding = true;
			pause_gate::changed.notify_all();
			pause_gate::changed.wait(hold, [] { return pause_gate::open; });
		}
	}
	return SEAM_NEXT(usleep)(us);
}

namespace
{

using namespace std::chrono_literals;

// What has been written to standard output so far, while it is captured into a file.
std::string printed()
{
	fflush(stdout);
	std::string text;
	char buf[4096];
	off_t at = 0;
	ssize_t n;
	while ((n = pread(1, buf, sizeof buf, at)) > 0) {
		text.append(buf, static_cast<size_t>(n));
		at += n;
	}
	return text;
}

int occurrences(const std::string &text, const std::string &what)
{
	int n = 0;
	for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
		n++;
	return n;
}

size_t vblank_waits()
{
	return requests_named("WAIT_VBLANK").size();
}

// Returns once the card has counted `n` more vblanks: time enough for a cycling worker to have
// asked for one.
void let_the_card_run(uint64_t n = 6)
{
	const uint64_t from = sim::vblank_count(0);
	ASSERT_TRUE(wait_until([&] { return sim::vblank_count(0) >= from + n; }));
}

uint64_t fb_of(const sim::commit_record &c)
{
	for (const auto &p : c.props)
		if (p.name == "FB_ID")
			return p.value;
	return 0;
}

// The text with what follows each "ptr=" and "addr=" up to the next blank or line end replaced.
std::string hide_addresses(std::string text)
{
	for (const char *key : {"ptr=", "addr="}) {
		for (size_t at = text.find(key); at != std::string::npos;
		     at = text.find(key, at + 1)) {
			size_t from = at + strlen(key);
			size_t to = text.find_first_of(" \n", from);
			text.replace(from, to - from, "ADDR");
		}
	}
	return text;
}

class WorkerThread : public ::testing::Test
{
protected:
	void SetUp() override
	{
		dir = make_temp_dir();
		ASSERT_FALSE(dir.empty());
		install_card(player_card());
		ASSERT_TRUE(open_and_discover(&fd));
		g_vsync_count = 0;
	}

	void TearDown() override
	{
		{
			std::lock_guard hold(pause_gate::lock);
			pause_gate::hold_us = 0;
			pause_gate::open = true; // a held worker goes on
		}
		pause_gate::changed.notify_all();
		boot_conf_seam::path.clear();
		install_card(sim::topology{});
		remove_tree(dir);
	}

	void frames(int count, int fps)
	{
		ASSERT_TRUE(boot_frames(dir, count, fps));
	}

	std::string head(int count, int fps) const
	{
		return boot_frames_line(dir, count, fps) +
		       "start_boot_thread: mDrmFd = " + std::to_string(fd) + "\n";
	}

	std::string pictures(int count) const
	{
		std::string out;
		for (int k = 0; k < count; k++)
			out += "picPath: " + dir + "/" + std::to_string(k) + ".jpg \n";
		return out;
	}

	// The release lines of the ring after `commits` frames: slot 1 holds the newest.
	std::string release_lines(const std::vector<sim::commit_record> &commits) const
	{
		std::string out;
		for (int i = 1; i <= 3 && size_t(i) <= commits.size(); i++) {
			char line[128];
			snprintf(line, sizeof line,
			         "release drm res:i=%d fd=0x%x fb_id=0x%x ptr=ADDR addr=ADDR\n", i,
			         static_cast<unsigned>(fd),
			         static_cast<unsigned>(fb_of(commits[commits.size() - i])));
			out += line;
		}
		return out;
	}

	int fd = -1;
	std::string dir;
};

TEST_F(WorkerThread, WaitsDisabledUntilControlThenPlaysOnceAndIsReleased)
{
	frames(3, 100);
	output_capture cap;
	ASSERT_EQ(start_boot_thread(fd), 0);
	ASSERT_TRUE(wait_until(
	        [] { return printed().find("vsync: pthread_cond_wait\n") != std::string::npos; }));
	let_the_card_run();
	// Disabled: it waits once, nothing is waited for on the card and nothing is shown.
	EXPECT_EQ(occurrences(printed(), "vsync: pthread_cond_wait\n"), 1);
	EXPECT_EQ(vblank_waits(), 0u);
	EXPECT_TRUE(sim::commits().empty());

	EXPECT_EQ(vsync_control(1), 0);
	ASSERT_TRUE(wait_until([] { return sim::commits().size() >= 3; }));
	// It goes on cycling, one vblank per cycle, without playing again.
	size_t waits = vblank_waits();
	ASSERT_TRUE(wait_until([&] { return vblank_waits() >= waits + 10; }));
	auto commits = sim::commits();
	ASSERT_EQ(commits.size(), 3u);
	for (const auto &c : commits) {
		EXPECT_EQ(c.error, 0);
		EXPECT_NE(fb_of(c), 0u);
	}
	EXPECT_GE(g_vsync_count.load(), 10);

	// Disabled again: the next cycle waits and the vblank waits stop.
	EXPECT_EQ(vsync_control(0), 0);
	ASSERT_TRUE(wait_until(
	        [] { return occurrences(printed(), "vsync: pthread_cond_wait\n") == 2; }));
	waits = vblank_waits();
	let_the_card_run();
	EXPECT_EQ(vblank_waits(), waits);

	release_boot_resources();
	std::string out = cap.stop();
	EXPECT_EQ(hide_addresses(out),
	          head(3, 100) + "vsync: pthread_cond_wait\n" + "vsync_control: enable=1 exit=0\n" +
	                  pictures(3) + "vsync_control: enable=0 exit=0\n" +
	                  "vsync: pthread_cond_wait\n" + release_lines(commits));
	for (const auto &slot : mSfJpegBufInfo)
		EXPECT_EQ(slot.mBuf, nullptr);
	EXPECT_EQ(sim::live().framebuffers, 0);
	EXPECT_EQ(sim::live().mappings, 0);
	EXPECT_EQ(sim::live().dumb_buffers, 0);
}

TEST_F(WorkerThread, DisableDuringPlaybackLetsTheAnimationFinish)
{
	frames(5, 20);
	output_capture cap;
	ASSERT_EQ(start_boot_thread(fd), 0);
	ASSERT_TRUE(wait_until(
	        [] { return printed().find("vsync: pthread_cond_wait\n") != std::string::npos; }));
	{
		std::lock_guard hold(pause_gate::lock);
		pause_gate::hold_us = 1000000 / 20; // after the first frame
		pause_gate::holding = pause_gate::open = false;
	}
	EXPECT_EQ(vsync_control(1), 0);
	{
		std::unique_lock hold(pause_gate::lock);
		ASSERT_TRUE(pause_gate::changed.wait_for(hold, k_wait_deadline,
		                                         [] { return pause_gate::holding; }));
	}
	EXPECT_EQ(sim::commits().size(), 1u);
	EXPECT_EQ(vsync_control(0), 0);
	{
		std::lock_guard hold(pause_gate::lock);
		pause_gate::open = true;
	}
	pause_gate::changed.notify_all();
	ASSERT_TRUE(wait_until(
	        [] { return occurrences(printed(), "vsync: pthread_cond_wait\n") == 2; }));
	auto commits = sim::commits();
	EXPECT_EQ(commits.size(), 5u);
	release_boot_resources();
	std::string out = cap.stop();

	// The status line falls among the frames, and all five were shown.
	EXPECT_EQ(occurrences(out, "picPath: "), 5);
	size_t off = out.find("vsync_control: enable=0 exit=0\n");
	ASSERT_NE(off, std::string::npos);
	EXPECT_LT(out.find("picPath: " + dir + "/0.jpg"), off);
	EXPECT_GT(out.find("picPath: " + dir + "/4.jpg"), off);
	EXPECT_LT(off, out.rfind("vsync: pthread_cond_wait\n"));
}

TEST_F(WorkerThread, ReleaseOfACyclingWorkerEndsItAfterItsCycle)
{
	frames(1, 1000);
	output_capture cap;
	ASSERT_EQ(start_boot_thread(fd), 0);
	EXPECT_EQ(vsync_control(1), 0);
	ASSERT_TRUE(wait_until([] { return sim::commits().size() == 1 && vblank_waits() > 3; }));
	auto commits = sim::commits();
	release_boot_resources();
	size_t waits = vblank_waits();
	let_the_card_run();
	EXPECT_EQ(vblank_waits(), waits);
	// The worker may have waited once before the control came.
	const std::string out = hide_addresses(cap.stop()), waited = "vsync: pthread_cond_wait\n";
	const std::string rest =
	        "vsync_control: enable=1 exit=0\n" + pictures(1) + release_lines(commits);
	EXPECT_TRUE(out == head(1, 1000) + rest || out == head(1, 1000) + waited + rest) << out;
}

// Controls from several threads while the worker cycles and plays: every access to the flags,
// the count and the condition is made safe, and the last enable still plays.
TEST_F(WorkerThread, ControlsFromSeveralThreadsWhileTheWorkerRuns)
{
	frames(2, 500);
	output_capture cap;
	ASSERT_EQ(start_boot_thread(fd), 0);
	std::vector<std::thread> controllers;
	for (int t = 0; t < 2; t++)
		controllers.emplace_back([t] {
			for (int i = 0; i < 100; i++) {
				vsync_control((i + t) % 2);
				std::this_thread::sleep_for(1ms);
			}
		});
	for (auto &t : controllers)
		t.join();
	size_t before = sim::commits().size();
	EXPECT_EQ(vsync_control(1), 0);
	ASSERT_TRUE(wait_until([&] { return sim::commits().size() >= before + 2; }));
	release_boot_resources();
	cap.stop();
	for (const auto &c : sim::commits())
		EXPECT_EQ(c.error, 0);
}

} // namespace
