// bootanim-frames check DIR [--mode WxH] [--refresh HZ] [--allow-gaps]: DIR read as the player
// reads /mnt/bootanimation.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "animation/boot_config.h"
#include "animation/player.h"
#include "decode/jpeg_decoder.h"
#include "frames/frames.h"

namespace
{

constexpr const char *k_device_root = "/mnt/bootanimation";

// What a frame costs the player besides its decode: the new buffer (zeroing included), the size
// probe, the lookups, the framebuffer and the atomic commit, 0.20 + 0.30 ms as player_bench
// measures them on the build machine with resident buffer memory.
constexpr double k_commit_ms = 0.5;
constexpr double k_default_refresh_hz = 60;

// Beyond this difference of aspect ratios a stretched frame looks distorted.
constexpr double k_aspect_tolerance = 0.01;

// The kernel computes a dumb buffer's size in 32 bits and refuses one whose page-aligned size
// would wrap.
constexpr uint64_t k_max_dumb_bytes = 0xffffffffull - 4095;

// A line as fgets left it: blanks and control characters visible, the line end left out, and
// whether the reader cut it.
std::string shown_line(const char *line, size_t buffer_size, bool present)
{
	if (!present)
		return "(none)";
	std::string s;
	const size_t n = strlen(line);
	for (size_t i = 0; i < n; i++) {
		const unsigned char c = static_cast<unsigned char>(line[i]);
		if (c == '\n' && i + 1 == n)
			break;
		if (c == '\r')
			s += "\\r";
		else if (c == '\t')
			s += "\\t";
		else if (c < 0x20 || c == 0x7f) {
			char hex[8];
			snprintf(hex, sizeof hex, "\\x%02x", c);
			s += hex;
		} else
			s += char(c);
	}
	if (n == buffer_size - 1 && line[n - 1] != '\n')
		s += " (cut at " + std::to_string(n) +
		     " characters: the rest is read as the next line)";
	return s;
}

double now_ms()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// The configuration as the player reads it, with its lines shown as the reader cut them.
void read_config(const std::string &dir)
{
	// As at process start: the reader keeps what a line does not give.
	mImageCount = 0;
	mBootAnimPath[0] = '\0';
	mFps = 15;
	const std::string conf = dir + "/boot.conf";
	FILE *file = fopen(conf.c_str(), "r");
	if (!file) {
		printf("conf: none (%s not found), the player's defaults\n", conf.c_str());
		read_boot_config(nullptr);
	} else {
		printf("conf: %s\n", conf.c_str());
		const boot_config_lines l = read_boot_config_lines(file);
		printf("conf line 1: %s\n", shown_line(l.cnt, sizeof l.cnt, l.present[0]).c_str());
		printf("conf line 2: %s\n",
		       shown_line(l.path, sizeof l.path, l.present[1]).c_str());
		printf("conf line 3: %s\n", shown_line(l.fps, sizeof l.fps, l.present[2]).c_str());
		rewind(file);
		read_boot_config(file); // prints the player's own "cfg:" line, closes the file
	}
	printf("cnt: %d\n", mImageCount);
	printf("path: %s\n", mBootAnimPath);
	printf("fps: %d\n", mFps);
}

// Where the frames of the device's path are on this machine: under DIR for /mnt/bootanimation.
std::string local_dir(const std::string &dir)
{
	const std::string path = mBootAnimPath;
	const size_t n = strlen(k_device_root);
	if (path.compare(0, n, k_device_root) == 0 && (path.size() == n || path[n] == '/'))
		return dir + path.substr(n);
	return path;
}

struct tally {
	int found = 0, missing = 0, cannot_show = 0, progressive = 0, scaled = 0;
	std::vector<double> decode_ms;
	int other_aspect = 0, first_other = -1; // frames the mode stretches out of shape
	int first_w = 0, first_h = 0;
};

bool aspect_differs(double w, double h, double mode_w, double mode_h)
{
	return std::fabs((w / h) / (mode_w / mode_h) - 1) > k_aspect_tolerance;
}

// One found frame: its header, size, whether the player can show it, and its decode time.
void check_frame(int k, const std::string &name, const std::string &file, int mode_w, int mode_h,
                 std::vector<uint8_t> &memory, tally &t)
{
	t.found++;
	printf("frame %d: %s", k, name.c_str());
	jpeg_info info;
	if (!jpeg_get_info(file.c_str(), &info) || info.width == 0 || info.height == 0) {
		printf(" cannot-show: not a JPEG the decoder reads\n");
		t.cannot_show++;
		return;
	}
	printf(" %dx%d components=%d %s", info.width, info.height, info.components,
	       info.progressive ? "progressive" : "baseline");
	if (info.progressive)
		t.progressive++;
	if (mode_w > 0) {
		const bool same = info.width == mode_w && info.height == mode_h;
		printf(" mode=%s", same ? "same" : "scaled");
		if (!same)
			t.scaled++;
		if (aspect_differs(info.width, info.height, mode_w, mode_h) &&
		    t.other_aspect++ == 0) {
			t.first_other = k;
			t.first_w = info.width;
			t.first_h = info.height;
		}
	}
	const uint64_t pitch = uint64_t(info.width) * 3;
	if (info.components != 1 && info.components != 3) {
		printf(" cannot-show: %d components%s\n", info.components,
		       info.components == 4 ? " (CMYK)" : "");
		t.cannot_show++;
		return;
	}
	if (pitch * uint64_t(info.height) > k_max_dumb_bytes) {
		printf(" cannot-show: larger than a dumb buffer can be\n");
		t.cannot_show++;
		return;
	}
	// A 32-bit machine has no room for a buffer past 2 GiB (a dumb buffer's size may reach 4
	// GiB).
	if (!holdable(pitch, uint64_t(info.height), 1)) {
		printf(" cannot-show: larger than this machine can hold\n");
		t.cannot_show++;
		return;
	}
	// Resident memory of the player's buffer size, as contiguous allocators give it.
	const size_t size = size_t(pitch * uint64_t(info.height));
	if (memory.size() < size)
		memory.resize(size);
	bo b{};
	b.ptr = memory.data();
	b.size = size;
	b.pitch = pitch;
	b.width = uint32_t(info.width);
	b.height = uint32_t(info.height);
	fflush(stdout); // before any message of the library on standard error
	const double start = now_ms();
	const bool decoded = jpeg_sf_decode(file.c_str(), &b);
	const double ms = now_ms() - start;
	if (!decoded) {
		printf(" cannot-show: the decoder gives up\n");
		t.cannot_show++;
		return;
	}
	t.decode_ms.push_back(ms);
	printf(" decode_ms=%.2f\n", ms);
}

// Frames the player will stretch out of shape, and the prepare command that makes them fit.
void report_aspect(const tally &t, int mode_w, int mode_h)
{
	if (t.other_aspect == 0)
		return;
	printf("aspect: %d frames differ from the mode's aspect ratio by more than 1 %% (frame %d: "
	       "%dx%d, %.3f; mode %dx%d, %.3f): the player stretches them\n",
	       t.other_aspect, t.first_other, t.first_w, t.first_h, double(t.first_w) / t.first_h,
	       mode_w, mode_h, double(mode_w) / mode_h);
	// Frames of the mode's size turned a quarter: a panel mounted sideways.
	const bool sideways = !aspect_differs(t.first_h, t.first_w, mode_w, mode_h);
	printf("fix: bootanim-frames prepare PICTURES OUT --size %dx%d --fps %d %s\n", mode_w,
	       mode_h, mFps,
	       sideways ? "--orientation NAME (the connector's \"panel orientation\")"
	                : "--fit contain (or --fit cover: cropped, no bands)");
}

int usage()
{
	fprintf(stderr, "usage: %s", k_check_usage);
	return 2;
}

} // namespace

