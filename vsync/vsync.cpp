#include "vsync/vsync.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <sched.h>
#include <unistd.h>

#include "animation/boot_config.h"
#include "animation/player.h"
#include "display/display.h"

pthread_mutex_t g_vsync_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_vsync_cond = PTHREAD_COND_INITIALIZER;
pthread_t g_vsync_thread;
vsync_flags g_vsync{};
std::atomic<int32_t> g_vsync_count{0};

namespace
{

constexpr int64_t k_software_period_ns = 16666667;
constexpr useconds_t k_scan_pause_us = 10000;

// The lock and condition may be re-initialised or destroyed by start_boot_thread (and the
// teardown) while another thread calls vsync_control. vsync_control announces itself in
// g_users and uses the primitives only while g_usable is set; whoever makes them unusable waits
// for the announced users to leave first.
std::atomic<bool> g_usable{true};
std::atomic<int> g_users{0};
bool g_thread_started = false;

void make_unusable()
{
	g_usable.store(false);
	while (g_users.load() != 0)
		sched_yield();
}

// Counting the cycle and testing it in one step: every reset gives exactly one later cycle a count
// of 0, and the count stops at its largest value instead of overflowing. Only an enabled worker
// plays: a vsync_control(0) that lands while a cycle waits restarts the count too, and must
// not start the animation again.
bool take_first_cycle()
{
	int32_t count = g_vsync_count.load();
	if (count < INT32_MAX)
		g_vsync_count.store(count + 1);
	return count == 0 && g_vsync.enable;
}

// Waits for the next vertical blank of the encoder's CRTC, or the software clock without one.
// False when the cycle must end.
bool wait_vsync(int fd)
{
	uint32_t pipe = 0;
	crtc_holder crtc;
	if (g_drm_connector)
		crtc = get_encoder_crtc(fd, &pipe);
	if (!crtc)
		return wait_software_vsync() == 0;

	drmVBlank vbl{};
	vbl.request.type = static_cast<drmVBlankSeqType>(
	        DRM_VBLANK_RELATIVE |
	        ((pipe << DRM_VBLANK_HIGH_CRTC_SHIFT) & DRM_VBLANK_HIGH_CRTC_MASK));
	vbl.request.sequence = 1;
	int err = 0;
	if (drmWaitVBlank(fd, &vbl) != 0)
		err = wait_software_vsync();
	crtc.reset();
	return err == 0;
}

// Framebuffers that are no other client's content: the console's from start-up, the player's
// own in its ring and the hot-plug handler's black frame.
bool is_ours(uint32_t fb_id)
{
	if (drm_is_console_fb(fb_id) || fb_id == g_black_fb.load())
		return true;
	for (const SfJpegBufInfo &slot : mSfJpegBufInfo)
		if (slot.mBuf && slot.mBuf->fb_id == fb_id)
			return true;
	return false;
}

// Whether a plane other than the first shows another client's framebuffer. A plane list or
// plane that cannot be read ends the cycle uncounted: the animation must never be drawn over
// content that could not be checked, and the next cycle looks again.
enum class scan_result { clear, content, unreadable };

scan_result scan_planes(int fd)
{
	plane_res_holder planes(drmModeGetPlaneResources(fd));
	if (!planes)
		return scan_result::unreadable;
	bool content = false;
	for (uint32_t i = 1; i < planes->count_planes; i++) {
		plane_holder plane(drmModeGetPlane(fd, planes->planes[i]));
		if (!plane)
			return scan_result::unreadable;
		if (plane->fb_id != 0 && !is_ours(plane->fb_id))
			content = true;
	}
	return content ? scan_result::content : scan_result::clear;
}

} // namespace

int64_t next_vsync_time(int64_t period, int64_t now)
{
	if (period <= 0)
		return now;
	// Floor division, so that a time before the clock's zero still gives the next instant.
	int64_t n = now / period;
	if (now % period < 0)
		n--;
	// period * (n + 1) fits while n + 1 <= INT64_MAX / period; beyond the last instant that
	// fits, the largest time stands for the next one.
	if (n >= INT64_MAX / period)
		return INT64_MAX;
	return period * (n + 1);
}

int wait_software_vsync()
{
	timespec now{};
	clock_gettime(CLOCK_MONOTONIC, &now);
	int64_t target = next_vsync_time(k_software_period_ns,
	                                 int64_t(now.tv_sec) * 1000000000 + now.tv_nsec);
	timespec until{};
	until.tv_sec = static_cast<time_t>(target / 1000000000);
	until.tv_nsec = static_cast<long>(target % 1000000000);
	int err;
	do
		err = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
	while (err == EINTR);
	return err;
}

int start_boot_thread(int mDrmFd)
{
	FILE *conf = fopen(k_boot_conf_path, "rb");

	// No other thread may hold the lock or wait on the condition while they are initialised
	// again; vsync_control meanwhile only sets the flags.
	make_unusable();
	pthread_condattr_t attr;
	int err = pthread_condattr_init(&attr);
	if (err == 0) {
		pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
		pthread_cond_destroy(&g_vsync_cond);
		err = pthread_cond_init(&g_vsync_cond, &attr);
		pthread_condattr_destroy(&attr);
	}
	g_vsync.enable = false;
	g_vsync.exit = false;
	if (err != 0) {
		printf("Failed to int thread %s condition %d\n", "start_boot_thread", err);
		if (conf)
			fclose(conf);
		return err;
	}
	pthread_mutex_destroy(&g_vsync_lock);
	err = pthread_mutex_init(&g_vsync_lock, nullptr);
	if (err != 0) {
		printf("Failed to init thread  lock %d\n", err);
		pthread_cond_destroy(&g_vsync_cond);
		if (conf)
			fclose(conf);
		return err;
	}
	g_usable.store(true);

	read_boot_config(conf);
	printf("start_boot_thread: mDrmFd = %d\n", mDrmFd);

	err = pthread_create(&g_vsync_thread, nullptr, vsync_thread_main, nullptr);
	if (err != 0) {
		printf("Could not create thread  %d\n", err);
		make_unusable();
		pthread_mutex_destroy(&g_vsync_lock);
		pthread_cond_destroy(&g_vsync_cond);
		return err;
	}
	g_thread_started = true;
	return 0;
}

