// whole_program_bench: the real bootanim under the virtual card (LD_PRELOAD) in private
// namespaces, measured from outside:
//   - ExecToFirstFrame: from starting the process to the commit of the first 1920x1080 frame
//     (reported as the median of 10 runs), on a card whose blocking commits wait for the next
//     vertical blank as hardware does: /0 with the console lit, /1 without it, where the player
//     first sets the monitor's mode; NamespaceSetup is the part of it spent before the player
//     itself runs (unshare, the bind mount, exec);
//   - PeakRss100Frames: the resident-set peak (VmHWM) of a 100-frame 1920x1080 run, with the
//     card's live buffer counts at its end;
//   - IdleCpuPerMinute: CPU time (user + system) per minute once the animation has played and the
//     worker only cycles at 60 Hz.
// The card's dumb buffers live in the player's own memory here, as mapped buffers do on a device.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "tools/player_harness.h"

namespace
{

// Frames drawn once per size and count, shared by the runs of one benchmark.
std::string make_animation(const harness::scratch_dir &dir, int count, const char *size, int fps)
{
	const std::string anim = dir.path() + "/mnt/bootanimation";
	mkdir((dir.path() + "/mnt").c_str(), 0755);
	const std::string cmd = std::string(MAKE_FRAMES_PATH) + " -n " + std::to_string(count) +
	                        " -s " + size + " -r " + std::to_string(fps) + " " + anim +
	                        " >/dev/null";
	return std::system(cmd.c_str()) == 0 ? anim : "";
}

harness::player_options options(bool control)
{
	harness::player_options o;
	o.bootanim = BOOTANIM_PATH;
	o.preload = SIMKMS_PRELOAD_PATH;
	o.control = control;
	return o;
}

void ExecToFirstFrame(benchmark::State &state)
{
	harness::scratch_dir dir;
	if (make_animation(dir, 1, "1920x1080", 15).empty()) {
		state.SkipWithError("make_frames failed");
		return;
	}
	harness::player_options o = options(true);
	o.card_settings = {"commit_waits_vblank 1"};
	if (state.range(0) == 1)
		o.card_settings.push_back("console 0");
	// The frame's commit: a plain one (the mode set also asks for a flip event) showing a
	// framebuffer.
	const auto frame_committed = [](const std::vector<std::string> &commits) {
		for (const std::string &c : commits)
			if (c.starts_with("flags=0x400 error=0 ") &&
			    c.find(":FB_ID=") != std::string::npos)
				return true;
		return false;
	};
	for (auto _ : state) {
		harness::player p(dir.path());
		const int64_t t0 = harness::now_ms();
		timespec start{};
		clock_gettime(CLOCK_MONOTONIC, &start);
		if (!p.start(o)) {
			state.SkipWithError("the player did not start");
			return;
		}
		// The control channel answers as soon as the card is open; poll it for the commit.
		bool shown = false;
		while (!shown && harness::now_ms() - t0 < 20000) {
			shown = frame_committed(p.commits());
			if (!shown)
				usleep(500);
		}
		timespec end{};
		clock_gettime(CLOCK_MONOTONIC, &end);
		if (!shown) {
			state.SkipWithError("no frame within 20 s");
			return;
		}
		state.SetIterationTime(double(end.tv_sec - start.tv_sec) +
		                       double(end.tv_nsec - start.tv_nsec) * 1e-9);
		p.stop(SIGKILL, 2000);
	}
}
BENCHMARK(ExecToFirstFrame)
        ->Arg(0)
        ->Arg(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1)
        ->Repetitions(10)
        ->ReportAggregatesOnly(true);

void NamespaceSetup(benchmark::State &state)
{
	harness::scratch_dir dir;
	mkdir((dir.path() + "/mnt").c_str(), 0755);
	for (auto _ : state) {
		harness::player p(dir.path());
		harness::player_options o;
		o.bootanim = "/bin/true";
		timespec start{};
		clock_gettime(CLOCK_MONOTONIC, &start);
		if (!p.start(o)) {
			state.SkipWithError("unshare did not start");
			return;
		}
		while (p.alive())
			usleep(200);
		timespec end{};
		clock_gettime(CLOCK_MONOTONIC, &end);
		state.SetIterationTime(double(end.tv_sec - start.tv_sec) +
		                       double(end.tv_nsec - start.tv_nsec) * 1e-9);
	}
}
BENCHMARK(NamespaceSetup)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1)
        ->Repetitions(10)
        ->ReportAggregatesOnly(true);

void PeakRss100Frames(benchmark::State &state)
{
	harness::scratch_dir dir;
	if (make_animation(dir, 100, "1920x1080", 30).empty()) {
		state.SkipWithError("make_frames failed");
		return;
	}
	for (auto _ : state) {
		harness::player p(dir.path());
		if (!p.start(options(true)) ||
		    !p.wait_for("picPath: /mnt/bootanimation/frames/99.jpg \n", 120000)) {
			state.SkipWithError("the animation did not play to its end");
			return;
		}
		const int64_t t0 = harness::now_ms();
		while (p.commits().size() < 100 && harness::now_ms() - t0 < 20000)
			usleep(10000);
		usleep(200000);
		state.counters["peak_rss_MiB"] = double(p.peak_rss_kib()) / 1024.0;
		const std::string live = p.command("live").value_or("");
		int files = 0, dumb = 0, mappings = 0, fbs = 0, blobs = 0;
		sscanf(live.c_str(),
		       "files=%d dumb_buffers=%d mappings=%d framebuffers=%d blobs=%d", &files,
		       &dumb, &mappings, &fbs, &blobs);
		state.counters["dumb_buffers_at_end"] = dumb;
		state.counters["framebuffers_at_end"] = fbs;
		state.counters["frames_committed"] = double(p.commits().size());
		p.stop(SIGKILL, 2000);
	}
}
BENCHMARK(PeakRss100Frames)->Unit(benchmark::kSecond)->Iterations(1);

void IdleCpuPerMinute(benchmark::State &state)
{
	harness::scratch_dir dir;
	if (make_animation(dir, 1, "1920x1080", 15).empty()) {
		state.SkipWithError("make_frames failed");
		return;
	}
	const int seconds = int(state.range(0));
	for (auto _ : state) {
		harness::player p(dir.path());
		// Without the card's control thread, so that only the player's own threads count.
		if (!p.start(options(false)) ||
		    !p.wait_for("picPath: /mnt/bootanimation/frames/0.jpg \n", 20000)) {
			state.SkipWithError("the animation did not play");
			return;
		}
		sleep(2);
		const double cpu0 = p.cpu_seconds();
		const int64_t t0 = harness::now_ms();
		sleep(unsigned(seconds));
		const double cpu1 = p.cpu_seconds();
		const double wall = double(harness::now_ms() - t0) / 1000.0;
		state.counters["cpu_s_per_min"] = (cpu1 - cpu0) * 60.0 / wall;
		state.counters["percent_of_a_core"] = (cpu1 - cpu0) * 100.0 / wall;
		p.stop(SIGKILL, 2000);
	}
}
BENCHMARK(IdleCpuPerMinute)->Arg(30)->Unit(benchmark::kSecond)->Iterations(1);

} // namespace

BENCHMARK_MAIN();
