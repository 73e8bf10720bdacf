// The program's start-up and its endless idle.
#pragma once

#include <cstdint>

// Parses the mode index the way atoi does (leading blanks, a sign, digits up to the first
// non-digit; no digits gives 0), but saturates at the int32 limits instead of overflowing.
int32_t parse_mode_index(const char *text);

// Start-up: reads the mode index into modeid, opens the card, switches it to universal planes
// and atomic, and runs display discovery. Returns the card's descriptor (negative when it could
// not be opened). Takes NOTIFY_SOCKET, the service manager's, out of the environment.
int bootanim_start(int argc, char **argv);

// The run chosen by the mode index: with a positive one, sets that mode once (no thread is
// started); otherwise starts the event thread and the vsync worker and enables the worker,
// which plays the animation.
void bootanim_run(int fd);

// Blocks SIGTERM and SIGINT, the stop requests, in the calling thread and so in every thread it
// starts later: they are taken by idle_until_stopped alone, and no handler ever runs.
void block_stop_signals();

// Waits 0.2 s at a time for a stop request (the open descriptor holds the committed display
// state meanwhile), then hands the display over: the animation ends with the frame it shows,
// the worker stops, hot-plugs are no longer acted on, DRM master is dropped with the last frame
// left on its plane, and the wait ends as soon as no plane shows one of the process's
// framebuffers (another program has shown its own), after 5 s at most, or at a second stop
// request. One line says which. Returns the exit status, 0.
// Under a service manager (NOTIFY_SOCKET), it is told "READY=1" once the first frame is
// committed, the run has ended without one, or 10 s after the start, whichever comes first: the
// boot waits for the first frame, and never long. The mode-set run says it when its mode is
// set, and a run without a card at once.
int idle_until_stopped();
