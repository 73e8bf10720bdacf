// Uevent datagrams as the whole-program tests and the driver matrix send them to the player.
#pragma once

#include <string>
#include <vector>

namespace e2e
{

// Each string followed by its NUL, as the kernel sends a uevent.
inline std::string uevent(const std::vector<std::string> &strings)
{
	std::string d;
	for (const std::string &s : strings)
		d += s + std::string(1, '\0');
	return d;
}

// The uevent the player only logs ("add" of the card): once its line is out, the event thread
// has handled everything sent before it.
const std::string k_barrier_header = "add@/devices/pci0000:00/0000:00:02.0/drm/card0";
const std::string k_barrier_line =
        "hwc_uevent detect HOTPLUG=1 buffer=" + k_barrier_header + " hotplug_event=0\n";

inline std::string barrier_uevent()
{
	return uevent({k_barrier_header, "HOTPLUG=1", "DEVTYPE=drm_minor"});
}

} // namespace e2e
