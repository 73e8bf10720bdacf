// The event monitor's reader and wait loop with real datagrams: a datagram socket handed in place
// of the uevent socket, and the kernel's own NETLINK_KOBJECT_UEVENT socket inside private user and
// network namespaces (datagrams sent to multicast group 1 there never reach the machine's own
// namespace). The hot-plug handler runs for real on the virtual card, so every call shows as its
// count line and its commit.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <linux/netlink.h>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "hotplug/hotplug.h"
#include "tests/hotplug/uevent.h"

namespace
{

// Long enough for a due flip event on a loaded machine; only a failing test waits it out.
constexpr int k_event_deadline_ms = 30000;

bool readable(int fd, int timeout_ms)
{
	pollfd p{fd, POLLIN, 0};
	return poll(&p, 1, timeout_ms) == 1 && (p.revents & POLLIN);
}

class event_reader : public uevent_pair
{
protected:
	// One pass of the wait loop; only called when something is ready, so it cannot block.
	std::string pass()
	{
		return pass_output(fd_);
	}

	bool datagram_pending()
	{
		char c;
		return recv(pair_[0], &c, 1, MSG_PEEK | MSG_DONTWAIT) >= 0;
	}
};

// A DSI panel whose driver binds after the player started: the card adds its connector, which
// the resources read at start lack; the uevent names it (CONNECTOR=) or not. It is found and,
// with nothing lit, given its mode.
TEST_F(event_reader, APanelThatBindsLateIsFoundAndLit)
{
	for (bool named : {true, false}) {
		SCOPED_TRACE(named ? "named" : "not named");
		sim::topology t;
		t.crtcs = {sim::crtc_def{}};
		t.encoders = {sim::encoder_def{.type = DRM_MODE_ENCODER_DSI}};
		t.connectors = {{.type = DRM_MODE_CONNECTOR_DSI,
		                 .modes = {test_mode(720, 1280)},
		                 .encoders = {0},
		                 .bound_encoder = -1,
		                 .late = true}};
		t.planes = {test_plane(DRM_PLANE_TYPE_PRIMARY, {DRM_FORMAT_XRGB8888})};
		install_card(t);
		EXPECT_FALSE(open_and_discover(&fd_));
		watch_only({fd_, pair_[0]});
		ASSERT_EQ(g_drm_mode_res.get()->count_connectors, 0);
		sim::set_connected(0, true);
		const uint32_t id = sim::connector_id(0);
		send_datagram(
		        named ? datagram({k_change, "HOTPLUG=1", "CONNECTOR=" + std::to_string(id),
		                          "DEVTYPE=drm_minor"})
		              : drm_hotplug());
		const std::string out = pass();
		EXPECT_EQ(occurrences(out, "bootanim: the card's outputs changed: 1 connectors\n"),
		          1)
		        << out;
		EXPECT_EQ(occurrences(out,
		                      "no CRTC drives connector 0: setting its mode 720x1280@60\n"),
		          1);
		EXPECT_EQ(sim::property_value(id, "CRTC_ID"), sim::crtc_id(0));
		EXPECT_EQ(sim::property_value(sim::crtc_id(0), "ACTIVE"), 1u);
	}
}

TEST_F(event_reader, EachDatagramIsPrintedAndHandledOrNot)
{
	// `printed` is all a pass prints when the handler is not called, else what comes before
	// the handler's own lines.
	struct datagram_case {
		std::string bytes;
		std::string printed;
		bool handled;
	};
	const std::string extcon = "change@/devices/platform/extcon/extcon0";
	const std::string inner = "remove@/devices/change@/drm/card0";
	// Around byte 1024: `pad` ends so that a string after it fills bytes 1015 to 1023.
	const std::string head = datagram({k_change, "DEVTYPE=drm_minor"});
	const std::string pad = "PADDING=" + std::string(1024 - 9 - head.size() - 9, 'x');
	ASSERT_EQ(head.size() + pad.size() + 1 + 9, 1024u);
	std::vector<datagram_case> cases = {
	        // A DRM hot-plug change, whatever the order of its strings.
	        {datagram({k_change, "HOTPLUG=1", "DEVTYPE=drm_minor"}), detect_line(k_change, 1),
	         true},
	        {datagram({k_change, "DEVTYPE=drm_minor", "HOTPLUG=1"}), detect_line(k_change, 1),
	         true},
	        {datagram({k_change, "SUBSYSTEM=drm", "DEVTYPE=drm_minor", "SEQNUM=7", "HOTPLUG=1",
	                   "MINOR=0"}),
	         detect_line(k_change, 1), true},
	        {drm_hotplug(), detect_line(k_change, 1), true},
	        // HOTPLUG=1 twice: two lines, one call.
	        {datagram({k_change, "HOTPLUG=1", "DEVTYPE=drm_minor", "HOTPLUG=1"}),
	         detect_line(k_change, 1) + detect_line(k_change, 1), true},
	        // "change@" counts only at the start of the datagram.
	        {datagram({inner, "HOTPLUG=1", "DEVTYPE=drm_minor", "ACTION=change@"}),
	         detect_line(inner, 0), false},
	        // Another device's change is not a DRM hot-plug.
	        {datagram({extcon, "ACTION=change", "SUBSYSTEM=extcon", "HOTPLUG=1",
	                   "DEVTYPE=extcon", "STATE=HDMI=1"}),
	         detect_line(extcon, 1), false},
	        // A DRM change without HOTPLUG prints nothing.
	        {datagram({k_change, "ACTION=change", "DEVTYPE=drm_minor", "LEASE=1"}), "", false},
	        // Only whole strings match; a longer or shorter DEVTYPE value is printed, but it is
	        // not the DRM device.
	        {datagram({k_change, "HOTPLUG=10", "DEVTYPE=drm_minor"}), "", false},
	        {datagram({k_change, "HOTPLUG=1 ", "DEVTYPE=drm_minor"}), "", false},
	        {datagram({k_change, "XHOTPLUG=1", "DEVTYPE=drm_minor"}), "", false},
	        {datagram({k_change, "hotplug=1", "DEVTYPE=drm_minor"}), "", false},
	        {datagram({k_change, "HOTPLUG=", "DEVTYPE=drm_minor"}), "", false},
	        {datagram({k_change, "HOTPLUG=1", "DEVTYPE=drm_minor2"}), detect_line(k_change, 1),
	         false},
	        {datagram({k_change, "DEVTYPE=drm_mino", "HOTPLUG=1"}), detect_line(k_change, 1),
	         false},
	        // A datagram of exactly 1024 bytes: its last string has no NUL and still matches,
	        // and nothing past the 1024 bytes is looked at (the sanitizer build checks the
	        // reads); one byte shorter, it does not match.
	        {head + datagram({pad}) + "HOTPLUG=1", detect_line(k_change, 1), true},
	        {head + datagram({pad + "x"}) + "HOTPLUG=", "", false},
	        // Longer datagrams are cut at byte 1024: of a string that begins "HOTPLUG=1" there,
	        // only the first nine bytes are read, and they match.
	        {head + datagram({pad}) + datagram({"HOTPLUG=1", "SEQNUM=99"}),
	         detect_line(k_change, 1), true},
	        {head + datagram({pad}) + datagram({"HOTPLUG=17", "SEQNUM=99"}),
	         detect_line(k_change, 1), true},
	};
	// Other actions print the line without hotplug_event.
	for (const std::string action : {"add@", "remove@", "bind@", "Change@", "changes@"})
		cases.push_back({drm_hotplug(action + k_card_path),
		                 detect_line(action + k_card_path, 0), false});
	for (const datagram_case &c : cases) {
		SCOPED_TRACE(testing::PrintToString(c.bytes));
		sim::clear_records();
		send_datagram(c.bytes);
		const std::string out = pass();
		EXPECT_FALSE(datagram_pending());
		if (!c.handled) {
			EXPECT_EQ(out, c.printed);
			EXPECT_TRUE(sim::commits().empty());
			continue;
		}
		EXPECT_EQ(out.rfind(c.printed + k_count_line + "1\n", 0), 0u) << out;
		EXPECT_EQ(occurrences(out, "hwc_uevent detect"),
		          occurrences(c.printed, "hwc_uevent detect"));
		EXPECT_EQ(occurrences(out, k_count_line), 1);
		EXPECT_EQ(mode_sets().size(), 1u);
	}
}

TEST_F(event_reader, LongerDatagramsLoseTheirRest)
{
	// The hot-plug strings wholly past byte 1024 are never seen; the next datagram is
	// read from its own start, not from the rest of the long one.
	sim::clear_records();
	const std::string other = "change@/devices/virtual/misc/other";
	send_datagram(datagram(
	        {k_change, "PADDING=" + std::string(2000, 'y'), "HOTPLUG=1", "DEVTYPE=drm_minor"}));
	send_datagram(datagram({other, "HOTPLUG=1"}));
	EXPECT_EQ(pass(), detect_line(other, 1));
	EXPECT_TRUE(sim::commits().empty());
	EXPECT_FALSE(datagram_pending());
}

TEST_F(event_reader, TwoDatagramsInARowAreHandledInOrderOneAfterTheOther)
{
	const std::string first = "change@/devices/platform/hdmi/drm/card0";
	const std::string second = "change@/devices/platform/hdmi/drm/card0-HDMI-A-1";
	send_datagram(drm_hotplug(first));
	send_datagram(drm_hotplug(second));
	const std::string out = pass();
	SCOPED_TRACE(out);
	const size_t first_line = out.find(detect_line(first, 1));
	const size_t first_done = out.find("vsync_control: enable=1 exit=0\n");
	const size_t second_line = out.find(detect_line(second, 1));
	ASSERT_NE(first_line, std::string::npos);
	ASSERT_NE(first_done, std::string::npos);
	ASSERT_NE(second_line, std::string::npos);
	EXPECT_LT(first_line, first_done);
	EXPECT_LT(first_done, second_line);
	EXPECT_EQ(occurrences(out, "vsync_control: enable=1 exit=0\n"), 2);
	EXPECT_EQ(mode_sets().size(), 2u);
	EXPECT_FALSE(datagram_pending());
}

TEST_F(event_reader, EmptyDatagramReturnsToTheWaitWithoutAMessage)
{
	send_datagram("");
	send_datagram(drm_hotplug());
	EXPECT_EQ(pass(), "");
	EXPECT_TRUE(datagram_pending());
	EXPECT_TRUE(sim::commits().empty());
	// The next pass reads the datagram behind it.
	EXPECT_EQ(occurrences(pass(), k_count_line + "1\n"), 1);
}

TEST_F(event_reader, FailedReadIsReportedWithoutLineBreakAndTheWaitGoesOn)
{
	// A pipe in place of the socket: readable, but receiving from it fails (ENOTSOCK).
	int p[2];
	ASSERT_EQ(pipe(p), 0);
	ASSERT_EQ(write(p[1], "x", 1), 1);
	g_uevent_sock = p[0];
	watch_only({fd_, p[0]});
	EXPECT_EQ(pass(), "Got error reading uevent -1");
	// Nothing is reset: the next pass waits on both again and re-enters the reader.
	EXPECT_EQ(pass(), "Got error reading uevent -1");
	close(p[0]);
	close(p[1]);

	g_uevent_sock = pair_[0];
	watch_only({fd_, pair_[0]});
	send_datagram(drm_hotplug());
	EXPECT_EQ(occurrences(pass(), k_count_line + "1\n"), 1);
}

TEST_F(event_reader, ReaderReturnsWhenNoDatagramIsLeftSoDrmEventsAreDrained)
{
	// The mode set asks for a flip event. Once it is due, the next pass drains it: the
	// reader did not stay blocked on the socket after the datagram.
	send_datagram(drm_hotplug());
	EXPECT_EQ(occurrences(pass(), k_count_line + "1\n"), 1);
	ASSERT_TRUE(readable(fd_, k_event_deadline_ms)) << "the flip event never became due";
	EXPECT_EQ(pass(), "");
	EXPECT_FALSE(readable(fd_, 0));
	EXPECT_FALSE(datagram_pending());
}

TEST_F(event_reader, DrmEventsAreDrainedBeforeTheReaderRunsInTheSamePass)
{
	// Fill the descriptor's 4096 bytes of event space with flip events of mode sets:
	// the next mode set is refused for want of space until events are read.
	{
		output_capture quiet;
		for (int i = 0; i < 128; i++)
			handle_hotplug(fd_);
		handle_hotplug(fd_);
	}
	auto sets = mode_sets();
	ASSERT_EQ(sets.size(), 129u);
	for (int i = 0; i < 128; i++)
		ASSERT_EQ(sets[size_t(i)].error, 0) << i;
	ASSERT_EQ(sets[128].error, ENOMEM);
	ASSERT_TRUE(readable(fd_, k_event_deadline_ms));

	// Both ready: the events are read first, so the hot-plug's mode set finds room.
	sim::clear_records();
	send_datagram(drm_hotplug());
	EXPECT_EQ(occurrences(pass(), k_count_line + "1\n"), 1);
	sets = mode_sets();
	ASSERT_EQ(sets.size(), 1u);
	EXPECT_EQ(sets[0].error, 0);
}

TEST_F(event_reader, FailingWaitIsReportedOnceRetriedAfterAPauseAndReadsNothing)
{
	send_datagram(drm_hotplug());
	// A closed descriptor in the watched set; high enough that no capture file reuses
	// it.
	int stale = fcntl(pair_[0], F_DUPFD, 900);
	ASSERT_GE(stale, 900);
	watch_only({fd_, pair_[0], stale});
	close(stale);

	const auto start = std::chrono::steady_clock::now();
	EXPECT_EQ(pass(), "uevent: wait failed: Bad file descriptor\n");
	EXPECT_EQ(pass(), "");
	const auto elapsed = std::chrono::steady_clock::now() - start;
	EXPECT_GE(elapsed, std::chrono::milliseconds(200)) << "the failed wait was not paused";
	EXPECT_TRUE(datagram_pending());
	EXPECT_TRUE(sim::commits().empty());

	watch_only({fd_, pair_[0]});
	EXPECT_EQ(occurrences(pass(), k_count_line + "1\n"), 1);
}

// --- the kernel's uevent socket, in private user and network namespaces
// ----------------------

// Runs `body` in a child process that has its own user and network namespaces, and returns
// the strings it reports. The child must be made before the test starts any thread.
std::vector<std::string> in_private_net(const std::function<std::vector<std::string>()> &body)
{
	int p[2];
	if (pipe(p) != 0)
		return {"pipe failed"};
	const uid_t uid = getuid();
	const gid_t gid = getgid();
	const pid_t pid = fork();
	if (pid == 0) {
		close(p[0]);
		std::vector<std::string> report;
		if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
			report = {std::string("unshare: ") + strerror(errno)};
		} else {
			auto put = [](const char *file, const std::string &text) {
				int f = open(file, O_WRONLY);
				bool ok = f >= 0 && write(f, text.data(), text.size()) ==
				                            ssize_t(text.size());
				if (f >= 0)
					close(f);
				return ok;
			};
			put("/proc/self/setgroups", "deny");
			if (!put("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1\n") ||
			    !put("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1\n"))
				report = {"id maps could not be written"};
			else
				report = body();
		}
		// Each string ends with a record separator, which none of them holds.
		std::string all;
		for (const std::string &s : report)
			all += s + '\x1e';
		_exit(write(p[1], all.data(), all.size()) == ssize_t(all.size()) ? 0 : 1);
	}
	close(p[1]);
	std::string all;
	char buf[4096];
	ssize_t n;
	while ((n = read(p[0], buf, sizeof buf)) > 0)
		all.append(buf, size_t(n));
	close(p[0]);
	int status = 0;
	waitpid(pid, &status, 0);
	std::vector<std::string> report;
	for (size_t at = 0, end; (end = all.find('\x1e', at)) != std::string::npos; at = end + 1)
		report.push_back(all.substr(at, end - at));
	if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
		report.push_back("child failed");
	return report;
}

