// Decoding a frame file into a scan-out buffer, against a plain row-by-row loop doing the same
// work into ordinary memory, TurboJPEG decoding from memory (the practical limit), and the
// header probe. The pictures are made at start: photographic-like synthetic content (smooth
// gradients, soft shapes, fine texture and noise) compressed at quality 85.
//
// After the usual output a summary gives, per picture, the medians in ms and the ratios:
//   decode/reference  throughput of jpeg_sf_decode relative to the plain loop (1 = equal)
//   decode/tj         throughput relative to tjDecompress2 of the file held in memory
//   get_size          the header probe as a share of one decode
// Medians are of CPU time; the repetitions are interleaved at random so that load from other
// processes falls on every contender alike.

#include "decode/jpeg_decoder.h"
#include "tests/support/jpeg_file.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <turbojpeg.h>
extern "C" {
#include <jpeglib.h>
}

#include <unistd.h>

#ifdef DECODE_BENCH_DUMB
#include <drm_fourcc.h>
#include <fcntl.h>

#include "sim/sim.h"
#endif

namespace
{

namespace fs = std::filesystem;

enum class layout { s420, s444, progressive };

struct picture {
	uint32_t width;
	uint32_t height;
	uint64_t pitch; // the virtual card's pitch for a dumb buffer of this size
	layout type;
	std::string name; // "1920x1080/420"
	std::string path;
	std::vector<uint8_t> jpeg;
};

// Smooth light falling over the frame, a few soft blobs, a fine texture whose direction wanders,
// and per-pixel noise: close enough to a photograph for the entropy coder.
std::vector<uint8_t> synthetic_photo(uint32_t w, uint32_t h)
{
	std::vector<uint8_t> rgb(size_t{w} * h * 3);
	uint32_t state = 12345;
	auto noise = [&state] {
		state = state * 1664525u + 1013904223u;
		return static_cast<float>((state >> 24) % 25) - 12.0f;
	};
	for (uint32_t y = 0; y < h; y++) {
		const float fy = static_cast<float>(y) / h;
		for (uint32_t x = 0; x < w; x++) {
			const float fx = static_cast<float>(x) / w;
			const float light =
			        150.0f - 90.0f * fy + 40.0f * std::sin(3.1f * fx + 1.7f * fy);
			const float dx = fx - 0.62f, dy = fy - 0.45f;
			const float blob = 70.0f * std::exp(-(dx * dx + dy * dy) * 18.0f);
			const float texture =
			        20.0f * std::sin(0.31f * x + 2.5f * std::sin(0.045f * y)) *
			                std::sin(0.23f * y + 1.5f * std::sin(0.03f * x)) *
			                (0.3f + fy) +
			        9.0f * std::sin(0.9f * x + 0.7f * y +
			                        4.0f * std::sin(0.011f * x * fy));
			const float base[3] = {light + blob + 25.0f * fx,
			                       light * 0.85f + blob * 0.6f,
			                       light * 0.7f + 60.0f * (1.0f - fx) * fy};
			for (int c = 0; c < 3; c++) {
				const float v = base[c] + texture * (1.0f - 0.25f * c) + noise();
				rgb[(size_t{y} * w + x) * 3 + c] =
				        static_cast<uint8_t>(std::clamp(v, 0.0f, 255.0f));
			}
		}
	}
	return rgb;
}

std::vector<uint8_t> compress(std::vector<uint8_t> rgb, uint32_t w, uint32_t h, layout type)
{
	return encode_jpeg({int(w), int(h), 3, std::move(rgb)},
	                   {.quality = 85,
	                    .progressive = type == layout::progressive,
	                    .full_chroma = type == layout::s444});
}

// Page-aligned ordinary memory laid out as a dumb buffer of the virtual card would be.
struct plain_buffer {
	std::unique_ptr<uint8_t, decltype(&free)> mem{nullptr, &free};
	bo b{};

