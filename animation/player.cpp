#include "animation/player.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <drm_fourcc.h>
#include <xf86drmMode.h>

#include "animation/boot_config.h"
#include "animation/present.h"
#include "decode/jpeg_decoder.h"
#include "display/display.h"

std::array<SfJpegBufInfo, 4> mSfJpegBufInfo{};

frame_file find_frame_file(const char *dir, const char *local_dir, int k, frame_path_buffer &path)
{
	frame_file f{frame_lookup::missing, ".jpg"};
	for (const char *ext : {".jpg", ".jpeg"}) {
		f.ext = ext;
		path.fill(0);
		const int n = snprintf(path.data(), path.size(), "%s/%d%s", dir, k, ext);
		// A cut-off path is never used.
		if (n < 0 || static_cast<size_t>(n) >= path.size()) {
			path.fill(0);
			return {frame_lookup::path_too_long, ext};
		}
		std::string local;
		if (local_dir)
			local = std::string(local_dir) + "/" + std::to_string(k) + ext;
		const char *file = local_dir ? local.c_str() : path.data();
		if (access(file, R_OK) != 0)
			continue;
		// Only a regular file is a frame: opening a FIFO or a device could block or never
		// end.
		struct stat st;
		if (stat(file, &st) == 0 && S_ISREG(st.st_mode))
			return {frame_lookup::found, ext};
		return {frame_lookup::not_regular, ext};
	}
	return f;
}

