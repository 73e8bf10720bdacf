// The event monitor's wait loop running on its own thread, as in the player run: a signal that
// interrupts the wait.
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

} // namespace
