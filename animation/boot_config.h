// The animation's configuration, read once from boot.conf at start-up on the entry thread,
// before the vsync worker exists; afterwards only read.
#pragma once

#include <cstdio>

extern int mImageCount;         // frames 0 .. mImageCount - 1
extern char mBootAnimPath[128]; // directory of the frame files, no trailing slash
extern int mFps;                // frames per second

inline constexpr const char *k_boot_conf_path = "/mnt/bootanimation/boot.conf";

// The three lines of boot.conf as the reader takes them: each read as fgets reads it into a
// buffer of this size, so a longer line leaves its rest to be read as the next line. A line
// that could not be read (end of file) is empty and not `present`.
struct boot_config_lines {
	char cnt[32];
	char path[128];
	char fps[32];
	bool present[3];
};

// Reads the three lines from `file`, which stays open.
boot_config_lines read_boot_config_lines(FILE *file);

// Fills the three values from `file` (null when boot.conf could not be opened: the defaults
// are used), prints the "cfg:" line for an opened file, and closes it. Takes ownership of file.
void read_boot_config(FILE *file);