// Sends a datagram to uevent multicast group 1 of the current network namespace, as the
// kernel and udev do.
bool broadcast(const std::string &d)
{
	int s = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
	if (s < 0)
		return false;
	sockaddr_nl to{};
	to.nl_family = AF_NETLINK;
	to.nl_groups = 1;
	bool ok = sendto(s, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) ==
	          ssize_t(d.size());
	close(s);
	return ok;
}

std::string watched_set(int fd)
{
	std::string s = "max=" + std::to_string(g_event_max_fd);
	for (int i = 0; i < FD_SETSIZE; i++)
		if (FD_ISSET(i, &g_event_fds))
			s += " " +
			     std::string(i == fd              ? "drm"
			                 : i == g_uevent_sock ? "sock"
			                                      : "?") +
			     "=" + std::to_string(i);
	return s;
}

// The socket pair is replaced by the kernel's socket in each test's child.
using uevent_socket = uevent_pair;

TEST_F(uevent_socket, KernelSocketIsBoundToEveryGroupAndReceivesHotplugs)
{
	const int fd = fd_;
	auto report = in_private_net([fd] {
		std::vector<std::string> r;
		{
			output_capture out;
			open_uevent_socket(fd);
			r.push_back(out.stop());
		}
		const int s = g_uevent_sock;
		r.push_back(watched_set(fd) == "max=" + std::to_string(std::max(fd, s)) +
		                                       " drm=" + std::to_string(fd) +
		                                       " sock=" + std::to_string(s)
		                    ? "set ok"
		                    : watched_set(fd));
		int type = 0, protocol = 0;
		socklen_t len = sizeof type;
		getsockopt(s, SOL_SOCKET, SO_TYPE, &type, &len);
		len = sizeof protocol;
		getsockopt(s, SOL_SOCKET, SO_PROTOCOL, &protocol, &len);
		sockaddr_nl addr{};
		len = sizeof addr;
		getsockname(s, reinterpret_cast<sockaddr *>(&addr), &len);
		r.push_back("type=" + std::to_string(type) + " protocol=" +
		            std::to_string(protocol) + " family=" + std::to_string(addr.nl_family) +
		            " groups=" + std::to_string(addr.nl_groups) +
		            " nonblock=" + std::to_string((fcntl(s, F_GETFL) & O_NONBLOCK) != 0));

		// A hot-plug from group 1. (How long datagrams are cut is the reader's tests' to
		// pin.)
		r.push_back(broadcast(drm_hotplug()) ? pass_output(fd) : "send failed");
		r.push_back(std::to_string(mode_sets().size()));
		return r;
	});
	ASSERT_EQ(report.size(), 5u) << testing::PrintToString(report);
	EXPECT_EQ(report[0], "");
	EXPECT_EQ(report[1], "set ok");
	EXPECT_EQ(report[2], "type=2 protocol=15 family=16 groups=4294967295 nonblock=0");
	EXPECT_EQ(report[3].rfind(detect_line(k_change, 1) + k_count_line + "1\n", 0), 0u)
	        << report[3];
	EXPECT_EQ(report[4], "1");
}

