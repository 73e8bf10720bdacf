// The event monitor's wait loop running on its own thread, as in the player run: a signal that
// interrupts the wait, and many hot-plugs in a row on a card whose descriptor holds at most
// 4096 bytes of undelivered events.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>
#include <sys/syscall.h>
#include <thread>
#include <vector>

#include "tests/hotplug/uevent.h"
#include "tests/support/wait.h"

namespace
{

void on_signal(int) {}

// The number of the system call the thread is blocked in, from /proc; -1 when running.
long blocked_in(pid_t tid)
{
	std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
	std::string first;
	in >> first;
	return first == "running" || first.empty() ? -1 : std::stol(first);
}

bool is_select(long nr)
{
#ifdef SYS_select
	if (nr == SYS_select)
		return true;
#endif
	return nr == SYS_pselect6;
}

using event_thread = uevent_pair;

TEST_F(event_thread, SignalDuringTheWaitResumesItWithoutAMessage)
{
	struct sigaction sa {
	};
	sa.sa_handler = on_signal;
	sigemptyset(&sa.sa_mask);
	struct sigaction old {
	};
	ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);

	output_capture out;
	std::atomic<pid_t> tid{0};
	std::atomic<bool> returned{false};
	std::thread waiter([&] {
		tid = pid_t(syscall(SYS_gettid));
		event_monitor_pass(fd_);
		returned = true;
	});
	// Signal only once the thread sits in the wait.
	ASSERT_TRUE(wait_until([&] { return tid != 0 && is_select(blocked_in(tid)); }))
	        << "the pass never waited";
	pthread_kill(waiter.native_handle(), SIGUSR1);
	waiter.join();
	EXPECT_TRUE(returned);
	EXPECT_EQ(out.stop(), "");
	EXPECT_TRUE(sim::commits().empty());
	sigaction(SIGUSR1, &old, nullptr);

	// The loop's next pass waits again and serves what arrives.
	output_capture next;
	send_datagram(drm_hotplug());
	event_monitor_pass(fd_);
	EXPECT_EQ(occurrences(next.stop(), k_count_line + "1\n"), 1);
}

TEST_F(event_thread, ThreeHundredUnplugReplugCyclesAllGetTheirModeSet)
{
	// Each mode set asks for a flip event; the descriptor holds 4096 bytes of them (128). The
	// loop must drain them between hot-plugs, or mode sets start failing with ENOMEM.
	constexpr int k_cycles = 300;
	output_capture out;
	std::atomic<bool> stop{false}, finished{false};
	std::thread loop([&] {
		while (!stop)
			event_monitor_pass(fd_);
		finished = true;
	});
	auto wait_commits = [](size_t n) {
		return wait_until([n] { return sim::commits().size() >= n; });
	};
	bool in_time = true;
	for (int i = 0; i < k_cycles && in_time; i++) {
		sim::set_connected(0, false);
		send_datagram(drm_hotplug());
		in_time = wait_commits(size_t(2 * i + 1));
		sim::set_connected(0, true);
		send_datagram(drm_hotplug());
		in_time = in_time && wait_commits(size_t(2 * i + 2));
	}
	// A pass ends after the reader has read what is pending; a reader that blocks on the socket
	// instead is released by shutting the socket down.
	stop = true;
	send_datagram(std::string("add@/devices/virtual/misc/wake\0", 31));
	const bool returned = wait_until([&] { return finished.load(); });
	if (!returned)
		shutdown(pair_[0], SHUT_RDWR);
	loop.join();
	const std::string text = out.stop();
	EXPECT_TRUE(returned) << "the reader stayed blocked on the socket";
	ASSERT_TRUE(in_time) << "the monitor stopped handling hot-plugs";

	const auto commits = sim::commits();
	ASSERT_EQ(commits.size(), size_t(2 * k_cycles));
	int refused = 0;
	for (int i = 0; i < 2 * k_cycles; i++)
		if (commits[size_t(i)].error != 0 && refused++ < 5)
			ADD_FAILURE() << "commit " << i << " refused with "
			              << strerror(commits[size_t(i)].error);
	EXPECT_EQ(refused, 0);
	EXPECT_EQ(occurrences(text, k_count_line + "0\n"), k_cycles);
	EXPECT_EQ(occurrences(text, k_count_line + "1\n"), k_cycles);
}

} // namespace
