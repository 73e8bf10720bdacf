// Puts the display subsystem back to its process-start state on a freshly installed virtual card.
#pragma once

#include <unistd.h>

#include "display/display.h"
#include "sim/sim.h"

// Installs `t` and forgets every display value, closing the card descriptor, so the next
// drm_open_card opens a new DRM file as a fresh process would.
inline void install_card(const sim::topology &t)
{
	drm_release_display();
	int fd = g_drm_fd.exchange(0);
	if (fd > 0)
		close(fd);
	sim::install(t);
	sim::clear_faults();
	sim::clear_records();
}

// Opens the card with universal planes and atomic, as the entry does.
inline int open_atomic_card()
{
	int fd = drm_open_card();
	drmSetClientCap(fd, DRM_CLIENT_CAP_UNIVERSAL_PLANES, 1);
	drmSetClientCap(fd, DRM_CLIENT_CAP_ATOMIC, 1);
	return fd;
}
