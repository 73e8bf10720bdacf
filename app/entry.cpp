#include "app/entry.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "display/display.h"
#include "hotplug/event_monitor.h"
#include "hotplug/hotplug.h"
#include "vsync/vsync.h"

namespace
{

// The entry's own copy of the descriptor, alive as long as the process; the event thread gets
// its address but takes the descriptor from drm_open_card.
int g_entry_fd = -1;

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
	modeid = argc >= 2 ? parse_mode_index(argv[1]) : 0;
	printf("argc=%d modeid=%d\n", argc, modeid);

	int fd = drm_open_card();
	if (fd < 0)
		printf("Failed to open dri 0 =%s\n", strerror(errno));

	if (drmSetClientCap(fd, DRM_CLIENT_CAP_UNIVERSAL_PLANES, 1) != 0 ||
	    drmSetClientCap(fd, DRM_CLIENT_CAP_ATOMIC, 1) != 0) {
		printf("Failed to set atomic cap %s \n", strerror(errno));
		// On many boards card0 is the GPU's render-only driver, which the kernel answers
		// so, and the display is another card, which may even probe after this process
		// started.
		if (fd < 0 || errno != EOPNOTSUPP || !use_other_card(true, false))
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
		return;
	}
	// Nothing may have lit the display: no console, or a panel that is never hot-plugged.
	light_dark_display(fd);
	pthread_t event_thread;
	pthread_create(&event_thread, nullptr, event_thread_main, &g_entry_fd);
	start_boot_thread(fd);
	vsync_control(1);
}

void idle_forever()
{
	for (;;)
		usleep(200000);
}
