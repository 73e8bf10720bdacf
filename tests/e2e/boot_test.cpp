// Whole-program tests of a boot: the real bootanim, run without arguments under the virtual
// card with one HDMI monitor, plays /mnt/bootanimation once and leaves the last frame on screen.
#include "tests/e2e/e2e.h"

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace e2e
{
namespace
{

const sim::topology k_card = sim::preset_hdmi_1080p();
constexpr uint32_t k_mode_w = 1920, k_mode_h = 1080;

int64_t mtime_ns(const std::string &path)
{
	struct stat st {
	};
	stat(path.c_str(), &st);
	return int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

class boot : public whole_program
{
protected:
	// Checks that there is one commit for each frame, in order, each on a framebuffer of its
	// own, and that the captures show exactly these pictures. (What a frame's commit holds is
	// the presenting unit's to pin.)
	void expect_frames_shown(const std::vector<rgb_picture> &frames)
	{
		const std::vector<std::string> commits = player_->commits();
		ASSERT_EQ(commits.size(), frames.size());
		std::vector<uint32_t> fbs;
		for (size_t k = 0; k < frames.size(); k++) {
			const uint32_t fb = fb_of(commits[k]);
			EXPECT_NE(fb, 0u);
			// A new framebuffer for every frame, while the ring holds the last ones.
			for (size_t back = 1; back <= 2 && back <= k; back++)
				EXPECT_NE(fb, fbs[k - back]) << "frame " << k;
			fbs.push_back(fb);
		}
		const std::vector<std::string> files = capture_files();
		ASSERT_EQ(files.size(), frames.size());
		for (size_t k = 0; k < frames.size(); k++)
			EXPECT_EQ(compare(load_png(files[k]),
			                  expected_screen(frames[k], k_mode_w, k_mode_h)),
			          "")
			        << "capture of frame " << k;
	}
};

TEST_F(boot, PlaysEveryFrameOnceInOrderAndLeavesTheLastOnScreen)
{
	constexpr int k_count = 5, k_fps = 10;
	std::vector<rgb_picture> frames;
	for (int k = 0; k < k_count; k++)
		frames.push_back(write_frame(k, 160, 90));
	write_boot_conf(k_count, k_fps);
	start(options());
	ASSERT_TRUE(player_->wait_for("picPath: " + k_frames + "/4.jpg \n"));
	ASSERT_TRUE(wait_captures(k_count));
	read_ids();
	ASSERT_TRUE(wait_worker_cycles());

	const std::string out = player_->output();
	SCOPED_TRACE(out);
	// Everything it printed: start-up, configuration, the frames in order, each once, and the
	// ring letting the two oldest go at frames 3 and 4. The worker's wait line comes at most
	// once, wherever it waited before it was enabled.
	const std::string wait_line = "vsync: pthread_cond_wait";
	EXPECT_LE(occurrences(out, wait_line + "\n"), 1);
	auto frame = [](const char *what, int k) {
		return std::string(what) + k_frames + "/" + std::to_string(k) + ".jpg \n";
	};
	EXPECT_EQ(without_line(out, wait_line),
	          "argc=1 modeid=0\n" + discovery_lines(ids_["encoders"][0], "(nil)") +
	                  "cfg:  mImageCount=5 mBootAnimPath=" + k_frames + " mFps 10\n" +
	                  "start_boot_thread: mDrmFd = " +
	                  number_after(out, "start_boot_thread: mDrmFd = ") + "\n" +
	                  "vsync_control: enable=1 exit=0\n" + frame("picPath: ", 0) +
	                  frame("picPath: ", 1) + frame("picPath: ", 2) + frame("picPath: ", 3) +
	                  frame("free: mSfJpegBufInfo[0].mPath ", 0) + frame("picPath: ", 4) +
	                  frame("free: mSfJpegBufInfo[0].mPath ", 1));
	EXPECT_EQ(player_->errors(), "");

	expect_frames_shown(frames);
	// Each frame's pause (1/10 s) lies between its commit and the next one's.
	const std::vector<std::string> files = capture_files();
	for (size_t k = 1; k < files.size(); k++)
		EXPECT_GE(mtime_ns(files[k]) - mtime_ns(files[k - 1]), 100000000) << "frame " << k;

	// The last frame stays; the worker goes on cycling once per vblank and plays no more.
	ASSERT_TRUE(player_->command("screen 0 " + dir_.path() + "/last.png"));
	EXPECT_EQ(compare(load_png(dir_.path() + "/last.png"),
	                  expected_screen(frames.back(), k_mode_w, k_mode_h)),
	          "");
	// The count first: every wait recorded after the clearing ends on a vblank from v0 on.
	const uint64_t v0 = std::stoull(player_->command("vblank 0").value_or("0"));
	ASSERT_TRUE(player_->command("clear-records"));
	ASSERT_TRUE(wait_until(
	        [&] {
		        return occurrences(player_->command("requests").value_or(""),
		                           "WAIT_VBLANK ") >= 10;
	        },
	        k_wait_deadline, k_poll));
	const std::string requests = player_->command("requests").value_or("");
	const uint64_t v1 = std::stoull(player_->command("vblank 0").value_or("0"));
	// Each cycle waits for the next vblank, so there is at most one wait per vblank; what a
	// wait asks for is the worker's tests' to pin.
	const int waits = occurrences(requests, "WAIT_VBLANK ");
	EXPECT_GE(waits, 10);
	EXPECT_EQ(occurrences(requests, "WAIT_VBLANK error=0 "), waits);
	EXPECT_LE(uint64_t(waits), v1 - v0 + 1);
	EXPECT_EQ(occurrences(requests, "MODE_ATOMIC"), 0);
	EXPECT_EQ(occurrences(requests, "MODE_CREATE_DUMB"), 0);
	EXPECT_EQ(occurrences(player_->output(), "picPath: "), k_count);
	EXPECT_EQ(player_->captures(), k_count);
	EXPECT_EQ(player_->command("live").value_or(""),
	          "files=1 dumb_buffers=3 mappings=3 framebuffers=3 blobs=0\n");
	EXPECT_TRUE(player_->alive());
	EXPECT_EQ(player_->threads(), 4) << "entry, event thread, vsync worker, card's control";
}

// Nor does it change the player's course: a failed write leaves its own errno, which must not
// hide the kernel's answer (a render-only card0 gives way to the display's card).
TEST_F(boot, ClosedStandardOutputDoesNotEndThePlayer)
{
	std::vector<rgb_picture> shown;
	for (int k = 0; k < 3; k++)
		shown.push_back(write_frame(k, 160, 90));
	write_boot_conf(3, 20);
	for (bool render_card0 : {false, true}) {
		SCOPED_TRACE(render_card0);
		harness::player_options o = options();
		o.output_closed = true;
		if (render_card0)
			o.card_settings = {"render_card0 1"};
		if (player_)
			std::filesystem::remove_all(player_->capture_dir()); // the first run's
		start(o);
		ASSERT_TRUE(wait_captures(3));
		read_ids();
		EXPECT_TRUE(player_->alive());
		EXPECT_EQ(player_->output(), "");
		expect_frames_shown(shown);
	}
}

// Under a service manager the boot waits for the first frame: "READY=1" comes once, when the
// first frame is committed, or when the run ends without one.
TEST_F(boot, TheServiceManagerHearsReadyOnceTheFirstFrameIsCommitted)
{
	const std::string path = dir_.path() + "/notify";
	const int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	ASSERT_GE(s, 0);
	sockaddr_un addr{};
	addr.sun_family = AF_UNIX;
	ASSERT_LT(path.size(), sizeof(addr.sun_path));
	path.copy(addr.sun_path, path.size());
	ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
	auto next_datagram = [&](int timeout_ms) {
		pollfd p{s, POLLIN, 0};
		char buf[64] = {};
		if (poll(&p, 1, timeout_ms) != 1)
			return std::string("(none)");
		return std::string(buf, size_t(std::max<ssize_t>(recv(s, buf, sizeof(buf), 0), 0)));
	};
	// The run without frames first: the frames' directory is the runs' shared one.
	for (int frames : {0, 3}) {
		SCOPED_TRACE(frames);
		for (int k = 0; k < frames; k++)
			write_frame(k, 64, 36);
		// One frame a second: the run ends two seconds after its first commit.
		write_boot_conf(3, 1);
		harness::player_options o = options();
		o.env = {"NOTIFY_SOCKET=" + path};
		start(o);
		ASSERT_EQ(next_datagram(int(k_wait_deadline.count())), "READY=1");
		if (frames > 0) {
			const size_t commits = player_->commits().size();
			EXPECT_GE(commits, 1u);
			EXPECT_LT(commits, 3u) << "not the first frame: the end of the run";
			ASSERT_TRUE(player_->wait_for("picPath: " + k_frames + "/2.jpg \n"));
		} else {
			EXPECT_EQ(player_->commits().size(), 0u);
		}
		ASSERT_TRUE(wait_worker_cycles());
		EXPECT_EQ(next_datagram(0), "(none)");
	}
	close(s);
}

// SIGTERM and SIGINT ask the player to stop: the play ends with the frame it shows (every frame
// begun is committed whole), the display is left to the next program for at most 5 s, and a
// second request ends the wait at once. SIGKILL ends it at once.
TEST_F(boot, AStopRequestEndsThePlayWithTheFrameShownAndWaitsForTheNextProgram)
{
	for (int k = 0; k < 40; k++)
		write_frame(k, 64, 36);
	write_boot_conf(40, 30);
	harness::player_options o = options();
	o.capture = false;
	for (int second : {SIGINT, SIGTERM}) {
		SCOPED_TRACE(second);
		start(o);
		ASSERT_TRUE(player_->wait_for("picPath: " + k_frames + "/3.jpg \n"));
		kill(player_->pid(), second == SIGINT ? SIGTERM : SIGINT);
		ASSERT_TRUE(player_->wait_for(second == SIGINT
		                                      ? "bootanim: stop requested (SIGTERM)\n"
		                                      : "bootanim: stop requested (SIGINT)\n"));
		// Master is dropped once the play has ended.
		ASSERT_TRUE(wait_until(
		        [&] {
			        return player_->command("requests")
			                       .value_or("")
			                       .find("DROP_MASTER") != std::string::npos;
		        },
		        k_wait_deadline, k_poll));
		const size_t commits = player_->commits().size();
		EXPECT_EQ(int(commits), occurrences(player_->output(), "picPath: "));
		EXPECT_LT(commits, 40u);
		EXPECT_TRUE(player_->stop(second, 30000));
		EXPECT_EQ(player_->end_signal(), -1);
		EXPECT_EQ(player_->exit_status(), 0);
		EXPECT_TRUE(player_->output().ends_with(
		        "bootanim: second stop request: exiting at once\n"))
		        << player_->output();
	}

	// Idle, with no other program to take the display: the wait ends after 5 s.
	start(o);
	ASSERT_TRUE(player_->wait_for("picPath: " + k_frames + "/39.jpg \n"));
	ASSERT_TRUE(wait_worker_cycles());
	kill(player_->pid(), SIGTERM);
	EXPECT_TRUE(player_->wait_for("bootanim: nobody took the display within 5 s: exiting\n",
	                              30000));
	EXPECT_TRUE(player_->stop(SIGKILL, 30000));
	EXPECT_EQ(player_->end_signal(), -1);
	EXPECT_EQ(player_->exit_status(), 0);

	start(o);
	ASSERT_TRUE(player_->wait_for("picPath: " + k_frames + "/3.jpg \n"));
	EXPECT_TRUE(player_->stop(SIGKILL, 30000));
	EXPECT_EQ(player_->end_signal(), SIGKILL);
}

} // namespace
} // namespace e2e