double shown_ms(double work_ms, double refresh_hz)
{
	const double refresh_ms = 1000.0 / refresh_hz;
	return std::max(1.0, std::ceil(work_ms / refresh_ms)) * refresh_ms;
}

int frames_check(int argc, char **argv)
{
	std::string dir;
	int mode_w = 0, mode_h = 0;
	double refresh_hz = k_default_refresh_hz;
	bool allow_gaps = false;
	for (int i = 1; i < argc; i++) {
		const std::string a = argv[i];
		if (a == "--mode" && i + 1 < argc) {
			if (!parse_size(argv[++i], &mode_w, &mode_h))
				return usage();
		} else if (a == "--refresh" && i + 1 < argc) {
			char *end = nullptr;
			refresh_hz = strtod(argv[++i], &end);
			if (end == argv[i] || *end != '\0' ||
			    !(refresh_hz >= 1 && refresh_hz <= 1000))
				return usage();
		} else if (a == "--allow-gaps") {
			allow_gaps = true;
		} else if (a.rfind("--", 0) == 0 || !dir.empty()) {
			return usage();
		} else {
			dir = a;
		}
	}
	if (dir.empty())
		return usage();

	read_config(dir);
	const std::string local = local_dir(dir);
	printf("frames dir: %s\n", local.c_str());
	if (mode_w > 0)
		printf("mode: %dx%d\n", mode_w, mode_h);

	tally t;
	std::vector<uint8_t> memory;
	int run = 0;
	frame_path_buffer path;
	for (int k = 0; k < mImageCount; k++) {
		const frame_file f = find_frame_file(mBootAnimPath, local.c_str(), k, path);
		const std::string name = std::to_string(k) + f.ext;
		if (f.result == frame_lookup::found) {
			run = 0;
			check_frame(k, name, local + "/" + name, mode_w, mode_h, memory, t);
			continue;
		}
		if (f.result == frame_lookup::missing) {
			printf("frame %d: missing (no %d.jpg, no %d.jpeg)\n", k, k, k);
			t.missing++;
		} else {
			printf("frame %d: %s cannot-show: %s\n", k, name.c_str(),
			       f.result == frame_lookup::not_regular
			               ? "not a regular file"
			               : "its path is longer than 127 characters");
			t.cannot_show++;
		}
		if (++run > k_max_missing_run) {
			printf("end: %d frames missing in a row, the player ends the animation at "
			       "frame %d\n",
			       run, k);
			break;
		}
	}

	printf("frames: found=%d missing=%d cannot-show=%d progressive=%d", t.found, t.missing,
	       t.cannot_show, t.progressive);
	if (mode_w > 0)
		printf(" scaled=%d", t.scaled);
	printf("\n");
	report_aspect(t, mode_w, mode_h);
	if (!t.decode_ms.empty()) {
		double sum = 0, shown = 0;
		const double pause = mFps > 0 ? 1000.0 / mFps : 0.0;
		for (double ms : t.decode_ms) {
			sum += ms;
			shown += shown_ms(ms + k_commit_ms + pause, refresh_hz);
		}
		const double n = double(t.decode_ms.size());
		const double worst = *std::max_element(t.decode_ms.begin(), t.decode_ms.end());
		printf("refresh: %g Hz, each frame shown for whole refreshes\n", refresh_hz);
		printf("rate: decode_ms_mean=%.2f decode_ms_max=%.2f commit_ms=%.2f pause_ms=%.2f "
		       "frame_ms=%.2f fps=%.1f\n",
		       sum / n, worst, k_commit_ms, pause, shown / n, 1000.0 * n / shown);
	}
	if (t.found == 0) {
		printf("result: no frame found\n");
		return 1;
	}
	const bool gaps = t.missing > 0 && !allow_gaps;
	if (t.cannot_show > 0 || gaps) {
		std::string why;
		if (t.cannot_show > 0)
			why = std::to_string(t.cannot_show) + " frames cannot be shown";
		if (gaps)
			why += (why.empty() ? "" : ", ") + std::to_string(t.missing) +
			       " frames missing (--allow-gaps accepts them)";
		printf("result: %s\n", why.c_str());
		return 1;
	}
	printf("result: ok\n");
	return 0;
}
