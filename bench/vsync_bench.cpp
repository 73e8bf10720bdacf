// The vsync worker on the virtual card, linked into this program.
//
// steady_cost/vblank and steady_cost/software_clock: once the animation has played, the worker
// runs on for VSYNC_BENCH_SECONDS (10 by default) at 60 Hz, on the pipe's vblank or on the
// software clock. Counters: the process's CPU time (user + system, from getrusage) in ms per
// minute and in percent of one core, worker cycles per second, and the process's context
// switches per second (each one a wake-up; the waiting main thread adds about none). The card
// runs in this process, so its share of every request is counted as well, where a kernel would
// count it elsewhere.
//
// control_to_first_commit_1080p: the worker waits disabled; the time from vsync_control(1) to the
// return of the commit that shows the first frame, a 1920x1080 JPEG (the wake-up, one vblank
// wait, the 10 ms pause, the plane scan, the decode, the framebuffer and the commit). One run per
// repetition; the median aggregate is the figure.
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <sys/resource.h>
#include <thread>

#include <benchmark/benchmark.h>
#include <drm_fourcc.h>

#include "animation/boot_config.h"
#include "display/display.h"
#include "sim/sim.h"
#include "tests/support/boot_conf_seam.h"
#include "tests/support/capture.h"
#include "tests/support/card.h"
#include "tests/support/jpeg_file.h"
#include "tests/support/seam.h"
#include "vsync/vsync.h"

using steady = std::chrono::steady_clock;

// boot.conf is read from the bench's own file; the first commit after arming is timed.
namespace seam
{
namespace
{
std::mutex lock;
std::condition_variable done;
bool armed = false;
bool committed = false;
steady::time_point at;
} // namespace
} // namespace seam

extern "C" int drmModeAtomicCommit(int fd, drmModeAtomicReqPtr req, uint32_t flags, void *data)
{
	int ret = SEAM_NEXT(drmModeAtomicCommit)(fd, req, flags, data);
	steady::time_point now = steady::now();
	std::lock_guard hold(seam::lock);
	if (seam::armed && !seam::committed) {
		seam::committed = true;
		seam::at = now;
		seam::done.notify_all();
	}
	return ret;
}

namespace
{

using namespace std::chrono_literals;

sim::topology card(bool vblank)
{
	sim::mode_def m = test_mode(1920, 1080);
	m.clock = 148500;
	const sim::plane_def overlay =
	        test_plane(DRM_PLANE_TYPE_OVERLAY, {DRM_FORMAT_XRGB8888, DRM_FORMAT_ARGB8888});
	sim::topology t = lit_hdmi_card(
	        {m}, {test_plane(DRM_PLANE_TYPE_PRIMARY, {DRM_FORMAT_XRGB8888, DRM_FORMAT_RGB888}),
	              overlay, overlay});
	t.driver.vblank = vblank;
	return t;
}

// A card, one 1920x1080 frame and a started worker, disabled.
class worker_rig
{
public:
	explicit worker_rig(bool vblank)
	{
		dir_ = make_temp_dir();
		write_jpeg(dir_ + "/0.jpg", test_picture(1920, 1080, 0), 85);
		boot_conf_seam::path = dir_ + "/boot.conf";
		std::ofstream(boot_conf_seam::path) << "cnt=1\npath=" << dir_ << "\nfps=1000\n";
		install_card(card(vblank));
		open_and_discover(&fd_);
		start_boot_thread(fd_);
	}

	~worker_rig()
	{
		output_capture quiet;
		release_boot_resources();
		install_card(sim::topology{});
		remove_tree(dir_);
	}

	worker_rig(const worker_rig &) = delete;
	worker_rig &operator=(const worker_rig &) = delete;

	// vsync_control(1), then the time until the first commit has returned.
	steady::duration control_to_commit()
	{
		{
			std::lock_guard hold(seam::lock);
			seam::armed = true;
			seam::committed = false;
		}
		steady::time_point start = steady::now();
		vsync_control(1);
		std::unique_lock hold(seam::lock);
		seam::done.wait(hold, [] { return seam::committed; });
		seam::armed = false;
		return seam::at - start;
	}

private:
	std::string dir_;
	int fd_ = -1;
};

double seconds_of(const timeval &t)
{
	return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

void steady_cost(benchmark::State &state, bool vblank)
{
	const char *env = getenv("VSYNC_BENCH_SECONDS");
	const double seconds = env ? atof(env) : 10.0;
	output_capture quiet;
	for (auto _ : state) {
		worker_rig rig(vblank);
		rig.control_to_commit();
		// The one frame has been shown; let the play end and the worker settle.
		std::this_thread::sleep_for(500ms);

		rusage before{}, after{};
		getrusage(RUSAGE_SELF, &before);
		int32_t cycles_before = g_vsync_count.load();
		steady::time_point start = steady::now();
		std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
		steady::time_point end = steady::now();
		int32_t cycles_after = g_vsync_count.load();
		getrusage(RUSAGE_SELF, &after);

		double elapsed = std::chrono::duration<double>(end - start).count();
		double cpu = seconds_of(after.ru_utime) - seconds_of(before.ru_utime) +
		             seconds_of(after.ru_stime) - seconds_of(before.ru_stime);
		long switches =
		        (after.ru_nvcsw - before.ru_nvcsw) + (after.ru_nivcsw - before.ru_nivcsw);
		state.SetIterationTime(elapsed);
		state.counters["cpu_ms_per_min"] = cpu * 1000.0 * 60.0 / elapsed;
		state.counters["cpu_pct_core"] = cpu * 100.0 / elapsed;
		state.counters["cycles_per_s"] = double(cycles_after - cycles_before) / elapsed;
		state.counters["wakeups_per_s"] = double(switches) / elapsed;
	}
	quiet.stop();
}

void BM_steady_cost_vblank(benchmark::State &state)
{
	steady_cost(state, true);
}

void BM_steady_cost_software_clock(benchmark::State &state)
{
	steady_cost(state, false);
}

void BM_control_to_first_commit_1080p(benchmark::State &state)
{
	output_capture quiet;
	static worker_rig *rig = nullptr;
	if (!rig)
		rig = new worker_rig(true);
	for (auto _ : state) {
		// The worker must be waiting disabled: the last run's cycle and play have ended.
		vsync_control(0);
		std::this_thread::sleep_for(100ms);
		steady::duration d = rig->control_to_commit();
		state.SetIterationTime(std::chrono::duration<double>(d).count());
	}
	vsync_control(0);
	std::this_thread::sleep_for(100ms); // the worker's last line before it waits
	quiet.stop();
}

} // namespace

BENCHMARK(BM_steady_cost_vblank)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_steady_cost_software_clock)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_control_to_first_commit_1080p)
        ->Iterations(1)
        ->Repetitions(15)
        ->ReportAggregatesOnly(true)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
