#include "animation/player.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include <drm_fourcc.h>
#include <xf86drmMode.h>

#include "animation/boot_config.h"
#include "animation/present.h"
#include "decode/jpeg_decoder.h"

std::array<SfJpegBufInfo, 4> mSfJpegBufInfo{};

namespace
{

using path_buffer = std::array<char, sizeof(SfJpegBufInfo::mPath)>;

// Writes "<dir>/<k><ext>" into `path`; false when it does not fit (a cut-off path is never
// used).
bool frame_path(path_buffer &path, int k, const char *ext)
{
	path.fill(0);
	int n = snprintf(path.data(), path.size(), "%s/%d%s", mBootAnimPath, k, ext);
	if (n < 0 || static_cast<size_t>(n) >= path.size()) {
		printf("%s: frame path too long %s/%d%s \n", "bootAnimation", mBootAnimPath, k,
		       ext);
		return false;
	}
	return true;
}

// The frame file: k.jpg, else k.jpeg. False (with its message) when neither can be read.
bool find_frame(path_buffer &path, int k)
{
	if (!frame_path(path, k, ".jpg"))
		return false;
	if (access(path.data(), R_OK) == 0)
		return true;
	if (!frame_path(path, k, ".jpeg"))
		return false;
	if (access(path.data(), R_OK) == 0)
		return true;
	printf("%s: can't access file %s \n", "bootAnimation", path.data());
	return false;
}

void release_bo(bo *b)
{
	unmap_buffer(b);
	destroy_buffer(b);
	bo_free(b);
}

// Slot 3 holds the oldest frame; it leaves the ring just before the next buffer is created.
void release_oldest()
{
	SfJpegBufInfo &oldest = mSfJpegBufInfo[3];
	if (!oldest.mBuf || oldest.mBuf->fd == 0 || !oldest.mBuf->ptr)
		return;
	release_bo(oldest.mBuf);
	printf("free: mSfJpegBufInfo[0].mPath %s \n", oldest.mPath);
	oldest.mBuf = nullptr;
	memset(oldest.mPath, 0, sizeof oldest.mPath);
}

void shift_ring(bo *b, const path_buffer &path)
{
	mSfJpegBufInfo[0].mBuf = b;
	memcpy(mSfJpegBufInfo[0].mPath, path.data(), sizeof mSfJpegBufInfo[0].mPath);
	for (size_t n = 3; n >= 1; n--)
		mSfJpegBufInfo[n] = mSfJpegBufInfo[n - 1];
	mSfJpegBufInfo[0].mBuf = nullptr;
	memset(mSfJpegBufInfo[0].mPath, 0, sizeof mSfJpegBufInfo[0].mPath);
}

} // namespace

void play_boot_animation(int fd)
{
	path_buffer path;
	for (int k = 0; k < mImageCount; k++) {
		if (!find_frame(path, k))
			continue;

		int width = 0, height = 0;
		jpeg_get_size(path.data(), &width, &height);
		printf("picPath: %s \n", path.data());
		if (width == 0 || height == 0)
			continue;

		release_oldest();

		bo *b = bo_create(fd, DRM_FORMAT_RGB888, static_cast<uint32_t>(width),
		                  static_cast<uint32_t>(height));
		if (!b) {
			printf("failed to bo_create fb: %s\n", strerror(errno));
			return;
		}

		jpeg_sf_decode(path.data(), b);

		uint32_t handles[4] = {b->handle, 0, 0, 0};
		uint32_t pitches[4] = {static_cast<uint32_t>(b->pitch), 0, 0, 0};
		uint32_t offsets[4] = {0, 0, 0, 0};
		if (drmModeAddFB2(fd, b->width, b->height, DRM_FORMAT_RGB888, handles, pitches,
		                  offsets, &b->fb_id, 0) != 0) {
			printf("failed to add fb: %s\n", strerror(errno));
			release_bo(b);
			continue;
		}

		present_frame(fd, b);

		// No pause at 0 frames per second, nor for a negative rate.
		if (mFps > 0)
			usleep(static_cast<useconds_t>(1000000 / mFps));

		shift_ring(b, path);
	}
}
