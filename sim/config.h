// The configuration file of the LD_PRELOAD virtual card (libsimkms_preload.so), named by the
// environment variable SIMKMS_CONFIG.
//
// One setting per line, "<key> <value>"; blank lines and lines starting with '#' are ignored,
// and each key may appear once:
//
//   preset <name>              the card's topology (sim::preset names: hdmi-1080p, dp-then-hdmi,
//                              hdmi-then-dp, two-hdmi, disconnected, connected-no-modes, cirrus,
//                              bochs, virtio, vkms); hdmi-1080p when absent
//   control <path>             Unix stream socket of the control channel (see sim/control.h)
//   capture_dir <dir>          after every commit that changes a picture, write what each active
//                              CRTC shows as <dir>/<nnnnnn>-crtc<i>.png, numbered from 000001
//                              (the directory is made when missing)
//   log <path>                 append every request the card serves as a line "request <NAME>
//                              error=<0|ENAME> <field>=<value> ...", each MODE_ATOMIC request
//                              followed by "commit flags=0x<hex> error=... <obj>:<prop>=<value>
//                              ..."; written within a quarter of a second and at exit
//   pitch_align <bytes>        dumb-buffer pitch alignment (positive)
//   rg24_red_first 0|1         read RG24 memory red first when composing the screen
//   commit_waits_vblank 0|1    blocking commits return after the next vblank
//   can_scale 0|1              planes scale (1) or refuse a source size unlike the CRTC's (0)
//   vblank 0|1                 WAIT_VBLANK works (1) or fails with EOPNOTSUPP (0)
//   console 0|1                0: the preset without its console, as a kernel without fbdev
//                              emulation leaves it (sim::without_console()); 1: the preset as
//                              it is (the default)
//   connected 0|1              0: nothing attached to any connector at start (a later "connect"
//                              brings its modes; a connector made on attach does not exist
//                              until then); 1: as the preset has it (the default)
//   render_card0 0|1           1: /dev/dri/card0 is a render-only driver (vgem) and the card is
//                              /dev/dri/card1 (topology::render_card0); 0: the card is card0
//   display_card_delay_ms <n>  with render_card0, card1 appears n milliseconds after the first
//                              open of either card (default 0); then, if /dev/dri is a writable
//                              directory, an empty file /dev/dri/card1 is made there (and card0
//                              at once, when missing) for programs that watch the directory
//
// Paths are the rest of the line with surrounding blanks removed. Settings other than preset
// override the preset's settings whatever their order in the file. Without
// SIMKMS_CONFIG the card is hdmi-1080p with no channel; a file with a mistake stops the
// program at its first open of the card with "simkms: <reason>" and exit status 2.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "sim/sim.h"

namespace sim
{

struct preload_config {
	std::string preset = "hdmi-1080p";
	topology card; // the preset with the driver settings of the file applied
	std::string control;
	std::string capture_dir;
	std::string log;
};

// Parses a configuration text. On a mistake returns nullopt and sets `error` to
// "line <n>: <what is wrong>".
std::optional<preload_config> parse_config(std::string_view text, std::string &error);

// Reads and parses a configuration file; a file that cannot be read gives
// "<path>: <strerror text>" in `error`.
std::optional<preload_config> read_config(const std::string &path, std::string &error);

} // namespace sim
