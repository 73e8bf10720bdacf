// The preload library's own thread against the program's: the control channel is driven
// without pause while simkms-probe sets its mode, flips 30 times (each commit captured to a
// file) and rescans its connectors. Under the ThreadSanitizer build any race in the child ends
// it with a report on standard error and a failing status.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/sim/preload_child.h"

namespace
{

TEST(preload_threads, control_channel_runs_beside_the_programs_requests)
{
	preload::temp_dir dir;
	ASSERT_FALSE(dir.path().empty());
	const std::string sock = dir.file("ctl.sock");
	const std::string config = dir.file("card.conf");
	preload::write_text(config, "preset vkms\ncontrol " + sock + "\ncapture_dir " +
	                                    dir.file("shots") + "\nlog " + dir.file("card.log") +
	                                    "\n");
	preload::child probe({SIMKMS_PROBE_PATH, "--hold"}, preload::child_environment(config));
	ASSERT_TRUE(probe.started());

	// The socket appears at the probe's first open of the card; the channel waits for it.
	// ("connect 0" replugs the monitor that is there: its modes are rebuilt under the
	// program's feet, its state stays.)
	std::atomic<bool> stop{false};
	std::atomic<int> replies{0};
	std::string bad_reply;
	std::thread hammer([&] {
		preload::channel ctl(sock);
		const std::string commands[] = {
		        "live",     "commits", "requests",  "vblank 0",
		        "captures", "ids",     "connect 0", "screen 0 " + dir.file("s.ppm"),
		};
		for (size_t i = 0; !stop; i++) {
			const std::string reply = ctl.command(commands[i % std::size(commands)]);
			if (reply.size() < 3 || reply.substr(reply.size() - 3) != "ok\n") {
				bad_reply = commands[i % std::size(commands)] + ": " + reply;
				break;
			}
			replies++;
			usleep(2000); // leave the card's lock to the program now and then
		}
	});

	const std::string report = probe.read_until("SHOWN", 120000);
	EXPECT_NE(report.find("\nSHOWN\n"), std::string::npos) << report;
	for (int i = 0; i < 10; i++) {
		probe.send("\n");
		EXPECT_NE(probe.read_until("END", 120000).find("\nEND\n"), std::string::npos);
	}
	stop = true;
	hammer.join();
	EXPECT_EQ(bad_reply, "");
	EXPECT_GT(replies.load(), 9);

	probe.close_stdin();
	EXPECT_EQ(probe.wait(120000), 0);
	EXPECT_EQ(probe.error_output(), "");
}

} // namespace
