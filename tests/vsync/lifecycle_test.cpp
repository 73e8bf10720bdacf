// Starting, controlling and stopping the worker, and every failure of the thread primitives,
// through seams over the pthread calls. The seams act only on the worker's lock, condition and
// thread; every other caller reaches the C library unchanged. No worker loop runs here: start
// tests create a stand-in thread that returns at once, and cycles run on the test thread.
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <drm_fourcc.h>
#include <gtest/gtest.h>

#include "animation/boot_config.h"
#include "animation/player.h"
#include "buffer/bo.h"
#include "display/display.h"
#include "sim/sim.h"
#include "tests/support/boot_conf_seam.h"
#include "tests/support/capture.h"
#include "tests/support/card.h"
#include "tests/support/jpeg_file.h"
#include "tests/support/seam.h"
#include "vsync/vsync.h"

namespace pseam
{
namespace
{
enum op {
	cond_init,
	mutex_init,
	create,
	lock,
	unlock,
	signal,
	wait,
	join,
	cond_destroy,
	mutex_destroy,
	op_count
};
const char *const k_names[op_count] = {"cond_init",    "mutex_init",   "create", "lock",
                                       "unlock",       "signal",       "wait",   "join",
                                       "cond_destroy", "mutex_destroy"};

// What happened to the worker's primitives, in order: "lock", or "lock 35" when it failed.
std::vector<std::string> log;
std::atomic_flag log_busy = ATOMIC_FLAG_INIT;

struct fault {
	int nth = 0; // the nth call from arming fails (once)
	int err = 0;
	int seen = 0;
};
fault faults[op_count];

bool stand_in_worker = false; // pthread_create of the worker runs a thread that returns at once
bool wake_at_once = false;    // a wait on the condition returns at once, as a spurious wake-up
int cond_clock = -1;          // the clock attribute of the condition's last initialisation

void arm(op o, int err, int nth = 1)
{
	faults[o] = {nth, err, 0};
}

void disarm()
{
	for (auto &f : faults)
		f = {};
	stand_in_worker = false;
	wake_at_once = false;
}

int injected(op o)
{
	fault &f = faults[o];
	if (f.nth == 0 || ++f.seen != f.nth)
		return 0;
	int err = f.err;
	f = {};
	return err;
}

void record(op o, int result)
{
	std::string s = k_names[o];
	if (result)
		s += " " + std::to_string(result);
	while (log_busy.test_and_set(std::memory_order_acquire))
		;
	log.push_back(s);
	log_busy.clear(std::memory_order_release);
}

std::vector<std::string> take_log()
{
	while (log_busy.test_and_set(std::memory_order_acquire))
		;
	std::vector<std::string> out = std::move(log);
	log.clear();
	log_busy.clear(std::memory_order_release);
	return out;
}

void *stand_in(void *)
{
	return nullptr;
}

} // namespace
} // namespace pseam

namespace pseam
{
namespace
{
// The library's call on one of the worker's primitives, failed instead when armed, and logged.
template <typename Real, typename... Args>
int faulted(op o, Real real, Args... args)
{
	int err = injected(o);
	if (err == 0)
		err = real(args...);
	record(o, err);
	return err;
}
} // namespace
} // namespace pseam

extern "C" int pthread_mutex_lock(pthread_mutex_t *m) noexcept
{
	auto real = SEAM_NEXT(pthread_mutex_lock);
	return m == &g_vsync_lock ? pseam::faulted(pseam::lock, real, m) : real(m);
}

// A failing unlock still lets go of the lock, so that the test can go on.
extern "C" int pthread_mutex_unlock(pthread_mutex_t *m) noexcept
{
	auto real = SEAM_NEXT(pthread_mutex_unlock);
	if (m != &g_vsync_lock)
		return real(m);
	int err = pseam::injected(pseam::unlock);
	int real_err = real(m);
	pseam::record(pseam::unlock, err ? err : real_err);
	return err ? err : real_err;
}

