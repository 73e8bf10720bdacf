// The program's start-up and its endless idle.
#pragma once

#include <cstdint>

// Parses the mode index the way atoi does (leading blanks, a sign, digits up to the first
// non-digit; no digits gives 0), but saturates at the int32 limits instead of overflowing.
int32_t parse_mode_index(const char *text);

// Start-up: reads the mode index into modeid, opens the card, switches it to universal planes
// and atomic, and runs display discovery. Returns the card's descriptor (negative when it could
// not be opened).
int bootanim_start(int argc, char **argv);

// The run chosen by the mode index: with a positive one, sets that mode once (no thread is
// started); otherwise starts the event thread and the vsync worker and enables the worker,
// which plays the animation.
void bootanim_run(int fd);

// Sleeps 0.2 s at a time for ever: the open descriptor holds the committed display state.
[[noreturn]] void idle_forever();
