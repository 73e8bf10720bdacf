#include "app/entry.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "animation/player.h"

#include "display/display.h"
#include "hotplug/event_monitor.h"
#include "hotplug/hotplug.h"
#include "vsync/vsync.h"

namespace
{

// The entry's own copy of the descriptor, alive as long as the process; the event thread gets
// its address but takes the descriptor from drm_open_card.
int g_entry_fd = -1;

constexpr int64_t k_handover_ns = 5000000000;
// The longest the boot waits for the first frame, whatever keeps it from coming.
constexpr int64_t k_ready_limit_ns = 10000000000;

// Where the service manager listens for "READY=1" (NOTIFY_SOCKET), taken out of the
// environment at start-up so that nothing the player starts could speak for it.
std::string g_notify_socket;
bool g_ready_sent = false;
int64_t g_started_ns = 0;

sigset_t stop_signals()
{
	sigset_t set;
	sigemptyset(&set);
	sigaddset(&set, SIGTERM);
	sigaddset(&set, SIGINT);
	return set;
}

int64_t now_ns()
{
	timespec t{};
	clock_gettime(CLOCK_MONOTONIC, &t);
	return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// The framebuffers the planes show, the console's left out: at a stop, the process's own.
std::vector<uint32_t> shown_framebuffers(int fd)
{
	std::vector<uint32_t> fbs;
	plane_res_holder planes(drmModeGetPlaneResources(fd));
	for (uint32_t i = 0; planes && i < planes->count_planes; i++) {
		plane_holder p(drmModeGetPlane(fd, planes->planes[i]));
		if (p && p->fb_id != 0 && !drm_is_console_fb(p->fb_id))
			fbs.push_back(p->fb_id);
	}
	return fbs;
}

// Whether another program has shown its own picture: no plane shows one of `ours` any more,
// and, when there were none (the mode-set run holds only a mode), some plane shows another
// program's framebuffer.
bool handed_over(int fd, const std::vector<uint32_t> &ours)
{
	const std::vector<uint32_t> now = shown_framebuffers(fd);
	for (uint32_t fb : now)
		if (std::find(ours.begin(), ours.end(), fb) != ours.end())
			return false;
	return !ours.empty() || !now.empty();
}

// One refresh of the display's mode (60 Hz where none is known), so that a hand-over is seen
// within a frame without spinning.
long refresh_period_ns(int fd)
{
	uint32_t pipe = 0;
	crtc_holder crtc = get_encoder_crtc(fd, &pipe);
	const uint32_t hz =
	        crtc && crtc->mode_valid && crtc->mode.vrefresh > 0 ? crtc->mode.vrefresh : 60;
	return long(1000000000 / hz);
}

// Tells the service manager that the boot may go on, once. A datagram of the sd_notify
// protocol; a path, or an abstract name written with a leading '@'.
void notify_ready()
{
	if (g_ready_sent)
		return;
	g_ready_sent = true;
	sockaddr_un addr{};
	if (g_notify_socket.empty() || g_notify_socket.size() >= sizeof(addr.sun_path) ||
	    (g_notify_socket[0] != '/' && g_notify_socket[0] != '@'))
		return;
	addr.sun_family = AF_UNIX;
	memcpy(addr.sun_path, g_notify_socket.data(), g_notify_socket.size());
	if (addr.sun_path[0] == '@')
		addr.sun_path[0] = '\0';
	const int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (s < 0)
		return;
	static constexpr char k_ready[] = "READY=1";
	const socklen_t len = socklen_t(offsetof(sockaddr_un, sun_path) + g_notify_socket.size());
	sendto(s, k_ready, sizeof(k_ready) - 1, MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&addr),
	       len);
	close(s);
}

bool use_other_card(bool wait, bool need_connector)
{
	if (wait)
		printf("bootanim: /dev/dri/card0 offers no mode setting\n");
	return drm_use_display_card(wait, need_connector) >= 0;
}

} // namespace

int32_t parse_mode_index(const char *text)
{
	const char *p = text;
	while (isspace(static_cast<unsigned char>(*p)))
		p++;
	bool negative = false;
	if (*p == '+' || *p == '-')
		negative = *p++ == '-';
	int64_t value = 0;
	for (; *p >= '0' && *p <= '9'; p++) {
		value = value * 10 + (*p - '0');
		if (value > int64_t(INT32_MAX) + 1)
			value = int64_t(INT32_MAX) + 1; // saturated; keep consuming digits
	}
	if (negative)
		return value > INT32_MAX ? INT32_MIN : static_cast<int32_t>(-value);
	return value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value);
}

