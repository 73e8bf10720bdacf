// Reading PNG files with libpng: the virtual card's screen captures, and the pictures the frame
// tools prepare. Any PNG (gray, palette, 16-bit, alpha) comes out as 8-bit RGB; alpha is
// composited onto black.
#pragma once

#include <optional>
#include <string>

#include "sim/sim.h"

// The picture in `path`, or nullopt with `error` set ("<path>: <why>").
std::optional<sim::image> read_png(const std::string &path, std::string &error);