int vsync_signal()
{
	int err = pthread_cond_signal(&g_vsync_cond);
	if (err != 0)
		printf("Failed to signal condition  thread %d\n", err);
	return err;
}

int vsync_control(int enable)
{
	g_users.fetch_add(1);
	int err = 0;
	if (!g_usable.load()) {
		// No worker can be waiting: only the flags change.
		g_vsync.enable = enable != 0;
		g_vsync_count.store(0);
		printf("vsync_control: enable=%d exit=%d\n", g_vsync.enable ? 1 : 0,
		       g_vsync.exit ? 1 : 0);
		g_users.fetch_sub(1);
		return 0;
	}
	pthread_mutex_lock(&g_vsync_lock);
	g_vsync.enable = enable != 0;
	err = vsync_signal();
	g_vsync_count.store(0);
	printf("vsync_control: enable=%d exit=%d\n", g_vsync.enable ? 1 : 0, g_vsync.exit ? 1 : 0);
	if (err != 0)
		printf("Failed to signal condition  thread %d\n", err);
	pthread_mutex_unlock(&g_vsync_lock);
	g_users.fetch_sub(1);
	return err;
}

void *vsync_thread_main(void *)
{
	for (;;) {
		int err = pthread_mutex_lock(&g_vsync_lock);
		if (err != 0) {
			printf("Failed to lock %s thread %d\n", "vsyncThread", err);
			continue;
		}
		bool stop = g_vsync.exit;
		err = pthread_mutex_unlock(&g_vsync_lock);
		if (err != 0) {
			printf("Failed to unlock %s thread %d\n", "vsyncThread", err);
			return nullptr;
		}
		if (stop)
			return nullptr;
		vsync_worker_step();
	}
}

void vsync_worker_step()
{
	int fd = drm_open_card();

	int err = pthread_mutex_lock(&g_vsync_lock);
	if (err != 0) {
		printf("Failed to lock worker %d \n", err);
		return;
	}
	// A worker told to stop must not wait for a signal that may never come.
	if (!g_vsync.enable && !g_vsync.exit) {
		printf("vsync: pthread_cond_wait\n");
		pthread_cond_wait(&g_vsync_cond, &g_vsync_lock);
	}
	bool enabled = g_vsync.enable;
	err = pthread_mutex_unlock(&g_vsync_lock);
	if (err != 0)
		printf("Failed to unlock worker %d \n", err);
	if (!enabled)
		return;

	if (!wait_vsync(fd))
		return;
	usleep(k_scan_pause_us);

	scan_result scan = scan_planes(fd);
	if (scan == scan_result::unreadable)
		return;

	err = pthread_mutex_lock(&g_vsync_lock);
	if (err != 0) {
		printf("Failed to lock worker %d \n", err);
		return;
	}
	bool first = take_first_cycle();
	err = pthread_mutex_unlock(&g_vsync_lock);
	if (err != 0)
		printf("Failed to unlock worker %d \n", err);

	if (first && scan == scan_result::clear)
		play_boot_animation(fd);
}

namespace
{

// Tells the worker to end and joins it; false when it could not be told.
bool end_worker(bool say_unjoined)
{
	// Without usable primitives no worker exists.
	if (g_usable.load()) {
		pthread_mutex_lock(&g_vsync_lock);
		g_vsync.exit = true;
		pthread_mutex_unlock(&g_vsync_lock);
		int err = pthread_cond_signal(&g_vsync_cond);
		if (err != 0) {
			printf("Failed to signal condition  thread %d\n", err);
			return false;
		}
	} else {
		g_vsync.exit = true;
	}
	// Joining a thread that was never created is not possible; report it as a failed join.
	if ((!g_thread_started || pthread_join(g_vsync_thread, nullptr) != 0) && say_unjoined)
		printf("Couldn't cancel vsync thread \n");
	g_thread_started = false;
	return true;
}

} // namespace

void stop_boot_thread()
{
	end_worker(false);
}

void release_boot_resources()
{
	// The worker is stopped before its slots are freed: it may be playing, and the player
	// owns the ring while it runs.
	bool usable = g_usable.load();
	if (!end_worker(true))
		return;

	for (size_t i = 0; i < mSfJpegBufInfo.size(); i++) {
		bo *b = mSfJpegBufInfo[i].mBuf;
		if (!bo_live(b))
			continue;
		printf("release drm res:i=%d fd=0x%x fb_id=0x%x ptr=%p addr=%p\n",
		       static_cast<int>(i), static_cast<unsigned>(b->fd), b->fb_id,
		       static_cast<void *>(b->ptr), static_cast<void *>(b));
		bo_release(b);
		mSfJpegBufInfo[i].mBuf = nullptr;
	}

	if (usable) {
		make_unusable();
		pthread_cond_destroy(&g_vsync_cond);
		pthread_mutex_destroy(&g_vsync_lock);
	}
}