extern "C" int pthread_mutex_init(pthread_mutex_t *m, const pthread_mutexattr_t *attr) noexcept
{
	auto real = SEAM_NEXT(pthread_mutex_init);
	return m == &g_vsync_lock ? pseam::faulted(pseam::mutex_init, real, m, attr)
	                          : real(m, attr);
}

extern "C" int pthread_mutex_destroy(pthread_mutex_t *m) noexcept
{
	if (m == &g_vsync_lock)
		pseam::record(pseam::mutex_destroy, 0);
	return SEAM_NEXT(pthread_mutex_destroy)(m);
}

extern "C" int pthread_cond_init(pthread_cond_t *c, const pthread_condattr_t *attr) noexcept
{
	auto real = SEAM_NEXT(pthread_cond_init);
	if (c != &g_vsync_cond)
		return real(c, attr);
	clockid_t clock = -1;
	if (attr)
		pthread_condattr_getclock(attr, &clock);
	pseam::cond_clock = clock;
	return pseam::faulted(pseam::cond_init, real, c, attr);
}

extern "C" int pthread_cond_destroy(pthread_cond_t *c) noexcept
{
	if (c == &g_vsync_cond)
		pseam::record(pseam::cond_destroy, 0);
	return SEAM_NEXT(pthread_cond_destroy)(c);
}

extern "C" int pthread_cond_signal(pthread_cond_t *c) noexcept
{
	auto real = SEAM_NEXT(pthread_cond_signal);
	return c == &g_vsync_cond ? pseam::faulted(pseam::signal, real, c) : real(c);
}

extern "C" int pthread_cond_wait(pthread_cond_t *c, pthread_mutex_t *m)
{
	auto real = SEAM_NEXT(pthread_cond_wait);
	if (c != &g_vsync_cond)
		return real(c, m);
	pseam::record(pseam::wait, 0);
	if (pseam::wake_at_once)
		return 0;
	return real(c, m);
}

extern "C" int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *),
                              void *arg) noexcept
{
	auto real = SEAM_NEXT(pthread_create);
	if (start != vsync_thread_main)
		return real(thread, attr, start, arg);
	return pseam::faulted(pseam::create, real, thread, attr,
	                      pseam::stand_in_worker ? pseam::stand_in : start, arg);
}

// A failing join has joined all the same, so that no thread is left behind.
extern "C" int pthread_join(pthread_t thread, void **result)
{
	auto real = SEAM_NEXT(pthread_join);
	int err = pseam::injected(pseam::join);
	int real_err = real(thread, result);
	pseam::record(pseam::join, err ? err : real_err);
	return err ? err : real_err;
}

namespace
{

using strings = std::vector<std::string>;
constexpr int k_entry_fd = 7; // start_boot_thread only prints the entry's descriptor

// The log without the entries not named in `keep`.
strings only(const strings &log, std::initializer_list<const char *> keep)
{
	strings out;
	for (const auto &s : log)
		for (const char *k : keep)
			if (s.rfind(k, 0) == 0 && (s.size() == strlen(k) || s[strlen(k)] == ' '))
				out.push_back(s);
	return out;
}

class Lifecycle : public ::testing::Test
{
protected:
	void SetUp() override
	{
		pseam::disarm();
		dir = make_temp_dir();
		ASSERT_FALSE(dir.empty());
		ASSERT_TRUE(boot_frames(dir, 1, 1000));
		boot_conf_seam::opens = 0;
		mImageCount = 77;

		install_card(player_card());
		ASSERT_TRUE(open_and_discover(&fd));
		g_vsync.enable = false;
		g_vsync.exit = false;
		g_vsync_count = 0;
		pseam::take_log();
		sim::clear_records();
	}

	void TearDown() override
	{
		pseam::disarm();
		{
			output_capture quiet;
			release_boot_resources();
		}
		empty_ring();
		install_card(sim::topology{});
		boot_conf_seam::path.clear();
		pseam::take_log();
		g_vsync.enable = false;
		g_vsync.exit = false;
		remove_tree(dir);
	}