	explicit plain_buffer(const picture &p)
	{
		const uint32_t w = p.width, h = p.height;
		b.pitch = p.pitch;
		b.size = (b.pitch * h + 4095) / 4096 * 4096;
		mem.reset(static_cast<uint8_t *>(aligned_alloc(4096, b.size)));
		memset(mem.get(), 0, b.size); // no first-touch faults inside the timing
		b.fd = -1;
		b.ptr = mem.get();
		b.width = w;
		b.height = h;
		b.format = 0x34324752; // RG24
	}
};

// The pitch the virtual card gives a dumb buffer of this size, so that ordinary memory can be
// laid out the same way.
uint64_t dumb_pitch(uint32_t w, [[maybe_unused]] uint32_t h)
{
	uint64_t pitch = uint64_t{w} * 3;
#ifdef DECODE_BENCH_DUMB
	const int fd = open("/dev/dri/card0", O_RDWR | O_CLOEXEC);
	if (fd >= 0) {
		if (bo *b = bo_create(fd, DRM_FORMAT_RGB888, w, h)) {
			pitch = b->pitch;
			bo_release(b);
		}
		close(fd);
	}
#endif
	return pitch;
}

// The same decode as jpeg_sf_decode, written as plainly as possible and without any check.
void reference_decode(const char *path, const bo &out)
{
	FILE *file = fopen(path, "rb");
	jpeg_decompress_struct cinfo;
	jpeg_error_mgr err;
	cinfo.err = jpeg_std_error(&err);
	jpeg_create_decompress(&cinfo);
	jpeg_stdio_src(&cinfo, file);
	jpeg_read_header(&cinfo, TRUE);
	jpeg_start_decompress(&cinfo);
	const JDIMENSION w = cinfo.output_width;
	JSAMPARRAY row = (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo),
	                                            JPOOL_IMAGE, w * 3, 1);
	for (JDIMENSION r = 0; r < cinfo.output_height; r++) {
		jpeg_read_scanlines(&cinfo, row, 1);
		memcpy(out.ptr + r * out.pitch, row[0], size_t{w} * 3);
	}
	jpeg_finish_decompress(&cinfo);
	jpeg_destroy_decompress(&cinfo);
	fclose(file);
}

// Rows decoded straight into their place, several per call: no row copy at all.
void direct_decode(const char *path, const bo &out)
{
	FILE *file = fopen(path, "rb");
	jpeg_decompress_struct cinfo;
	jpeg_error_mgr err;
	cinfo.err = jpeg_std_error(&err);
	jpeg_create_decompress(&cinfo);
	jpeg_stdio_src(&cinfo, file);
	jpeg_read_header(&cinfo, TRUE);
	jpeg_start_decompress(&cinfo);
	while (cinfo.output_scanline < cinfo.output_height) {
		JSAMPROW rows[16];
		const JDIMENSION first = cinfo.output_scanline;
		const JDIMENSION n = std::min<JDIMENSION>(16, cinfo.output_height - first);
		for (JDIMENSION i = 0; i < n; i++)
			rows[i] = out.ptr + (first + i) * out.pitch;
		jpeg_read_scanlines(&cinfo, rows, n);
	}
	jpeg_finish_decompress(&cinfo);
	jpeg_destroy_decompress(&cinfo);
	fclose(file);
}

void bm_sf_decode(benchmark::State &state, const picture *p)
{
	plain_buffer buf(*p);
	for (auto _ : state) {
		jpeg_sf_decode(p->path.c_str(), &buf.b);
		benchmark::DoNotOptimize(buf.b.ptr);
		benchmark::ClobberMemory();
	}
}

void bm_reference(benchmark::State &state, const picture *p)
{
	plain_buffer buf(*p);
	for (auto _ : state) {
		reference_decode(p->path.c_str(), buf.b);
		benchmark::DoNotOptimize(buf.b.ptr);
		benchmark::ClobberMemory();
	}
}