TEST_F(uevent_socket, OverrunReceiveQueueIsAFailedReadThenReadingGoesOn)
{
	const int fd = fd_;
	auto report = in_private_net([fd] {
		std::vector<std::string> r;
		{
			output_capture quiet;
			open_uevent_socket(fd);
		}
		// More datagrams than the default receive buffer holds: the kernel drops
		// the excess and the next receive fails with ENOBUFS.
		const std::string noise =
		        datagram({"add@/devices/virtual/misc/noise", "ACTION=add"});
		int sent = 0;
		while (sent < 20000 && broadcast(noise))
			sent++;
		r.push_back(std::to_string(sent));
		sim::clear_records();
		r.push_back(pass_output(fd));
		// A hot-plug may have been lost: the handler ran as for one.
		r.push_back(std::to_string(mode_sets().size()));
		// The rest of the queue is read by the next pass (silently), then hot-plugs
		// arrive as before.
		r.push_back(pass_output(fd));
		r.push_back(broadcast(drm_hotplug()) ? pass_output(fd) : "send failed");
		return r;
	});
	ASSERT_EQ(report.size(), 5u) << testing::PrintToString(report);
	EXPECT_EQ(report[0], "20000");
	EXPECT_EQ(report[1].rfind("Got error reading uevent -1" + k_count_line + "1\n", 0), 0u)
	        << report[1];
	EXPECT_EQ(report[2], "1");
	EXPECT_EQ(report[3], "");
	EXPECT_EQ(report[4].rfind(detect_line(k_change, 1) + k_count_line + "1\n", 0), 0u)
	        << report[4];
}

