// The stand-in compositor's core: what the next program after the boot animation does with the
// display, in its simplest form. Shared by the bootanim-standin tool and the virtual card's
// "standin" command, which runs it on a file of the card inside the player's process.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace standin
{

// Every 10 ms for up to 10 s, as compositors retry while the previous master lets go.
constexpr int k_retry_ms = 10;
constexpr int k_give_up_ms = 10000;

// The picture: 32-pixel squares of magenta and dark teal, unlike any boot frame, the console or
// black. Red, green, blue of screen pixel (x, y).
constexpr uint8_t k_square_a[3] = {0xff, 0x00, 0xff};
constexpr uint8_t k_square_b[3] = {0x00, 0x80, 0x80};
constexpr uint32_t k_square = 32;
inline const uint8_t *colour_at(uint32_t x, uint32_t y)
{
	return ((x / k_square + y / k_square) & 1) ? k_square_b : k_square_a;
}

struct shown {
	uint32_t width = 0, height = 0, crtc_id = 0;
};

// On an open card descriptor: becomes master (retrying SET_MASTER), commits the picture full
// screen on the primary plane of the first active CRTC and switches the CRTC's other planes off
// in the same commit. Each outcome is one line handed to `say` ("standin: ..."). The picture's
// buffer stays for as long as `fd` is open. True once the picture is committed.
bool show(int fd, const std::function<void(const std::string &)> &say, shown *out);

} // namespace standin