void bm_direct(benchmark::State &state, const picture *p)
{
	plain_buffer buf(*p);
	for (auto _ : state) {
		direct_decode(p->path.c_str(), buf.b);
		benchmark::DoNotOptimize(buf.b.ptr);
		benchmark::ClobberMemory();
	}
}

void bm_tj(benchmark::State &state, const picture *p)
{
	plain_buffer buf(*p);
	tjhandle tj = tjInitDecompress();
	for (auto _ : state) {
		if (tjDecompress2(tj, p->jpeg.data(), p->jpeg.size(), buf.b.ptr,
		                  static_cast<int>(p->width), static_cast<int>(buf.b.pitch),
		                  static_cast<int>(p->height), TJPF_RGB, 0) != 0) {
			state.SkipWithError(tjGetErrorStr2(tj));
			break;
		}
		benchmark::ClobberMemory();
	}
	tjDestroy(tj);
}

void bm_get_size(benchmark::State &state, const picture *p)
{
	int w = 0, h = 0;
	for (auto _ : state) {
		jpeg_get_size(p->path.c_str(), &w, &h);
		benchmark::DoNotOptimize(w);
		benchmark::DoNotOptimize(h);
	}
	if (w != static_cast<int>(p->width) || h != static_cast<int>(p->height))
		state.SkipWithError("wrong size");
}

#ifdef DECODE_BENCH_DUMB
// Into a mapped dumb buffer of the virtual card, as the player does.
void bm_sf_decode_dumb(benchmark::State &state, const picture *p)
{
	const int fd = open("/dev/dri/card0", O_RDWR | O_CLOEXEC);
	bo *b = fd >= 0 ? bo_create(fd, DRM_FORMAT_RGB888, p->width, p->height) : nullptr;
	if (!b) {
		state.SkipWithError("no dumb buffer");
		if (fd >= 0)
			close(fd);
		return;
	}
	memset(b->ptr, 0, b->size);
	for (auto _ : state) {
		jpeg_sf_decode(p->path.c_str(), b);
		benchmark::DoNotOptimize(b->ptr);
		benchmark::ClobberMemory();
	}
	state.counters["pitch"] = static_cast<double>(b->pitch);
	bo_release(b);
	close(fd);
}
#endif

double fastest(const std::vector<double> &v)
{
	return *std::min_element(v.begin(), v.end());
}

// Collects the medians and minimums of CPU time of every benchmark for the summary.
class summary_reporter : public benchmark::ConsoleReporter
{
public:
	summary_reporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}
	void ReportRuns(const std::vector<Run> &runs) override
	{
		ConsoleReporter::ReportRuns(runs);
		for (const Run &r : runs) {
			if (r.run_type != Run::RT_Aggregate || r.error_occurred)
				continue;
			if (r.aggregate_name == "median")
				medians[r.run_name.function_name] = r.GetAdjustedCPUTime();
			else if (r.aggregate_name == "min")
				minimums[r.run_name.function_name] = r.GetAdjustedCPUTime();
		}
	}
	std::map<std::string, double> medians; // ms
	std::map<std::string, double> minimums;
};

