// The player's cost beyond decoding: a whole run of 30 1920x1080 frames with no pause, against
// jpeg_sf_decode of the same files into one mapped buffer; and what one present_frame asks of
// the card.
#include <array>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include <benchmark/benchmark.h>
#include <drm_fourcc.h>
#include <fcntl.h>

#include "animation/boot_config.h"
#include "animation/player.h"
#include "animation/present.h"
#include "decode/jpeg_decoder.h"
#include "display/display.h"
#include "sim/sim.h"
#include "tests/support/card.h"
#include "tests/support/jpeg_file.h"

namespace
{

constexpr int k_frames = 30;
constexpr int k_w = 1920, k_h = 1080;

struct setup {
	std::string dir;
	int fd = -1;
	bool resident = false;
};

// The frames, written once, and the card: fresh memory for every buffer (the default, like the
// shmem-backed drivers) or resident memory (like the contiguous allocators of embedded display
// controllers). Switching installs a new card and runs discovery again.
setup &frames(bool resident)
{
	static setup s = [] {
		setup r;
		r.dir = make_temp_dir();
		for (int k = 0; k < k_frames; k++)
			write_jpeg(r.dir + "/" + std::to_string(k) + ".jpg",
			           test_picture(k_w, k_h, k), 85);
		snprintf(mBootAnimPath, sizeof mBootAnimPath, "%s", r.dir.c_str());
		mImageCount = k_frames;
		mFps = 0;
		return r;
	}();
	if (s.fd < 0 || s.resident != resident) {
		sim::topology t = *sim::preset("hdmi-1080p");
		// The first plane offers RG24 here, so every frame is shown.
		t.planes[0].formats.push_back(DRM_FORMAT_RGB888);
		t.driver.resident_buffers = resident;
		install_card(t);
		s.fd = open_atomic_card();
		s.resident = resident;
		drm_load_resources(s.fd);
		drm_get_connector(s.fd);
		drm_find_encoder(s.fd);
	}
	return s;
}

double now_ns()
{
	timespec t{};
	clock_gettime(CLOCK_MONOTONIC, &t);
	return double(t.tv_sec) * 1e9 + double(t.tv_nsec);
}

// Time spent in the wrapped buffer and decode calls since the last reset.
double g_buffer_work_ns = 0;

struct buffer_work_timer {
	double t0 = now_ns();
	~buffer_work_timer()
	{
		g_buffer_work_ns += now_ns() - t0;
	}
};

void per_frame_counters(benchmark::State &state)
{
	state.counters["frames_per_s"] = benchmark::Counter(double(k_frames) * state.iterations(),
	                                                    benchmark::Counter::kIsRate);
	state.counters["s_per_frame"] =
	        benchmark::Counter(double(k_frames) * state.iterations(),
	                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The player's progress lines go nowhere while it is measured.
struct quiet_stdout {
	quiet_stdout()
	{
		fflush(stdout);
		saved = dup(1);
		int null = open("/dev/null", O_WRONLY);
		dup2(null, 1);
		close(null);
	}
	~quiet_stdout()
	{
		fflush(stdout);
		dup2(saved, 1);
		close(saved);
	}
	int saved;
};

// Argument "resident": 1 for resident buffer memory, 0 for fresh memory per buffer.
void both_memories(benchmark::internal::Benchmark *b)
{
	b->ArgName("resident")
	        ->Arg(0)
	        ->Arg(1)
	        ->Unit(benchmark::kMillisecond)
	        ->UseRealTime()
	        ->MinTime(2.0);
}

// Counter own_ms: the run's time less what the player spent inside the buffers' creation, the
// decode and the buffers' teardown (framebuffer removal excepted, which is the player's), timed
// in the same run through the linker's wrappers below. This is the player's own cost, free of
// the cache and frequency drift between two separately timed benchmarks. buffers_ms is the
// wrapped time itself, to set beside BM_DecodeIntoNewBuffers.
void BM_PlayThirtyFrames(benchmark::State &state)
{
	setup &s = frames(state.range(0) != 0);
	double own_ns = 0, buffers_ns = 0;
	for (auto _ : state) {
		quiet_stdout quiet;
		g_buffer_work_ns = 0;
		const double t0 = now_ns();
		play_boot_animation(s.fd);
		own_ns += now_ns() - t0 - g_buffer_work_ns;
		buffers_ns += g_buffer_work_ns;
	}
	per_frame_counters(state);
	const double per_frame_ns = double(k_frames) * double(state.iterations()) * 1e6;
	state.counters["own_ms"] = own_ns / per_frame_ns;
	state.counters["buffers_ms"] = buffers_ns / per_frame_ns;
}
BENCHMARK(BM_PlayThirtyFrames)->Apply(both_memories);

// The decode alone, into one buffer mapped once: RG24 (xr24:0), or XR24 as drivers without an
// RG24 plane get it (xr24:1), which must keep at least 0.9 times RG24's rate.
void BM_DecodeThirtyFrames(benchmark::State &state)
{
	setup &s = frames(false);
	bo *b = bo_create(s.fd, state.range(0) ? DRM_FORMAT_XRGB8888 : DRM_FORMAT_RGB888, k_w, k_h);
	for (auto _ : state)
		for (int k = 0; k < k_frames; k++)
			jpeg_sf_decode((s.dir + "/" + std::to_string(k) + ".jpg").c_str(), b);
	per_frame_counters(state);
	bo_release(b);
}
BENCHMARK(BM_DecodeThirtyFrames)
        ->ArgName("xr24")
        ->Arg(0)
        ->Arg(1)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->MinTime(2.0);

// The decode into a new buffer per frame, as the player does it: the buffer's creation, first
// touch of its memory and teardown, with the last three buffers kept alive as the ring keeps
// them (so the same memory footprint), without size probe, lookups, framebuffer or commit.
void BM_DecodeIntoNewBuffers(benchmark::State &state)
{
	setup &s = frames(state.range(0) != 0);
	std::array<bo *, 3> ring{};
	const auto release = [](bo *&b) {
		if (!b)
			return;
		bo_release(b);
		b = nullptr;
	};
	for (auto _ : state) {
		for (int k = 0; k < k_frames; k++) {
			bo *&oldest = ring[size_t(k) % ring.size()];
			release(oldest);
			oldest = bo_create(s.fd, DRM_FORMAT_RGB888, k_w, k_h);
			jpeg_sf_decode((s.dir + "/" + std::to_string(k) + ".jpg").c_str(), oldest);
		}
	}
	// The ring lives on from one run to the next, as the player's does: every frame of a run
	// releases one buffer, none is released outside the timing.
	for (bo *&b : ring)
		release(b);
	per_frame_counters(state);
}
BENCHMARK(BM_DecodeIntoNewBuffers)->Apply(both_memories);

// What the host charges for a frame's worth of fresh shared memory, without any DRM: create,
// map, write every byte once, unmap. This is the floor under "fresh memory per buffer".
void BM_FreshMemoryFirstTouch(benchmark::State &state)
{
	const size_t size = size_t(k_w) * k_h * 3;
	for (auto _ : state) {
		const int memfd = memfd_create("bench", MFD_CLOEXEC);
		if (memfd < 0 || ftruncate(memfd, off_t(size)) != 0) {
			state.SkipWithError("memfd");
			break;
		}
		void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, memfd, 0);
		if (p == MAP_FAILED) {
			state.SkipWithError("mmap");
			close(memfd);
			break;
		}
		memset(p, 0x5a, size);
		benchmark::DoNotOptimize(p);
		munmap(p, size);
		close(memfd);
	}
}
BENCHMARK(BM_FreshMemoryFirstTouch)->Unit(benchmark::kMillisecond)->UseRealTime();

// Where the player's own time goes, per frame, each step of play_boot_animation on its own over
// the thirty frames (resident memory): finding the file, reading its header, the two progress
// lines (to /dev/null), registering and removing the framebuffer, and present_frame. Counters in
// microseconds per frame.
void BM_PlayerSteps(benchmark::State &state)
{
	setup &s = frames(true);
	bo *b = bo_create(s.fd, DRM_FORMAT_RGB888, k_w, k_h);
	uint32_t handles[4] = {b->handle}, pitches[4] = {uint32_t(b->pitch)}, offsets[4] = {};
	enum { find, header, lines, framebuffer, present, steps };
	std::array<double, steps> ns{};
	const auto now = now_ns;
	frame_path_buffer path;
	for (auto _ : state) {
		quiet_stdout quiet;
		for (int k = 0; k < k_frames; k++) {
			double t0 = now();
			find_frame_file(mBootAnimPath, nullptr, k, path);
			double t1 = now();
			int w = 0, h = 0;
			jpeg_get_size(path.data(), &w, &h);
			double t2 = now();
			printf("picPath: %s \n", path.data());
			printf("free: mSfJpegBufInfo[0].mPath %s \n", path.data());
			double t3 = now();
			drmModeAddFB2(s.fd, k_w, k_h, DRM_FORMAT_RGB888, handles, pitches, offsets,
			              &b->fb_id, 0);
			double t4 = now();
			present_frame(s.fd, b);
			double t5 = now();
			drmModeRmFB(s.fd, b->fb_id);
			double t6 = now();
			ns[find] += t1 - t0;
			ns[header] += t2 - t1;
			ns[lines] += t3 - t2;
			ns[framebuffer] += (t4 - t3) + (t6 - t5);
			ns[present] += t5 - t4;
		}
	}
	const double frames_done = double(k_frames) * double(state.iterations());
	const char *names[steps] = {"find_us", "header_us", "lines_us", "addfb_rmfb_us",
	                            "present_us"};
	for (int i = 0; i < steps; i++)
		state.counters[names[i]] = ns[size_t(i)] / frames_done / 1000.0;
	b->fb_id = 0;
	bo_release(b);
}
BENCHMARK(BM_PlayerSteps)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// One present_frame: its time, and its requests by name as counters.
void BM_PresentFrame(benchmark::State &state)
{
	setup &s = frames(false);
	bo *b = bo_create(s.fd, DRM_FORMAT_RGB888, k_w, k_h);
	uint32_t handles[4] = {b->handle}, pitches[4] = {uint32_t(b->pitch)}, offsets[4] = {};
	drmModeAddFB2(s.fd, k_w, k_h, DRM_FORMAT_RGB888, handles, pitches, offsets, &b->fb_id, 0);
	for (auto _ : state)
		present_frame(s.fd, b);
	sim::clear_records();
	present_frame(s.fd, b);
	std::map<std::string, int> by_name;
	for (const auto &r : sim::requests())
		by_name[r.name]++;
	int total = 0;
	for (const auto &[name, n] : by_name) {
		state.counters[name] = n;
		total += n;
	}
	state.counters["requests"] = total;
	bo_release(b);
}
BENCHMARK(BM_PresentFrame)->Unit(benchmark::kMicrosecond);

} // namespace

// The player's calls to these reach the wrappers (-Wl,--wrap of the mangled names in
// bench/player.cmake); the real functions keep their names with the __real_ prefix.
bo *real_bo_create(int fd, uint32_t format, uint32_t width, uint32_t height,
                   bool *dumb_refused) __asm__("__real__Z9bo_createijjjPb");
void real_bo_release(bo *b) __asm__("__real__Z10bo_releaseP2bo");
bool real_jpeg_sf_decode(const char *path, bo *b) __asm__("__real__Z14jpeg_sf_decodePKcP2bo");
bool real_jpeg_sf_decode_centred(const char *path,
                                 bo *b) __asm__("__real__Z22jpeg_sf_decode_centredPKcP2bo");

bo *wrap_bo_create(int fd, uint32_t format, uint32_t width, uint32_t height,
                   bool *dumb_refused) __asm__("__wrap__Z9bo_createijjjPb");
bo *wrap_bo_create(int fd, uint32_t format, uint32_t width, uint32_t height, bool *dumb_refused)
{
	buffer_work_timer t;
	return real_bo_create(fd, format, width, height, dumb_refused);
}

void wrap_bo_release(bo *b) __asm__("__wrap__Z10bo_releaseP2bo");
void wrap_bo_release(bo *b)
{
	// Removing the framebuffer is the player's own request; the rest is the buffer's.
	if (b && b->fb_id) {
		drmModeRmFB(b->fd, b->fb_id);
		b->fb_id = 0;
	}
	buffer_work_timer t;
	real_bo_release(b);
}

bool wrap_jpeg_sf_decode(const char *path, bo *b) __asm__("__wrap__Z14jpeg_sf_decodePKcP2bo");
bool wrap_jpeg_sf_decode(const char *path, bo *b)
{
	buffer_work_timer t;
	return real_jpeg_sf_decode(path, b);
}

bool wrap_jpeg_sf_decode_centred(const char *path,
                                 bo *b) __asm__("__wrap__Z22jpeg_sf_decode_centredPKcP2bo");
bool wrap_jpeg_sf_decode_centred(const char *path, bo *b)
{
	buffer_work_timer t;
	return real_jpeg_sf_decode_centred(path, b);
}

BENCHMARK_MAIN();
