// A seam for one file of a test program: while `boot_conf_seam::path` is set, the player's
// boot.conf is read from there.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>

#include "animation/boot_config.h"
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
