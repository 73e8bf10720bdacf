// Reading back the PNG files that the virtual card writes (sim::write_png): 8-bit RGB, any filter
// type, deflate data in stored blocks. The card writes no compressed blocks, so no inflate
// library is needed; a file with compressed blocks is reported as unsupported.
#pragma once

#include <optional>
#include <string>

#include "sim/sim.h"

// The picture in `path`, or nullopt with `error` set ("<path>: <why>").
std::optional<sim::image> read_png(const std::string &path, std::string &error);
