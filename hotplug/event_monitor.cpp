#include "hotplug/event_monitor.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/netlink.h>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

#include <xf86drm.h>

#include "display/display.h"
#include "hotplug/hotplug.h"

int g_uevent_sock = -1;
fd_set g_event_fds;
int g_event_max_fd = -1;

namespace
{

constexpr size_t k_uevent_size = 1024;
constexpr useconds_t k_wait_retry_us = 100000;

bool watchable(int fd)
{
	return fd >= 0 && fd < FD_SETSIZE && fcntl(fd, F_GETFD) != -1;
}

void watch(int fd)
{
	FD_SET(fd, &g_event_fds);
	if (fd > g_event_max_fd)
		g_event_max_fd = fd;
}

// Classifies one datagram of n bytes: a run of NUL-terminated strings, the first the header.
void classify(int fd, const char *buf, size_t n)
{
	bool drm = false;
	int hotplug_event = 0;
	uint32_t connector = 0;
	bool change = n >= 7 && memcmp(buf, "change@", 7) == 0;
	int header_len = static_cast<int>(strnlen(buf, n));
	for (size_t off = 0; off < n;) {
		size_t len = strnlen(buf + off, n - off);
		std::string_view field(buf + off, len);
		if (field == "DEVTYPE=drm_minor") {
			drm = true;
		} else if (field.starts_with("CONNECTOR=")) {
			connector = 0;
			for (char c : field.substr(10))
				connector = c >= '0' && c <= '9'
				                    ? connector * 10 + uint32_t(c - '0')
				                    : 0;
		} else if (field == "HOTPLUG=1") {
			if (change)
				hotplug_event = 1;
			printf("hwc_uevent detect HOTPLUG=1 buffer=%.*s hotplug_event=%d\n",
			       header_len, buf, hotplug_event);
		}
		off += len + 1;
	}
	if (drm && hotplug_event) {
		// A connector the card has added since its resources were read (a panel whose
		// driver bound late) is named by the uevent.
		if (connector != 0 && !drm_knows_connector(connector))
			drm_reload_resources(fd);
		handle_hotplug(fd);
	}
}

} // namespace

void open_uevent_socket(int fd)
{
	FD_ZERO(&g_event_fds);
	g_event_max_fd = -1;
	g_uevent_sock = socket(AF_NETLINK, SOCK_DGRAM, NETLINK_KOBJECT_UEVENT);
	if (g_uevent_sock < 0) {
		printf("uevent: couldn't open socket: %s\n", strerror(errno));
	} else {
		sockaddr_nl addr{};
		addr.nl_family = AF_NETLINK;
		addr.nl_pid = 0;
		addr.nl_groups = 0xFFFFFFFF;
		if (bind(g_uevent_sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
			printf("uevent: couldn't bind socket: %s\n", strerror(errno));
	}
	if (watchable(fd))
		watch(fd);
	else
		printf("uevent: not watching DRM descriptor %d\n", fd);
	if (watchable(g_uevent_sock))
		watch(g_uevent_sock);
	else if (g_uevent_sock >= 0)
		printf("uevent: not watching socket %d\n", g_uevent_sock);
}

void handle_uevents(int fd)
{
	char buf[k_uevent_size];
	for (;;) {
		// Only datagrams already pending are read, so that the wait loop drains the DRM
		// descriptor between hot-plugs.
		ssize_t got = recv(g_uevent_sock, buf, sizeof buf, MSG_DONTWAIT);
		int n = static_cast<int>(got);
		if (n == 0)
			return;
		if (n < 0) {
			int err = errno;
			if (err != EAGAIN && err != EWOULDBLOCK)
				printf("Got error reading uevent %d", n);
			// The kernel dropped uevents that did not fit the queue; a hot-plug may
			// have been among them, so the display is brought in line with what is
			// present.
			if (err == ENOBUFS)
				handle_hotplug(fd);
			return;
		}
		classify(fd, buf, static_cast<size_t>(n));
	}
}

void event_monitor_pass(int fd)
{
	if (g_event_max_fd < 0) {
		// Nothing can be watched: this thread has nothing to do.
		pause();
		return;
	}
	fd_set ready = g_event_fds;
	if (select(g_event_max_fd + 1, &ready, nullptr, nullptr, nullptr) < 0) {
		if (errno != EINTR) {
			static bool reported = false;
			if (!reported)
				printf("uevent: wait failed: %s\n", strerror(errno));
			reported = true;
			usleep(k_wait_retry_us);
		}
		return;
	}
	if (fd >= 0 && fd < FD_SETSIZE && FD_ISSET(fd, &ready)) {
		drmEventContext ctx{};
		ctx.version = 4;
		drmHandleEvent(fd, &ctx);
	}
	if (g_uevent_sock >= 0 && g_uevent_sock < FD_SETSIZE && FD_ISSET(g_uevent_sock, &ready))
		handle_uevents(fd);
}

void *event_thread_main(void *)
{
	int fd = drm_open_card();
	open_uevent_socket(fd);
	for (;;)
		event_monitor_pass(fd);
}
