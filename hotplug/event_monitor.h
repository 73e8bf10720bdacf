// The event thread: waits on the DRM descriptor and a netlink uevent socket, drains DRM events
// and hands every DRM hot-plug change to handle_hotplug.
#pragma once

#include <sys/select.h>

// Written once by the event thread before its loop, used by it alone.
extern int g_uevent_sock;
extern fd_set g_event_fds;
extern int g_event_max_fd;

// Start routine of the event thread; never returns. The argument is not used.
void *event_thread_main(void *arg);

// Creates and binds the uevent socket and fills the watched set with `fd` and the socket (each
// only when it is a valid descriptor below FD_SETSIZE; what cannot be watched is reported).
void open_uevent_socket(int fd);

// Reads the uevent datagrams that are pending, calling handle_hotplug(fd) for each DRM hot-plug
// change; returns when none is left, or after a failed or empty read. A read that finds uevents
// lost (ENOBUFS) calls handle_hotplug(fd) as for a hot-plug.
void handle_uevents(int fd);

// One pass of the wait loop: waits until a watched descriptor is readable and serves it, the
// DRM descriptor first.
void event_monitor_pass(int fd);