	// start_boot_thread with a stand-in for the worker: the primitives are ready and a
	// thread exists to be joined, but no cycle runs except the test's own.
	void start_without_worker()
	{
		pseam::stand_in_worker = true;
		output_capture quiet;
		ASSERT_EQ(start_boot_thread(k_entry_fd), 0);
		quiet.stop();
		pseam::stand_in_worker = false;
		pseam::take_log();
		sim::clear_records();
	}

	std::string start(int *result)
	{
		output_capture cap;
		*result = start_boot_thread(k_entry_fd);
		return cap.stop();
	}

	std::string control(int enable, int *result)
	{
		output_capture cap;
		*result = vsync_control(enable);
		return cap.stop();
	}

	std::string release()
	{
		output_capture cap;
		release_boot_resources();
		return cap.stop();
	}

	std::string cycle()
	{
		output_capture cap;
		vsync_worker_step();
		return cap.stop();
	}

	std::string cfg_line() const
	{
		return boot_frames_line(dir, 1, 1000);
	}

	std::string play_line() const
	{
		return "picPath: " + dir + "/0.jpg \n";
	}

	// After a failed start, the worker's primitives are never touched again.
	void expect_control_touches_nothing()
	{
		pseam::take_log();
		for (int enable : {1, 0}) {
			int result = -1;
			std::string out = control(enable, &result);
			EXPECT_EQ(result, 0);
			EXPECT_EQ(out,
			          "vsync_control: enable=" + std::to_string(enable) + " exit=0\n");
			EXPECT_EQ(g_vsync.enable.load(), enable == 1);
		}
		EXPECT_EQ(pseam::take_log(), strings{});
		// The teardown finds no thread to join and nothing to destroy.
		EXPECT_EQ(release(), "Couldn't cancel vsync thread \n");
		EXPECT_EQ(pseam::take_log(), strings{});
	}

	// A registered, mapped buffer of the test's own, as the player leaves them in its ring.
	bo *frame_buffer()
	{
		bo *b = registered_bo(fd, DRM_FORMAT_XRGB8888, 16, 16);
		EXPECT_NE(b, nullptr);
		return b;
	}

	static std::string release_line(int i, const bo *b)
	{
		char line[256];
		snprintf(line, sizeof line,
		         "release drm res:i=%d fd=0x%x fb_id=0x%x ptr=%p addr=%p\n", i,
		         static_cast<unsigned>(b->fd), b->fb_id, static_cast<void *>(b->ptr),
		         static_cast<const void *>(b));
		return line;
	}