TEST_F(uevent_socket, DescriptorsThatCannotBeWatchedAreReportedAndLeftOut)
{
	const int fd = fd_;
	auto report = in_private_net([fd] {
		std::vector<std::string> r;
		// Per case: the card descriptor handed in, the socket made, the messages
		// and the watched set.
		auto open_and_report = [&](int drm) {
			output_capture out;
			open_uevent_socket(drm);
			std::string text = out.stop();
			r.push_back(std::to_string(drm));
			r.push_back(std::to_string(g_uevent_sock));
			r.push_back(text + watched_set(drm));
		};
		// No card descriptor, and one that is closed.
		open_and_report(-1);
		// (High, so that the capture's own files do not take its number.)
		const int closed = fcntl(fd, F_DUPFD, 900);
		close(closed);
		open_and_report(closed);
		// A card descriptor past the 1024 that a select set holds.
		rlimit lim{};
		getrlimit(RLIMIT_NOFILE, &lim);
		rlimit raised = lim;
		raised.rlim_cur = std::min<rlim_t>(lim.rlim_max, 4096);
		setrlimit(RLIMIT_NOFILE, &raised);
		const int high = fcntl(fd, F_DUPFD, 2000);
		open_and_report(high);
		close(high);
		// The socket itself past 1023: every lower descriptor is taken but the two
		// that the capture needs.
		std::vector<int> fillers;
		for (int f; (f = dup(fd)) >= 0;) {
			fillers.push_back(f);
			if (f >= 1021)
				break;
		}
		open_and_report(fd);
		for (int f : fillers)
			close(f);
		return r;
	});
	ASSERT_EQ(report.size(), 12u) << testing::PrintToString(report);
	for (size_t i = 0; i < 9; i += 3) {
		const std::string &drm = report[i];
		const std::string &sock = report[i + 1];
		EXPECT_GE(std::stoi(sock), 0);
		EXPECT_EQ(report[i + 2], "uevent: not watching DRM descriptor " + drm +
		                                 "\nmax=" + sock + " sock=" + sock);
	}
	EXPECT_EQ(report[0], "-1");
	EXPECT_GE(std::stoi(report[6]), 2000);
	// The socket past the set's end: only the card is watched.
	const std::string drm = std::to_string(fd);
	EXPECT_GE(std::stoi(report[10]), 1024);
	EXPECT_EQ(report[11],
	          "uevent: not watching socket " + report[10] + "\nmax=" + drm + " drm=" + drm);
}

