// Uevent datagrams of up to 2,048 bytes on a socket pair, one at a time through the reader,
// with an oracle of its own for when the hot-plug handler must be called.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <vector>

#include "display/display.h"
#include "hotplug/event_monitor.h"
#include "hotplug/hotplug.h"

namespace
{

int g_calls = 0;
int g_sender = -1;

// The reader takes at most 1024 bytes of a datagram; a change event of the DRM minor that
// carries HOTPLUG=1 as a whole string calls the handler once.
bool must_call(std::string_view d)
{
	d = d.substr(0, 1024);
	if (!d.starts_with("change@"))
		return false;
	bool drm = false, hotplug = false;
	while (!d.empty()) {
		const size_t end = d.find('\0');
		const std::string_view s = d.substr(0, end);
		drm = drm || s == "DEVTYPE=drm_minor";
		hotplug = hotplug || s == "HOTPLUG=1";
		if (end == std::string_view::npos)
			break;
		d.remove_prefix(end + 1);
	}
	return drm && hotplug;
}

} // namespace

// The card is not needed: the reader only hands the descriptor on.
int drm_open_card()
{
	return -1;
}

// Half the connector ids are unknown, so that the reader's CONNECTOR= path runs too.
bool drm_knows_connector(uint32_t connector_id)
{
	return connector_id % 2 == 0;
}

bool drm_reload_resources(int fd)
{
	if (fd != 7)
		abort();
	return false;
}

void handle_hotplug(int fd)
{
	if (fd != 7)
		abort();
	g_calls++;
}

// Input: datagrams, each a two-byte length (taken modulo 2049) and that many bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	int sv[2];
	if (g_sender < 0 && socketpair(AF_UNIX, SOCK_DGRAM, 0, sv) == 0) {
		g_uevent_sock = sv[0];
		g_sender = sv[1];
	}
	size_t at = 0;
	while (at + 2 <= size) {
		size_t len = (size_t{data[at]} << 8 | data[at + 1]) % 2049;
		at += 2;
		if (len > size - at)
			len = size - at;
		const std::string_view d(reinterpret_cast<const char *>(data + at), len);
		at += len;
		if (send(g_sender, d.data(), d.size(), 0) != static_cast<ssize_t>(d.size()))
			abort();
		const int before = g_calls;
		handle_uevents(7);
		if (g_calls - before != (must_call(d) ? 1 : 0))
			abort();
		// Nothing may be left behind for the next datagram.
		char probe;
		if (recv(g_uevent_sock, &probe, 1, MSG_DONTWAIT | MSG_PEEK) >= 0)
			abort();
	}
	return 0;
}