namespace
{

// The CRTC bit of the encoder's CRTC, every bit when it is not known.
uint32_t encoder_crtc_bit()
{
	const auto enc = g_drm_encoder.get();
	const auto res = g_drm_mode_res.get();
	const uint32_t bit = enc ? drm_crtc_bit(res.get(), enc->crtc_id) : 0;
	return bit ? bit : ~0u;
}

// The CRTC bit of the CRTC the frame will be committed on; the card is asked only where the
// format depends on it (`xr24_on`: the CRTCs where the frames would be XR24).
uint32_t frame_crtc_bit(int fd, uint32_t xr24_on)
{
	const auto res = g_drm_mode_res.get();
	const int count = res ? std::min(res->count_crtcs, 32) : 32;
	const uint32_t all = count >= 32 ? ~0u : (1u << count) - 1;
	if (xr24_on == 0 || (xr24_on & all) == all)
		return ~0u;
	const uint32_t bit = present_crtc_bit(fd);
	return bit ? bit : encoder_crtc_bit();
}

// RG24, which the frames are made for, where a plane on the CRTC the frames go on offers it and
// the card makes such buffers; else XR24, which nearly every plane offers and whose bytes the
// decoder writes as DRM defines them, so the colours are right. `why` gets the reason for XR24;
// `rg24_refused` tells that the card refused a 24-bit dumb buffer in this run.
uint32_t frame_format(int fd, bool rg24_refused, const char **why)
{
	const uint32_t rg24 = drm_format_crtcs(DRM_FORMAT_RGB888);
	const uint32_t xr24 = drm_format_crtcs(DRM_FORMAT_XRGB8888);
	const uint32_t bit = frame_crtc_bit(fd, rg24_refused ? xr24 : xr24 & ~rg24);
	if (!(xr24 & bit))
		return DRM_FORMAT_RGB888;
	if (rg24_refused) {
		*why = "the card refuses 24-bit buffers";
		return DRM_FORMAT_XRGB8888;
	}
	if (rg24 & bit)
		return DRM_FORMAT_RGB888;
	*why = "no plane shows RG24";
	return DRM_FORMAT_XRGB8888;
}

// Frame k's file, with the player's message when there is none.
bool find_frame(frame_path_buffer &path, int k)
{
	const frame_file f = find_frame_file(mBootAnimPath, nullptr, k, path);
	switch (f.result) {
	case frame_lookup::found:
		return true;
	case frame_lookup::path_too_long:
		printf("%s: frame path too long %s/%d%s \n", "bootAnimation", mBootAnimPath, k,
		       f.ext);
		return false;
	case frame_lookup::not_regular:
		printf("%s: not a regular file %s \n", "bootAnimation", path.data());
		return false;
	case frame_lookup::missing:
		break;
	}
	printf("%s: can't access file %s \n", "bootAnimation", path.data());
	return false;
}

// Whether the card can scan out a frame of that size (ADDFB2 refuses larger ones anyway); the
// check comes before any buffer is asked for, so a forged header costs nothing.
bool card_can_show(int width, int height)
{
	const auto res = g_drm_mode_res.get();
	if (!res || res->max_width == 0 || res->max_height == 0 ||
	    (static_cast<uint32_t>(width) <= res->max_width &&
	     static_cast<uint32_t>(height) <= res->max_height))
		return true;
	printf("%s: frame %dx%d larger than the card's %ux%u \n", "bootAnimation", width, height,
	       res->max_width, res->max_height);
	return false;
}

// Slot 3 holds the oldest frame; it leaves the ring just before the next buffer is created.
void release_oldest()
{
	SfJpegBufInfo &oldest = mSfJpegBufInfo[3];
	if (!bo_live(oldest.mBuf))
		return;
	bo_release(oldest.mBuf);
	printf("free: mSfJpegBufInfo[0].mPath %s \n", oldest.mPath);
	oldest.mBuf = nullptr;
	memset(oldest.mPath, 0, sizeof oldest.mPath);
}

void shift_ring(bo *b, const frame_path_buffer &path)
{
	mSfJpegBufInfo[0].mBuf = b;
	memcpy(mSfJpegBufInfo[0].mPath, path.data(), sizeof mSfJpegBufInfo[0].mPath);
	for (size_t n = 3; n >= 1; n--)
		mSfJpegBufInfo[n] = mSfJpegBufInfo[n - 1];
	mSfJpegBufInfo[0].mBuf = nullptr;
	memset(mSfJpegBufInfo[0].mPath, 0, sizeof mSfJpegBufInfo[0].mPath);
}

// A new mapped buffer of `format` holding the frame's picture (centred in it with `centred`), or
// null with errno from the failed creation; `dumb_refused` as bo_create gives it.
bo *make_frame(int fd, const frame_path_buffer &path, uint32_t format, uint32_t width,
               uint32_t height, bool centred, bool *dumb_refused = nullptr)
{
	bo *b = bo_create(fd, format, width, height, dumb_refused);
	if (!b)
		return nullptr;
	if (centred)
		jpeg_sf_decode_centred(path.data(), b);
	else
		jpeg_sf_decode(path.data(), b);
	return b;
}

// Registers the buffer as a framebuffer of its format; on failure the buffer is released.
bool add_framebuffer(int fd, bo *b)
{
	uint32_t handles[4] = {b->handle, 0, 0, 0};
	uint32_t pitches[4] = {static_cast<uint32_t>(b->pitch), 0, 0, 0};
	uint32_t offsets[4] = {0, 0, 0, 0};
	if (drmModeAddFB2(fd, b->width, b->height, b->format, handles, pitches, offsets, &b->fb_id,
	                  0) != 0) {
		printf("failed to add fb: %s\n", strerror(errno));
		bo_release(b);
		return false;
	}
	return true;
}

// One run of the animation; play_boot_animation's whole work but the note that it has ended.
void play_run(int fd)
{
	frame_path_buffer path;
	int missing = 0;
	bool xr24_said = false;
	// A card that refused a 24-bit dumb buffer refuses the next; a new run asks again.
	bool rg24_refused = false;
	present_new_run();
	for (int k = 0; k < mImageCount && !g_animation_stop.load(); k++) {
		if (!find_frame(path, k)) {
			if (++missing > k_max_missing_run) {
				printf("%s: %d frames missing in a row, animation ends \n",
				       "bootAnimation", missing);
				return;
			}
			continue;
		}
		missing = 0;

		int width = 0, height = 0;
		jpeg_get_size(path.data(), &width, &height);
		printf("picPath: %s \n", path.data());
		if (width == 0 || height == 0 || !card_can_show(width, height))
			continue;

		release_oldest();

		const char *why = nullptr;
		const uint32_t format = frame_format(fd, rg24_refused, &why);
		if (why && !xr24_said) {
			printf("%s: frames are XR24: %s \n", "bootAnimation", why);
			xr24_said = true;
		}
		uint32_t pw = 0, ph = 0;
		present_pad_small_frames(fd, uint32_t(width), uint32_t(height));
		const bool padded = present_padded_size(&pw, &ph);
		const uint32_t w = padded ? pw : uint32_t(width),
		               h = padded ? ph : uint32_t(height);
		bool dumb_refused = false;
		bo *b = make_frame(fd, path, format, w, h, padded, &dumb_refused);
		const int err = errno;
		const char *unused = nullptr;
		if (!b && dumb_refused && err == EINVAL && format == DRM_FORMAT_RGB888 &&
		    frame_format(fd, true, &unused) == DRM_FORMAT_XRGB8888) {
			rg24_refused = true;
			printf("%s: frames are XR24: %s \n", "bootAnimation",
			       "the card refuses 24-bit buffers");
			xr24_said = true;
			b = make_frame(fd, path, DRM_FORMAT_XRGB8888, w, h, padded);
		} else if (!b) {
			errno = err;
		}
		if (!b) {
			printf("failed to bo_create fb: %s\n", strerror(errno));
			return;
		}
		if (!add_framebuffer(fd, b))
			continue;

		present_frame(fd, b);
		// The run's first refusal chose buffers of the mode's size: this frame again in
		// one.
		if (!padded && present_padded_size(&pw, &ph)) {
			bo *whole = make_frame(fd, path, b->format, pw, ph, true);
			if (whole && add_framebuffer(fd, whole)) {
				bo_release(b);
				b = whole;
				present_frame(fd, b);
			}
		}
		g_first_frame_done.store(true);

		// No pause at 0 frames per second, nor for a negative rate; none after the last
		// frame of a run asked to stop.
		if (mFps > 0 && !g_animation_stop.load())
			usleep(static_cast<useconds_t>(1000000 / mFps));

		shift_ring(b, path);
	}
}

} // namespace

std::atomic<bool> g_animation_stop{false};
std::atomic<bool> g_first_frame_done{false};

void play_boot_animation(int fd)
{
	play_run(fd);
	g_first_frame_done.store(true);
}
