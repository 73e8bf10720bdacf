// bootanim-frames: the frame tools for device makers. `prepare` turns pictures into the player's
// numbered frames and boot.conf for one monitor mode; `check` reads a /mnt/bootanimation tree as
// the player will and reports what it would show.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The whole command line; returns the exit status (0 fine, 1 a failed check or error, 2 usage).
int frames_main(int argc, char **argv);

int frames_prepare(int argc, char **argv); // argv[0] is "prepare"
int frames_check(int argc, char **argv);   // argv[0] is "check"

// The command lines, for the usage messages.
extern const char k_prepare_usage[];
extern const char k_check_usage[];

// Parses "WxH" (each 1 .. 65500, the largest JPEG side).
bool parse_size(const char *text, int *width, int *height);

// Whether this machine can hold width x height elements of `size` bytes in one buffer: the
// product taken in 64 bits, at most the largest object there is (PTRDIFF_MAX). Sizes are checked
// with it before they are computed in size_t, which on a 32-bit machine wraps from 4 GiB on
// (a 65500 x 21858 RGB picture would get a buffer of 126 KiB).
bool holdable(uint64_t width, uint64_t height, uint64_t size);

// 8-bit RGB, red first, row after row.
struct rgb_image {
	int width = 0;
	int height = 0;
	std::vector<uint8_t> rgb;
};

// `in` resized to width x height (`holdable(in.height, width, 3 * sizeof(float))` and
// `holdable(width, height, 3)` must hold), each axis on its own: an area average where it shrinks
// (every source pixel weighted by how much of the output pixel it covers), bilinear between the
// nearest source pixel centres where it grows, unchanged where the size is kept.
rgb_image resize(const rgb_image &in, int width, int height);

// `in` turned clockwise by `degrees` (0, 90, 180 or 270).
rgb_image turn_clockwise(const rgb_image &in, int degrees);

enum class fit_mode { stretch, contain, cover };

// `in` made width x height: stretched, or its aspect ratio kept and either shown whole on
// `background` (red, green, blue) or cropped to its middle. Resized as `resize` does.
rgb_image fit(const rgb_image &in, int width, int height, fit_mode mode,
              const uint8_t background[3]);

// How long the player shows a frame: its work, then the blocking commit, which returns only at
// the next vertical blank, so each frame takes whole refreshes.
double shown_ms(double work_ms, double refresh_hz);
