// Hot-plug: bringing the display pipeline in line with what is plugged in, and the event thread
// that turns the kernel's DRM hot-plug uevents into calls of the handler.
#pragma once

#include <atomic>
#include <cstdint>

// Counts the connected monitors with modes. With at least one, gives the first connected HDMI-A
// connector the mode chosen by modeid on the card's first CRTC (or, when its encoders cannot
// drive that one, the first they can), switching off the CRTC it leaves; a refused request is
// tried again with a black frame on the CRTC's primary plane where that can help. Then it
// chooses connector and encoder again and enables the vsync worker. Without an HDMI-A monitor
// and with no CRTC active, the first connected output gets its preferred mode instead. Finding
// none, it reads the card's resources again first, in case a connector was added since. With
// none, it disables the
// worker and switches every connector, CRTC and plane off (reading the planes again once when
// refused). Refusals are reported on standard error.
void handle_hotplug(int fd);

// Set once the process is asked to stop: hot-plugs after it are not acted on.
extern std::atomic<bool> g_hotplug_stopped;

// In the player run at start: when the chosen connector is connected with modes but no active
// CRTC drives it (no console lit it: no encoder bound, or its CRTC off), gives it its preferred
// mode (else its first) through the same mode set, says so in one line, and chooses connector
// and encoder again. True when it did.
bool light_dark_display(int fd);