int bootanim_start(int argc, char **argv)
{
	g_started_ns = now_ns();
	if (const char *n = getenv("NOTIFY_SOCKET"))
		g_notify_socket = n;
	unsetenv("NOTIFY_SOCKET");
	modeid = argc >= 2 ? parse_mode_index(argv[1]) : 0;
	printf("argc=%d modeid=%d\n", argc, modeid);

	int fd = drm_open_card();
	if (fd < 0)
		printf("Failed to open dri 0 =%s\n", strerror(errno));

	if (drmSetClientCap(fd, DRM_CLIENT_CAP_UNIVERSAL_PLANES, 1) != 0 ||
	    drmSetClientCap(fd, DRM_CLIENT_CAP_ATOMIC, 1) != 0) {
		// The kernel's reason, before a printf to a closed output sets its own.
		const int err = errno;
		printf("Failed to set atomic cap %s \n", strerror(err));
		// On many boards card0 is the GPU's render-only driver, which the kernel answers
		// so, and the display is another card, which may even probe after this process
		// started.
		if (fd < 0 || err != EOPNOTSUPP || !use_other_card(true, false))
			return fd;
		fd = g_drm_fd.load();
	}

	// A failed step has printed its own message; the run goes on without what it would find.
	bool loaded = drm_load_resources(fd);
	const int err = errno;
	auto res = g_drm_mode_res.get();
	if (!loaded && err == EOPNOTSUPP && use_other_card(true, false)) {
		fd = g_drm_fd.load();
		loaded = drm_load_resources(fd);
	} else if (loaded && (res->count_crtcs < 1 || res->count_connectors < 1) &&
	           use_other_card(false, true)) {
		// A display controller whose panel has not bound yet stays the card unless another
		// one already has outputs.
		fd = g_drm_fd.load();
		loaded = drm_load_resources(fd);
	}
	res.reset();
	if (loaded && drm_get_connector(fd))
		drm_find_encoder(fd);
	return fd;
}

void bootanim_run(int fd)
{
	g_entry_fd = fd;
	if (modeid > 0) {
		handle_hotplug(fd);
		notify_ready();
		return;
	}
	// Without a card nothing will be shown: the boot need not wait.
	if (fd < 0)
		notify_ready();
	// Nothing may have lit the display: no console, or a panel that is never hot-plugged.
	light_dark_display(fd);
	pthread_t event_thread;
	pthread_create(&event_thread, nullptr, event_thread_main, &g_entry_fd);
	start_boot_thread(fd);
	vsync_control(1);
}

void block_stop_signals()
{
	const sigset_t set = stop_signals();
	pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int idle_until_stopped()
{
	const sigset_t set = stop_signals();
	// Until the boot has heard it may go on, the first frame is looked for every 10 ms.
	const timespec idle{0, 200000000}, until_ready{0, 10000000};
	int sig = -1;
	while ((sig = sigtimedwait(&set, nullptr, g_ready_sent ? &idle : &until_ready)) < 0) {
		if (g_first_frame_done.load() || now_ns() - g_started_ns >= k_ready_limit_ns)
			notify_ready();
	}
	notify_ready();
	printf("bootanim: stop requested (SIG%s)\n", sigabbrev_np(sig));
	g_hotplug_stopped.store(true);
	g_animation_stop.store(true);
	stop_boot_thread();

	const int fd = drm_open_card();
	const std::vector<uint32_t> ours = shown_framebuffers(fd);
	drmDropMaster(fd);
	const timespec period{0, refresh_period_ns(fd)};
	const int64_t deadline = now_ns() + k_handover_ns;
	for (;;) {
		if (sigtimedwait(&set, nullptr, &period) >= 0) {
			printf("bootanim: second stop request: exiting at once\n");
			return 0;
		}
		if (handed_over(fd, ours)) {
			printf("bootanim: the display is handed over: exiting\n");
			return 0;
		}
		if (now_ns() >= deadline) {
			printf("bootanim: nobody took the display within %d s: exiting\n",
			       int(k_handover_ns / 1000000000));
			return 0;
		}
	}
}
