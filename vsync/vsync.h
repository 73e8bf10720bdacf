// The vsync worker: one cycle per display refresh while enabled; the first cycle after each
// vsync_control that reaches its plane scan plays the animation when no plane but the first
// shows a framebuffer.
#pragma once

#include <atomic>
#include <cstdint>
#include <pthread.h>

// The one lock and condition of the system; usable from process start (static initialisers),
// initialised again by start_boot_thread.
extern pthread_mutex_t g_vsync_lock;
extern pthread_cond_t g_vsync_cond;
extern pthread_t g_vsync_thread;

// The worker's flags, guarded by g_vsync_lock (atomic as well, because vsync_control may set
// them while the lock is not usable).
struct vsync_flags {
	std::atomic<bool> enable;
	std::atomic<bool> exit;
};
extern vsync_flags g_vsync;

// Cycles completed since the last vsync_control; reset and tested under g_vsync_lock.
extern std::atomic<int32_t> g_vsync_count;

// Reads boot.conf, initialises the lock and condition and starts the worker thread, disabled.
// Returns 0 or the error number of the step that failed.
int start_boot_thread(int mDrmFd);

// Enables (1) or disables (0) the worker and restarts its cycle count. Callable from any thread
// at any time, also when no worker exists; never blocks. Returns 0 or the signal's error number.
int vsync_control(int enable);

// Signals g_vsync_cond; 0 or the error number (reported).
int vsync_signal();

// Stops the worker thread and waits for it: a run of the player ends with the frame it shows.
// Quiet when no worker was started.
void stop_boot_thread();

// Stops the worker thread and frees the player's slots.
void release_boot_resources();

void *vsync_thread_main(void *arg);
void vsync_worker_step();

// Sleeps until the next instant of the 60 Hz software clock: 0, or the sleep's error number.
int wait_software_vsync();

// The first multiple of `period` strictly after `now` (nanoseconds of the monotonic clock).
int64_t next_vsync_time(int64_t period, int64_t now);
