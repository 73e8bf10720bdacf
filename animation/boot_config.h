// The animation's configuration, read once from boot.conf at start-up on the entry thread,
// before the vsync worker exists; afterwards only read.
#pragma once

#include <cstdio>

extern int mImageCount;         // frames 0 .. mImageCount - 1
extern char mBootAnimPath[128]; // directory of the frame files, no trailing slash
extern int mFps;                // frames per second

inline constexpr const char *k_boot_conf_path = "/mnt/bootanimation/boot.conf";

// Fills the three values from `file` (null when boot.conf could not be opened: the defaults
// are used), prints the "cfg:" line for an opened file, and closes it. Takes ownership of file.
void read_boot_config(FILE *file);
