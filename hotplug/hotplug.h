// Hot-plug: bringing the display pipeline in line with what is plugged in, and the event thread
// that turns the kernel's DRM hot-plug uevents into calls of the handler.
#pragma once

#include <cstdint>

// Counts the connected monitors with modes. With at least one, gives the first connected HDMI-A
// connector the mode chosen by modeid on the card's first CRTC, chooses connector and encoder
// again and enables the vsync worker; with none, disables the worker and switches every
// connector and CRTC off.
void handle_hotplug(int fd);
