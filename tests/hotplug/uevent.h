// What the event monitor's tests share: the kernel's uevent datagrams, the card discovered as the
// player run leaves it before the event thread starts, and a datagram socket pair handed to the
// monitor in place of the uevent socket.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "display/display.h"
#include "hotplug/event_monitor.h"
#include "sim/sim.h"
#include "tests/support/capture.h"
#include "tests/support/card.h"

const std::string k_card_path = "/devices/pci0000:00/0000:00:02.0/drm/card0";
const std::string k_change = "change@" + k_card_path;
const std::string k_count_line = "hotplug: remove connector monitor_index=";

// A uevent datagram: each string followed by its NUL.
inline std::string datagram(const std::vector<std::string> &strings)
{
	std::string d;
	for (const std::string &s : strings) {
		d += s;
		d += '\0';
	}
	return d;
}

// What the kernel's DRM core sends for a hot-plug of card0.
inline std::string drm_hotplug(const std::string &header = k_change)
{
	return datagram({header, "ACTION=change", "DEVPATH=" + k_card_path, "SUBSYSTEM=drm",
	                 "HOTPLUG=1", "DEVNAME=dri/card0", "DEVTYPE=drm_minor", "SEQNUM=2316",
	                 "MAJOR=226", "MINOR=0"});
}

inline std::string detect_line(const std::string &header, int hotplug_event)
{
	return "hwc_uevent detect HOTPLUG=1 buffer=" + header +
	       " hotplug_event=" + std::to_string(hotplug_event) + "\n";
}

inline int occurrences(const std::string &text, const std::string &what)
{
	int n = 0;
	for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
		n++;
	return n;
}

inline void watch_only(std::initializer_list<int> fds)
{
	FD_ZERO(&g_event_fds);
	g_event_max_fd = -1;
	for (int fd : fds) {
		FD_SET(fd, &g_event_fds);
		g_event_max_fd = std::max(g_event_max_fd, fd);
	}
}

// The player run's display state on the virtual card with one HDMI monitor: discovery done.
inline int discovered_card()
{
	install_card(sim::preset_hdmi_1080p());
	int fd = -1;
	if (!open_and_discover(&fd))
		return -1;
	sim::clear_records();
	return fd;
}

// The commits of mode sets (which ask for a flip event), in order.
inline std::vector<sim::commit_record> mode_sets()
{
	std::vector<sim::commit_record> out;
	for (const sim::commit_record &c : sim::commits())
		if (c.flags == (DRM_MODE_ATOMIC_ALLOW_MODESET | DRM_MODE_PAGE_FLIP_EVENT))
			out.push_back(c);
	return out;
}

// One pass of the wait loop and what it printed.
inline std::string pass_output(int fd)
{
	output_capture out;
	event_monitor_pass(fd);
	return out.stop();
}

// The test writes to one end of a datagram socket pair; the monitor reads the other as if it
// were the uevent socket.
class uevent_pair : public testing::Test
{
protected:
	void SetUp() override
	{
		fd_ = discovered_card();
		ASSERT_GT(fd_, 0);
		ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair_), 0);
		g_uevent_sock = pair_[0];
		watch_only({fd_, pair_[0]});
	}

	void TearDown() override
	{
		close(pair_[0]);
		close(pair_[1]);
		g_uevent_sock = -1;
	}

	void send_datagram(const std::string &d)
	{
		ASSERT_EQ(send(pair_[1], d.data(), d.size(), 0), ssize_t(d.size()));
	}

	int fd_ = -1;
	int pair_[2] = {-1, -1};
};