void print_summary(const std::vector<picture> &pictures, const summary_reporter &r)
{
	auto get = [](const std::map<std::string, double> &m, const std::string &name) {
		const auto it = m.find(name);
		return it == m.end() ? NAN : it->second;
	};
	printf("\nCPU time in ms, medians (minimums only for the ratio in brackets); ratios of "
	       "throughput\n");
	printf("%-27s %5s %8s %8s %8s %8s %8s %15s %8s %9s\n", "decode of", "KiB", "decode", "ref",
	       "direct", "tj", "get_size", "dec/ref (min)", "dec/tj", "size/dec");
	for (const picture &p : pictures) {
		const double ref = get(r.medians, "reference/" + p.name);
		const double ref_min = get(r.minimums, "reference/" + p.name);
		const double direct = get(r.medians, "direct/" + p.name);
		const double tj = get(r.medians, "tj/" + p.name);
		const double size = get(r.medians, "get_size/" + p.name);
		for (const char *target : {"sf_decode", "sf_decode_dumb"}) {
			const double dec = get(r.medians, target + ("/" + p.name));
			const double dec_min = get(r.minimums, target + ("/" + p.name));
			if (std::isnan(dec))
				continue;
			const std::string label =
			        p.name + (target == std::string("sf_decode") ? " mem" : " dumb");
			printf("%-27s %5zu %8.3f %8.3f %8.3f %8.3f %8.4f %7.3f (%5.3f) %8.3f "
			       "%8.3f%%\n",
			       label.c_str(), p.jpeg.size() / 1024, dec, ref, direct, tj, size,
			       ref / dec, ref_min / dec_min, tj / dec, 100.0 * size / dec);
		}
	}
}

} // namespace

int main(int argc, char **argv)
{
	char tmpl[] = "/tmp/decode_bench.XXXXXX";
	if (!mkdtemp(tmpl)) {
		perror("mkdtemp");
		return 1;
	}
	const fs::path dir = tmpl;

#ifdef DECODE_BENCH_DUMB
	sim::install(sim::preset_hdmi_1080p());
#endif

	std::vector<picture> pictures;
	const std::pair<uint32_t, uint32_t> sizes[] = {{1920, 1080}, {1280, 720}};
	const std::pair<layout, const char *> layouts[] = {
	        {layout::s420, "420"}, {layout::s444, "444"}, {layout::progressive, "progressive"}};
	for (const auto &[w, h] : sizes) {
		const std::vector<uint8_t> rgb = synthetic_photo(w, h);
		const uint64_t pitch = dumb_pitch(w, h);
		for (const auto &[type, type_name] : layouts) {
			picture p{w,
			          h,
			          pitch,
			          type,
			          std::to_string(w) + "x" + std::to_string(h) + "/" + type_name,
			          "",
			          compress(rgb, w, h, type)};
			p.path = (dir / (std::to_string(w) + "x" + std::to_string(h) + "_" +
			                 type_name + ".jpg"))
			                 .string();
			write_file(p.path, p.jpeg);
			pictures.push_back(std::move(p));
		}
	}

	for (const picture &p : pictures) {
		const picture *pp = &p;
		auto add = [&](const char *what, void (*fn)(benchmark::State &, const picture *)) {
			benchmark::RegisterBenchmark((std::string(what) + "/" + p.name).c_str(), fn,
			                             pp)
			        ->Unit(benchmark::kMillisecond)
			        ->ComputeStatistics("min", fastest);
		};
		add("sf_decode", bm_sf_decode);
#ifdef DECODE_BENCH_DUMB
		add("sf_decode_dumb", bm_sf_decode_dumb);
#endif
		add("reference", bm_reference);
		add("direct", bm_direct);
		add("tj", bm_tj);
		add("get_size", bm_get_size);
	}

	// Defaults that the command line may override.
	std::vector<char *> args{argv[0]};
	char repetitions[] = "--benchmark_repetitions=20";
	char interleave[] = "--benchmark_enable_random_interleaving=true";
	char min_time[] = "--benchmark_min_time=0.2";
	args.push_back(repetitions);
	args.push_back(interleave);
	args.push_back(min_time);
	args.insert(args.end(), argv + 1, argv + argc);
	int args_count = static_cast<int>(args.size());
	benchmark::Initialize(&args_count, args.data());
	if (benchmark::ReportUnrecognizedArguments(args_count, args.data()))
		return 1;

	summary_reporter reporter;
	benchmark::RunSpecifiedBenchmarks(&reporter);
	print_summary(pictures, reporter);
	benchmark::Shutdown();
	fs::remove_all(dir);
	return 0;
}