TEST_F(uevent_socket, SocketThatCannotBeMadeIsReportedAndTheCardIsStillDrained)
{
	const int fd = fd_;
	auto report = in_private_net([fd] {
		std::vector<std::string> r;
		{
			output_capture out;
			// No descriptor is left below the limit, so socket() fails.
			int lowest = dup(0);
			close(lowest);
			rlimit lim{};
			getrlimit(RLIMIT_NOFILE, &lim);
			rlimit low = lim;
			low.rlim_cur = rlim_t(lowest);
			setrlimit(RLIMIT_NOFILE, &low);
			open_uevent_socket(fd);
			setrlimit(RLIMIT_NOFILE, &lim);
			r.push_back(out.stop() + watched_set(fd));
		}
		// The card alone is watched: a due flip event ends the wait and is drained.
		{
			output_capture quiet;
			handle_hotplug(fd);
		}
		r.push_back(readable(fd, k_event_deadline_ms) ? pass_output(fd) : "no event");
		r.push_back(readable(fd, 0) ? "still readable" : "drained");
		return r;
	});
	ASSERT_EQ(report.size(), 3u) << testing::PrintToString(report);
	EXPECT_EQ(report[0], "uevent: couldn't open socket: Too many open files\nmax=" +
	                             std::to_string(fd) + " drm=" + std::to_string(fd));
	EXPECT_EQ(report[1], "");
	EXPECT_EQ(report[2], "drained");
}

} // namespace
