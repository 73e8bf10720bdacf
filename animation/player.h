// The animation player: every configured frame decoded into a new buffer and shown full screen,
// paced by the frame rate, with the buffers of the last three frames kept in a ring.
#pragma once

#include <array>

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

// Shows frames 0 .. mImageCount - 1 of mBootAnimPath once, on `fd`. Returns early only when a
// buffer cannot be created. The last frame stays on screen.
void play_boot_animation(int fd);