	int fd = -1;
	std::string dir;
};

TEST_F(Lifecycle, StartReadsTheConfigurationThenStartsTheWorkerDisabled)
{
	g_vsync.enable = true;
	g_vsync.exit = true;
	pseam::stand_in_worker = true;
	int result = -1;
	EXPECT_EQ(start(&result), cfg_line() + "start_boot_thread: mDrmFd = 7\n");
	EXPECT_EQ(result, 0);
	EXPECT_EQ(only(pseam::take_log(), {"cond_init", "mutex_init", "create"}),
	          (strings{"cond_init", "mutex_init", "create"}));
	EXPECT_EQ(pseam::cond_clock, CLOCK_MONOTONIC);
	EXPECT_FALSE(g_vsync.enable.load());
	EXPECT_FALSE(g_vsync.exit.load());
	EXPECT_EQ(mImageCount, 1);
	EXPECT_EQ(mFps, 1000);
	EXPECT_EQ(boot_conf_seam::opens, 1);
	EXPECT_EQ(boot_conf_seam::stream, nullptr);

	// The teardown: the flag under the lock, the signal after it, the join, then the
	// condition and the lock are destroyed.
	EXPECT_EQ(release(), "");
	EXPECT_EQ(pseam::take_log(),
	          (strings{"lock", "unlock", "signal", "join", "cond_destroy", "mutex_destroy"}));
	EXPECT_TRUE(g_vsync.exit.load());
}

TEST_F(Lifecycle, StartWithoutBootConfUsesTheDefaults)
{
	boot_conf_seam::path = dir + "/missing.conf";
	pseam::stand_in_worker = true;
	int result = -1;
	EXPECT_EQ(start(&result), "start_boot_thread: mDrmFd = 7\n");
	EXPECT_EQ(result, 0);
	EXPECT_EQ(mImageCount, 4);
	EXPECT_STREQ(mBootAnimPath, "/media/bootanimation");
}

TEST_F(Lifecycle, PrimitiveThatCannotBeMadeUndoesTheStart)
{
	// `out` follows the configuration's line when it is read; `made` are the worker's
	// primitives the start tried, `last` its last steps.
	auto check = [&](pseam::op op, int err, bool reads_config, const std::string &out,
	                 const strings &made, const strings &last) {
		SCOPED_TRACE(out);
		boot_conf_seam::opens = 0;
		mImageCount = 77;
		g_vsync.enable = true;
		g_vsync.exit = true;
		pseam::arm(op, err);
		int result = -1;
		EXPECT_EQ(start(&result), (reads_config ? cfg_line() : "") + out);
		EXPECT_EQ(result, err);
		strings log = pseam::take_log();
		EXPECT_EQ(only(log, {"cond_init", "mutex_init", "create"}), made);
		ASSERT_GE(log.size(), last.size());
		EXPECT_EQ(strings(log.end() - std::ptrdiff_t(last.size()), log.end()), last);
		// The stream is closed, the flags are false all the same.
		EXPECT_EQ(mImageCount, reads_config ? 1 : 77);
		EXPECT_EQ(boot_conf_seam::opens, 1);
		EXPECT_EQ(boot_conf_seam::stream, nullptr);
		EXPECT_FALSE(g_vsync.enable.load());
		EXPECT_FALSE(g_vsync.exit.load());
		expect_control_touches_nothing();
	};
	check(pseam::cond_init, EAGAIN, false,
	      "Failed to int thread start_boot_thread condition 11\n", {"cond_init 11"},
	      {"cond_init 11"});
	// The condition, initialised, is destroyed again after the lock failed.
	check(pseam::mutex_init, ENOMEM, false, "Failed to init thread  lock 12\n",
	      {"cond_init", "mutex_init 12"}, {"mutex_init 12", "cond_destroy"});
	check(pseam::create, EAGAIN, true,
	      "start_boot_thread: mDrmFd = 7\nCould not create thread  11\n",
	      {"cond_init", "mutex_init", "create 11"},
	      {"create 11", "mutex_destroy", "cond_destroy"});
}

TEST_F(Lifecycle, ControlSignalsWhileHoldingTheLockAndReturnsAFailedSignal)
{
	start_without_worker();
	const char *const failed = "Failed to signal condition  thread 22\n";
	for (int err : {0, EINVAL}) {
		SCOPED_TRACE(err);
		g_vsync_count = 9;
		if (err)
			pseam::arm(pseam::signal, err);
		// A failing signal is printed twice, around the status line.
		const std::string around = err ? failed : "";
		int result = -1;
		EXPECT_EQ(control(1, &result),
		          around + "vsync_control: enable=1 exit=0\n" + around);
		EXPECT_EQ(result, err);
		EXPECT_EQ(pseam::take_log(),
		          (strings{"lock", err ? "signal 22" : "signal", "unlock"}));
		EXPECT_TRUE(g_vsync.enable.load());
		EXPECT_EQ(g_vsync_count.load(), 0);
	}
}

TEST_F(Lifecycle, ThreadLoopRetriesAFailedLockAtOnceAndEndsWhenItCannotUnlock)
{
	start_without_worker();
	auto check = [&](pseam::op op, int err, bool exit, const std::string &out,
	                 const strings &log) {
		SCOPED_TRACE(out);
		g_vsync.exit = exit;
		g_vsync.enable = !exit;
		pseam::arm(op, err);
		output_capture cap;
		EXPECT_EQ(vsync_thread_main(nullptr), nullptr);
		EXPECT_EQ(cap.stop(), out);
		EXPECT_EQ(pseam::take_log(), log);
		// No cycle ran.
		EXPECT_TRUE(sim::requests().empty());
		EXPECT_EQ(g_vsync_count.load(), 0);
	};
	check(pseam::lock, EDEADLK, true, "Failed to lock vsyncThread thread 35\n",
	      {"lock 35", "lock", "unlock"});
	check(pseam::unlock, EPERM, false, "Failed to unlock vsyncThread thread 1\n",
	      {"lock", "unlock 1"});
}

TEST_F(Lifecycle, CycleThatCannotLockEnds)
{
	start_without_worker();
	g_vsync.enable = true;

	// The lock before the enable test: nothing else happens.
	pseam::arm(pseam::lock, EDEADLK);
	EXPECT_EQ(cycle(), "Failed to lock worker 35 \n");
	EXPECT_EQ(pseam::take_log(), (strings{"lock 35"}));
	EXPECT_TRUE(sim::requests().empty());
	EXPECT_EQ(g_vsync_count.load(), 0);

	// The lock around the count: the cycle has waited and scanned but neither counts nor
	// plays.
	pseam::arm(pseam::lock, EDEADLK, 2);
	EXPECT_EQ(cycle(), "Failed to lock worker 35 \n");
	EXPECT_EQ(pseam::take_log(), (strings{"lock", "unlock", "lock 35"}));
	EXPECT_EQ(requests_named("WAIT_VBLANK").size(), 1u);
	EXPECT_FALSE(requests_named("MODE_GETPLANERESOURCES").empty());
	EXPECT_TRUE(sim::commits().empty());
	EXPECT_EQ(g_vsync_count.load(), 0);

	EXPECT_EQ(cycle(), play_line());
	EXPECT_EQ(g_vsync_count.load(), 1);
}

TEST_F(Lifecycle, CycleThatCannotUnlockGoesOn)
{
	start_without_worker();
	g_vsync.enable = true;
	for (int nth : {1, 2}) {
		SCOPED_TRACE(nth);
		g_vsync_count = 0;
		pseam::arm(pseam::unlock, EPERM, nth);
		EXPECT_EQ(cycle(), "Failed to unlock worker 1 \n" + play_line());
		EXPECT_EQ(pseam::take_log(),
		          nth == 1 ? (strings{"lock", "unlock 1", "lock", "unlock"})
		                   : (strings{"lock", "unlock", "lock", "unlock 1"}));
		EXPECT_EQ(g_vsync_count.load(), 1);
	}
}

TEST_F(Lifecycle, DisabledCycleWaitsOnceAndAWakeUpWhileDisabledEndsIt)
{
	start_without_worker();
	pseam::wake_at_once = true;
	g_vsync_count = 3;
	EXPECT_EQ(cycle(), "vsync: pthread_cond_wait\n");
	EXPECT_EQ(pseam::take_log(), (strings{"lock", "wait", "unlock"}));
	EXPECT_TRUE(sim::requests().empty());
	EXPECT_EQ(g_vsync_count.load(), 3);
}

TEST_F(Lifecycle, WorkerToldToExitNeverWaits)
{
	start_without_worker();
	g_vsync.exit = true;
	EXPECT_EQ(cycle(), "");
	EXPECT_EQ(pseam::take_log(), (strings{"lock", "unlock"}));
	EXPECT_TRUE(sim::requests().empty());

	// Nor does the thread loop.
	output_capture cap;
	EXPECT_EQ(vsync_thread_main(nullptr), nullptr);
	EXPECT_EQ(cap.stop(), "");
	EXPECT_EQ(pseam::take_log(), (strings{"lock", "unlock"}));
}

TEST_F(Lifecycle, ReleaseStopsTheWorkerThenFreesTheMappedSlots)
{
	start_without_worker();
	bo *unmapped = frame_buffer();
	unmap_buffer(unmapped);
	mSfJpegBufInfo[0].mBuf = unmapped;
	std::string expected;
	for (int i = 1; i < 4; i++) {
		mSfJpegBufInfo[i].mBuf = frame_buffer();
		expected += release_line(i, mSfJpegBufInfo[i].mBuf);
	}
	ASSERT_EQ(sim::live().framebuffers, 4);

	EXPECT_EQ(release(), expected);
	EXPECT_EQ(pseam::take_log(),
	          (strings{"lock", "unlock", "signal", "join", "cond_destroy", "mutex_destroy"}));
	EXPECT_EQ(mSfJpegBufInfo[0].mBuf, unmapped);
	for (int i = 1; i < 4; i++)
		EXPECT_EQ(mSfJpegBufInfo[i].mBuf, nullptr);
	sim::live_counts live = sim::live();
	EXPECT_EQ(live.framebuffers, 1);
	EXPECT_EQ(live.dumb_buffers, 1);
	EXPECT_EQ(live.mappings, 0);

	// Afterwards the destroyed primitives are left alone.
	int result = -1;
	EXPECT_EQ(control(1, &result), "vsync_control: enable=1 exit=1\n");
	EXPECT_EQ(pseam::take_log(), strings{});
}

TEST_F(Lifecycle, FailedSignalStopsTheRelease)
{
	start_without_worker();
	mSfJpegBufInfo[1].mBuf = frame_buffer();
	std::string line = release_line(1, mSfJpegBufInfo[1].mBuf);
	pseam::arm(pseam::signal, EINVAL);
	EXPECT_EQ(release(), "Failed to signal condition  thread 22\n");
	EXPECT_EQ(pseam::take_log(), (strings{"lock", "unlock", "signal 22"}));
	// Nothing joined, destroyed or freed: the worker may still be running.
	EXPECT_NE(mSfJpegBufInfo[1].mBuf, nullptr);
	EXPECT_EQ(sim::live().framebuffers, 1);

	EXPECT_EQ(release(), line);
	EXPECT_EQ(pseam::take_log(),
	          (strings{"lock", "unlock", "signal", "join", "cond_destroy", "mutex_destroy"}));
	EXPECT_EQ(sim::live().framebuffers, 0);
}

TEST_F(Lifecycle, FailedJoinIsReportedAndTheReleaseGoesOn)
{
	start_without_worker();
	mSfJpegBufInfo[2].mBuf = frame_buffer();
	std::string line = release_line(2, mSfJpegBufInfo[2].mBuf);
	pseam::arm(pseam::join, ESRCH);
	EXPECT_EQ(release(), "Couldn't cancel vsync thread \n" + line);
	EXPECT_EQ(pseam::take_log(),
	          (strings{"lock", "unlock", "signal", "join 3", "cond_destroy", "mutex_destroy"}));
	EXPECT_EQ(mSfJpegBufInfo[2].mBuf, nullptr);
}

// Checks, in a process of its own, what the worker's primitives do from process start: they
// work before start_boot_thread, and a teardown without a started thread joins nothing.
int fresh_process_checks()
{
	int failures = 0;
	auto check = [&](bool ok, const std::string &what) {
		if (!ok) {
			fprintf(stderr, "failed: %s\n", what.c_str());
			failures++;
		}
	};
	output_capture cap;
	int result = vsync_control(1);
	std::string out = cap.stop();
	check(result == 0, "vsync_control result");
	check(out == "vsync_control: enable=1 exit=0\n", "status line: " + out);
	check(pseam::take_log() == strings{"lock", "signal", "unlock"}, "control uses the lock");

	output_capture cap2;
	release_boot_resources();
	out = cap2.stop();
	check(out == "Couldn't cancel vsync thread \n", "release output: " + out);
	strings log = pseam::take_log();
	check(log == strings{"lock", "unlock", "signal", "cond_destroy", "mutex_destroy"},
	      "release joins no thread");
	return failures ? 1 : 0;
}

TEST(LifecycleFromProcessStart, ControlWorksAndReleaseJoinsNoThread)
{
	GTEST_FLAG_SET(death_test_style, "threadsafe");
	EXPECT_EXIT(exit(fresh_process_checks()), ::testing::ExitedWithCode(0), "");
}

} // namespace
