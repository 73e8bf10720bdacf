// The animation player: every configured frame decoded into a new buffer and shown full screen,
// paced by the frame rate, with the buffers of the last three frames kept in a ring.
#pragma once

#include <array>
#include <atomic>

#include "buffer/bo.h"

// One slot of the ring: a frame's buffer and the path of its file; null and all zero when empty.
struct SfJpegBufInfo {
	bo *mBuf;
	char mPath[128];
};

// Slot 0 is empty between frames; slot 1 holds the newest frame that got a framebuffer, slots 2
// and 3 the two before it. Used by the player on the worker thread alone; kept from one run to
// the next.
extern std::array<SfJpegBufInfo, 4> mSfJpegBufInfo;

// After this many frames in a row that cannot be found, the player ends the animation. Gaps in
// a real animation are a few frames; a longer run of frames that cannot be found (missing, not
// regular files, or paths too long, which stay too long for every later frame) means the count
// is wrong: cnt=2147483647 would have the worker test paths for hours.
inline constexpr int k_max_missing_run = 16;

using frame_path_buffer = std::array<char, sizeof(SfJpegBufInfo::mPath)>;

enum class frame_lookup { found, missing, not_regular, path_too_long };

struct frame_file {
	frame_lookup result;
	const char *ext; // ".jpg" or ".jpeg": the file found, or the last one tried
};

// Frame k of the animation in directory `dir`: k.jpg, else k.jpeg, a regular file, its path
// ("<dir>/<k><ext>", at most 127 characters) in `path`, left empty when it would not fit. With
// `local_dir` the files are looked up there instead, the path still made from `dir` (the frame
// tools check a copy of a device's tree). Prints nothing.
frame_file find_frame_file(const char *dir, const char *local_dir, int k, frame_path_buffer &path);

// Set once the process is asked to stop: the player ends its run with the frame it is showing.
extern std::atomic<bool> g_animation_stop;

// Set once the first run has committed its first frame or has ended without one: what the boot
// waits for before it goes on (the service manager hears it).
extern std::atomic<bool> g_first_frame_done;

// Shows frames 0 .. mImageCount - 1 of mBootAnimPath once, on `fd`. Returns early when a buffer
// cannot be created, or after the frame being shown when g_animation_stop is set. The last
// frame stays on screen.
void play_boot_animation(int fd);
