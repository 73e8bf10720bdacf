// A seam for one file of a test program: while `boot_conf_seam::path` is set, the player's
// boot.conf is read from there.
#pragma once

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "animation/boot_config.h"
#include "tests/support/jpeg_file.h"
#include "tests/support/seam.h"

namespace boot_conf_seam
{
inline std::string path;
inline int opens = 0;          // opens of boot.conf
inline FILE *stream = nullptr; // boot.conf while it is open
} // namespace boot_conf_seam

extern "C" FILE *fopen(const char *path, const char *mode)
{
	auto real = SEAM_NEXT(fopen);
	if (boot_conf_seam::path.empty() || strcmp(path, k_boot_conf_path) != 0)
		return real(path, mode);
	boot_conf_seam::opens++;
	return boot_conf_seam::stream = real(boot_conf_seam::path.c_str(), mode);
}

extern "C" int fclose(FILE *f)
{
	if (f && f == boot_conf_seam::stream)
		boot_conf_seam::stream = nullptr;
	return SEAM_NEXT(fclose)(f);
}

// Frames 0.jpg .. count-1.jpg in `dir` (32x24 test pictures, variant k for frame k) and a
// boot.conf naming them at `fps`, which the seam hands to the player; false when one cannot be
// written.
inline bool boot_frames(const std::string &dir, int count, int fps)
{
	for (int k = 0; k < count; k++)
		if (!write_jpeg(dir + "/" + std::to_string(k) + ".jpg", test_picture(32, 24, k)))
			return false;
	boot_conf_seam::path = dir + "/boot.conf";
	std::ofstream conf(boot_conf_seam::path);
	conf << "cnt=" << count << "\npath=" << dir << "\nfps=" << fps << "\n";
	return bool(conf.flush());
}

// The line reading that boot.conf prints.
inline std::string boot_frames_line(const std::string &dir, int count, int fps)
{
	return "cfg:  mImageCount=" + std::to_string(count) + " mBootAnimPath=" + dir + " mFps " +
	       std::to_string(fps) + "\n";
}
