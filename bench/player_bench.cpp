// The player's cost beyond decoding: a whole run of 30 1920x1080 frames with no pause, against
// jpeg_sf_decode of the same files into one mapped buffer; and what one present_frame asks of
// the card.
#include <cstdio>
#include <map>
#include <string>
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
};

setup &frames()
{
	static setup s = [] {
		setup r;
		r.dir = make_temp_dir();
		for (int k = 0; k < k_frames; k++)
			write_jpeg(r.dir + "/" + std::to_string(k) + ".jpg",
			           test_picture(k_w, k_h, k), 85);
		sim::topology t = *sim::preset("hdmi-1080p");
		// The first plane offers RG24 here, so every frame is shown.
		t.planes[0].formats.push_back(DRM_FORMAT_RGB888);
		install_card(t);
		r.fd = open_atomic_card();
		drm_load_resources(r.fd);
		drm_get_connector(r.fd);
		drm_find_encoder(r.fd);
		snprintf(mBootAnimPath, sizeof mBootAnimPath, "%s", r.dir.c_str());
		mImageCount = k_frames;
		mFps = 0;
		return r;
	}();
	return s;
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

void BM_PlayThirtyFrames(benchmark::State &state)
{
	setup &s = frames();
	for (auto _ : state) {
		quiet_stdout quiet;
		play_boot_animation(s.fd);
	}
	state.counters["frames_per_s"] = benchmark::Counter(double(k_frames) * state.iterations(),
	                                                    benchmark::Counter::kIsRate);
	state.counters["s_per_frame"] =
	        benchmark::Counter(double(k_frames) * state.iterations(),
	                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_PlayThirtyFrames)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

void BM_DecodeThirtyFrames(benchmark::State &state)
{
	setup &s = frames();
	bo *b = bo_create(s.fd, DRM_FORMAT_RGB888, k_w, k_h);
	for (auto _ : state)
		for (int k = 0; k < k_frames; k++)
			jpeg_sf_decode((s.dir + "/" + std::to_string(k) + ".jpg").c_str(), b);
	state.counters["s_per_frame"] =
	        benchmark::Counter(double(k_frames) * state.iterations(),
	                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
	unmap_buffer(b);
	destroy_buffer(b);
	bo_free(b);
}
BENCHMARK(BM_DecodeThirtyFrames)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// The decode into a new buffer per frame, as the player does it: the buffer's creation, first
// touch of its memory and teardown, without lookups or commits.
void BM_DecodeIntoNewBuffers(benchmark::State &state)
{
	setup &s = frames();
	for (auto _ : state)
		for (int k = 0; k < k_frames; k++) {
			bo *b = bo_create(s.fd, DRM_FORMAT_RGB888, k_w, k_h);
			jpeg_sf_decode((s.dir + "/" + std::to_string(k) + ".jpg").c_str(), b);
			unmap_buffer(b);
			destroy_buffer(b);
			bo_free(b);
		}
	state.counters["s_per_frame"] =
	        benchmark::Counter(double(k_frames) * state.iterations(),
	                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_DecodeIntoNewBuffers)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// One present_frame: its time, and its requests by name as counters.
void BM_PresentFrame(benchmark::State &state)
{
	setup &s = frames();
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
	unmap_buffer(b);
	destroy_buffer(b);
	bo_free(b);
}
BENCHMARK(BM_PresentFrame)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
