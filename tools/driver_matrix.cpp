// driver_matrix: runs the real player under every preset of the virtual card through a few
// whole-program scenarios and prints, as a Markdown table, what each left on the screen, which
// commits the card refused and what the player printed about it.
//
// Usage: driver_matrix --bootanim PATH --preload PATH --send-uevent PATH [--jobs N]
//                      [--card NAME ...] [--measure RUNS]
//
// --measure runs scenario (i) RUNS times on the first card named (hdmi-1080p without one) and
// prints the median time from the stand-in's commit to the player's exit and the count of
// screens between the last frame and the stand-in's picture, instead of the table.
//
// Every wait is for something the player prints or the card records, with a generous deadline.
// The animation has one frame more in boot.conf than on disk: the line about the missing last
// one marks the end of a play.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <drm_fourcc.h>

#include "sim/sim.h"
#include "tests/e2e/uevent.h"
#include "tests/support/jpeg_file.h"
#include "tools/player_harness.h"
#include "tools/png_read.h"
#include "tools/standin.h"

namespace
{

using e2e::barrier_uevent;
using e2e::k_barrier_header;

constexpr int k_frames = 2; // frames on disk; boot.conf names one more
constexpr int k_fps = 25;
constexpr int k_deadline_ms = 30000;
const std::string k_dir = "/mnt/bootanimation/frames";
const std::string k_end_of_play =
        "bootAnimation: can't access file " + k_dir + "/" + std::to_string(k_frames) + ".jpeg \n";
const std::string k_bo_failed = "failed to bo_create fb: "; // also ends a play
constexpr const char *k_xr24_prefix = "bootAnimation: frames are XR24: ";

struct tool_options {
	std::string bootanim, preload, send_uevent;
	int jobs = 0;
	std::vector<std::string> cards;
};

enum class hotplug_kind { none, replug, replug_other_mode, plug_late };

struct scenario {
	const char *title;
	bool small_frames;
	hotplug_kind hotplug;
	bool mode_set_run;
	std::vector<std::string> card_settings; // how the board boots
	bool handover = false; // the stop request after the boot, then the stand-in
};

const std::vector<std::string> k_no_console = {"console 0"};

const scenario k_scenarios[] = {
        {"(a) boot", false, hotplug_kind::none, false, {}},
        {"(b) small frames", true, hotplug_kind::none, false, {}},
        {"(c) unplug, re-plug", false, hotplug_kind::replug, false, {}},
        {"(d) re-plug, other mode", false, hotplug_kind::replug_other_mode, false, {}},
        {"(e) `bootanim 1`", false, hotplug_kind::none, true, {}},
        {"(f) no console", false, hotplug_kind::none, false, k_no_console},
        {"(g) display on card1, late",
         false,
         hotplug_kind::none,
         false,
         {"render_card0 1", "display_card_delay_ms 1000"}},
        {"(h) no console, monitor late",
         false,
         hotplug_kind::plug_late,
         false,
         {"console 0", "connected 0"}},
        {"(i) stop, stand-in", false, hotplug_kind::none, false, {}, true},
};

// The monitor of (h) is plugged in this long after the player started.
constexpr int64_t k_late_plug_ms = 1000;

// What the scenarios need to know of a preset before its player runs.
struct card_facts {
	sim::topology card;
	int monitor = 0;                       // connector index that is unplugged and plugged
	uint32_t mode_w = 1920, mode_h = 1080; // the mode the player shows its frames on at boot
};

// The HDMI monitor the player looks for, else the first connected one.
int monitor_of(const sim::topology &t)
{
	for (size_t i = 0; i < t.connectors.size(); i++)
		if (t.connectors[i].connected && !t.connectors[i].modes.empty() &&
		    t.connectors[i].type == DRM_MODE_CONNECTOR_HDMIA)
			return int(i);
	for (size_t i = 0; i < t.connectors.size(); i++)
		if (t.connectors[i].connected)
			return int(i);
	return 0;
}

card_facts facts_of(const std::string &name)
{
	card_facts f;
	f.card = *sim::preset(name);
	f.monitor = monitor_of(f.card);
	bool found = false;
	for (const sim::crtc_def &c : f.card.crtcs)
		if (c.active && !found) {
			f.mode_w = c.mode.hdisplay;
			f.mode_h = c.mode.vdisplay;
			found = true;
		}
	if (!found && size_t(f.monitor) < f.card.connectors.size()) {
		const std::vector<sim::mode_def> &modes =
		        f.card.connectors[size_t(f.monitor)].modes;
		for (const sim::mode_def &m : modes)
			if (!found && (m.preferred || &m == &modes.back())) {
				f.mode_w = m.hdisplay;
				f.mode_h = m.vdisplay;
				found = true;
			}
		if (!found && !modes.empty()) {
			f.mode_w = modes.front().hdisplay;
			f.mode_h = modes.front().vdisplay;
		}
	}
	return f;
}

// The frames of one size, made once and linked into every run that uses them.
class frame_store
{
public:
	explicit frame_store(std::string dir) : dir_(std::move(dir)) {}

	// The directory holding 0.jpg ... of w x h, and what libjpeg decodes of the last.
	std::pair<std::string, rgb_picture> frames(uint32_t w, uint32_t h)
	{
		std::lock_guard<std::mutex> lock(lock_);
		const std::string key = std::to_string(w) + "x" + std::to_string(h);
		auto it = made_.find(key);
		if (it == made_.end()) {
			const std::string d = dir_ + "/" + key;
			mkdir(d.c_str(), 0755);
			rgb_picture last;
			for (int k = 0; k < k_frames; k++) {
				const std::string path = d + "/" + std::to_string(k) + ".jpg";
				write_jpeg(path, test_picture(int(w), int(h), k));
				if (k == k_frames - 1)
					last = decode_jpeg(path);
			}
			it = made_.emplace(key, std::make_pair(d, std::move(last))).first;
		}
		return it->second;
	}

private:
	std::string dir_;
	std::mutex lock_;
	std::map<std::string, std::pair<std::string, rgb_picture>> made_;
};

int occurrences(const std::string &text, const std::string &what)
{
	int n = 0;
	for (size_t at = text.find(what); at != std::string::npos;
	     at = text.find(what, at + what.size()))
		n++;
	return n;
}

bool wait_until(harness::player &p, const auto &done)
{
	const int64_t end = harness::now_ms() + k_deadline_ms;
	while (!done()) {
		if (!p.alive() || harness::now_ms() > end)
			return done();
		usleep(5000);
	}
	return true;
}

int plays_ended(const std::string &out)
{
	return occurrences(out, k_end_of_play) + occurrences(out, k_bo_failed);
}

// The object ids the card reports ("planes 31 32 ...").
std::map<std::string, std::vector<uint32_t>> ids_of(harness::player &p)
{
	std::map<std::string, std::vector<uint32_t>> ids;
	for (const std::string &line : harness::lines_of(p.command("ids").value_or(""))) {
		const size_t blank = line.find(' ');
		std::vector<uint32_t> &list = ids[line.substr(0, blank)];
		for (size_t at = blank; at != std::string::npos && at + 1 < line.size();
		     at = line.find(' ', at + 1))
			list.push_back(uint32_t(std::stoul(line.substr(at + 1))));
	}
	return ids;
}

uint64_t property(harness::player &p, uint32_t object, const char *name)
{
	const std::string v =
	        p.command("property " + std::to_string(object) + " " + name).value_or("0");
	return v.empty() ? 0 : std::stoull(v);
}

// What the phase's commits tell: the framebuffers the player showed, the refused ones.
struct commit_log {
	std::set<uint64_t> player_fbs;
	int refused = 0;
	std::string first_error;
};

void read_commits(harness::player &p, commit_log &log, bool count_refused)
{
	for (const std::string &c : p.commits()) {
		for (size_t at = c.find(":FB_ID="); at != std::string::npos;
		     at = c.find(":FB_ID=", at + 1))
			log.player_fbs.insert(std::stoull(c.substr(at + 7)));
		const size_t e = c.find(" error=");
		const std::string err = c.substr(e + 7, c.find(' ', e + 7) - e - 7);
		if (count_refused && err != "0") {
			if (log.refused++ == 0)
				log.first_error = err;
		}
	}
}

// The last frame as the card composes it: stretched over the mode, or at its own size in the
// middle of it with black around (cropped to its middle where larger). `red_first`: the screen
// shows the decoder's bytes in their order (XR24, or RG24 on a driver that scans it out so).
bool shows_frame(const sim::image &img, const rgb_picture &pic, bool red_first, bool centred)
{
	if (pic.width == 0 || img.width == 0)
		return false;
	const uint32_t pw = uint32_t(pic.width), ph = uint32_t(pic.height);
	const uint32_t w = std::min(pw, img.width), h = std::min(ph, img.height);
	const uint32_t dx = (img.width - w) / 2, dy = (img.height - h) / 2;
	const uint32_t sx0 = (pw - w) / 2, sy0 = (ph - h) / 2;
	static const uint8_t black[3] = {0, 0, 0};
	for (uint32_t y = 0; y < img.height; y++)
		for (uint32_t x = 0; x < img.width; x++) {
			const uint8_t *s = black;
			if (!centred)
				s = &pic.data[(size_t(y * ph / img.height) * pw +
				               x * pw / img.width) *
				              3];
			else if (x >= dx && x < dx + w && y >= dy && y < dy + h)
				s = &pic.data[(size_t(sy0 + y - dy) * pw + sx0 + x - dx) * 3];
			const uint8_t *d = img.pixel(x, y);
			if (d[0] != s[red_first ? 0 : 2] || d[1] != s[1] ||
			    d[2] != s[red_first ? 2 : 0])
				return false;
		}
	return true;
}

// What a person sees on the monitor: the last frame, the console, black, off or other.
std::string seen(harness::player &p, const card_facts &f, const rgb_picture *last, bool xr24,
                 const commit_log &log, const std::string &scratch)
{
	auto ids = ids_of(p);
	if (size_t(f.monitor) >= ids["connectors"].size())
		return "other";
	const uint64_t crtc = property(p, ids["connectors"][size_t(f.monitor)], "CRTC_ID");
	const auto at = std::find(ids["crtcs"].begin(), ids["crtcs"].end(), crtc);
	if (crtc == 0 || at == ids["crtcs"].end() || property(p, uint32_t(crtc), "ACTIVE") == 0)
		return "off";
	const std::string png = scratch + "/screen.png";
	if (!p.command("screen " + std::to_string(at - ids["crtcs"].begin()) + " " + png))
		return "off";
	std::string error;
	const std::optional<sim::image> img = read_png(png, error);
	if (!img)
		return "other";
	const bool red_first = xr24 || f.card.driver.rg24_red_first;
	if (last && shows_frame(*img, *last, red_first, false))
		return "frame";
	if (last && shows_frame(*img, *last, red_first, true))
		return "centred";
	bool console = false, player = false;
	for (uint32_t plane : ids["planes"]) {
		const uint64_t fb = property(p, plane, "FB_ID");
		if (fb == 0 || property(p, plane, "CRTC_ID") != crtc)
			continue;
		if (log.player_fbs.count(fb))
			player = true;
		else
			console = true;
	}
	if (console)
		return "console";
	const bool black =
	        std::all_of(img->rgb.begin(), img->rgb.end(), [](uint8_t v) { return v == 0; });
	return black ? "black" : player ? "stale frame" : "other";
}

// Lines the player prints on its normal road.
bool progress_line(const std::string &l)
{
	static const char *const prefixes[] = {
	        "argc=",
	        "[DRM]: Found ",
	        "[DRM]: Connector ",
	        "[DRM]: HDMI Connector ",
	        "[DRM]: Mode ",
	        "drm_get_connector: g_drm_connector=",
	        "g_drm_encoder->encoder_id=",
	        "cfg:  ",
	        "start_boot_thread: mDrmFd",
	        "vsync_control: enable=",
	        "vsync: pthread_cond_wait",
	        "picPath: ",
	        "free: mSfJpegBufInfo",
	        "hwc_uevent detect ",
	        "hotplug: remove connector monitor_index=",
	        "setMode object[",
	        "g_drm_encoder = NULL *************",
	        k_xr24_prefix,
	        "present: ",
	        "bootanim: no CRTC drives connector ",
	        "bootanim: /dev/dri/card0 offers no mode setting",
	        "bootanim: display on ",
	        "bootanim: the card's outputs changed",
	};
	if (l + "\n" == k_end_of_play)
		return true;
	for (const char *p : prefixes)
		if (l.rfind(p, 0) == 0)
			return true;
	return false;
}

// The first failure line of the text, cut where a run-on line meets the next message, its
// strerror text given as the errno name.
std::string first_failure(const std::string &text)
{
	static const char *const starts[] = {"argc=",
	                                     "[DRM]: ",
	                                     "drm_get_connector:",
	                                     "cfg:  ",
	                                     "start_boot_thread:",
	                                     "vsync_control:",
	                                     "picPath: ",
	                                     "hwc_uevent",
	                                     "hotplug: ",
	                                     "setMode ",
	                                     "g_drm_encoder",
	                                     "vsync",
	                                     "bootanim: "};
	for (const std::string &line : harness::lines_of(text)) {
		if (line.empty() || progress_line(line))
			continue;
		std::string l = line;
		for (const char *s : starts) {
			const size_t at = l.find(s, 1);
			if (at != std::string::npos)
				l.erase(at);
		}
		while (!l.empty() && l.back() == ' ')
			l.pop_back();
		const size_t colon = l.rfind(": ");
		if (colon != std::string::npos)
			for (int e = 1; e < 134; e++) {
				const char *desc = strerrordesc_np(e);
				if (desc && l.compare(colon + 2, std::string::npos, desc) == 0) {
					l = l.substr(0, colon + 2) + strerrorname_np(e);
					break;
				}
			}
		return l;
	}
	return "";
}

// The frames' directory as the player sees it: the store's files linked in.
bool link_frames(const std::string &root, const std::string &from)
{
	const std::string anim = root + "/mnt/bootanimation";
	mkdir((root + "/mnt").c_str(), 0755);
	mkdir(anim.c_str(), 0755);
	mkdir((anim + "/frames").c_str(), 0755);
	for (int k = 0; k < k_frames; k++) {
		const std::string name = "/" + std::to_string(k) + ".jpg";
		if (link((from + name).c_str(), (anim + "/frames" + name).c_str()) != 0)
			return false;
	}
	FILE *conf = fopen((anim + "/boot.conf").c_str(), "w");
	if (!conf)
		return false;
	fprintf(conf, "cnt=%d\npath=%s\nfps=%d\n", k_frames + 1, k_dir.c_str(), k_fps);
	return fclose(conf) == 0;
}

// Plane-list reads the card has served since its records were last cleared.
int plane_list_reads(harness::player &p)
{
	const auto reply = p.command("requests");
	int n = 0;
	if (reply)
		for (const std::string &l : harness::lines_of(*reply))
			n += l.rfind("MODE_GETPLANERESOURCES ", 0) == 0;
	return n;
}

// The worker reads the plane list once a cycle (libdrm asks twice: for the count, then for the
// ids) and decides in its first cycle after being enabled whether to play; a play runs inside
// that cycle and prints its first "picPath" line before it reads the plane list itself. Four
// reads after the enable reach into the second cycle that began after it, so with no frame
// line before them the worker has let its chance go by; after a frame line the play is waited
// for to its end. Requests are read before the output, so that a frame line written before the
// last read is seen.
bool wait_for_decision(harness::player &p, size_t mark, int reads_before)
{
	const int played = plays_ended(p.output().substr(0, mark));
	return wait_until(p, [&] {
		const int reads = plane_list_reads(p);
		const std::string out = p.output();
		if (out.find("picPath: ", mark) != std::string::npos)
			return plays_ended(out) > played;
		return reads >= reads_before + 4;
	});
}

// Unplug or plug the monitor and send the kernel's uevent, then a uevent the player only
// logs: its line shows that the handler of the first has returned. When the handler enabled
// the worker, its decision to play again or not is waited for; a replay may have begun before
// the handler's return was seen, so its lines are looked for from before the hot-plug on.
bool hotplug(harness::player &p, const std::string &command, unsigned seqnum, int barriers)
{
	const size_t before = p.output().size();
	if (!p.command(command) || !p.send_uevent(harness::drm_hotplug_uevent(seqnum)) ||
	    !p.send_uevent(barrier_uevent()) || !wait_until(p, [&] {
		    return occurrences(p.output(), "buffer=" + k_barrier_header) >= barriers;
	    }))
		return false;
	const int reads = plane_list_reads(p);
	const std::string out = p.output();
	const bool enabled =
	        out.find("vsync_control: enable=1 exit=0\n", before) != std::string::npos;
	return !enabled || wait_for_decision(p, before, reads);
}

// --- the hand-over ---------------------------------------------------------------------------

const std::string k_stop_requested = "bootanim: stop requested (SIGTERM)";

// The stand-in's squares, allowing for a scan-out of fewer bits per colour (RG16).
bool shows_standin(const sim::image &img)
{
	if (img.width == 0)
		return false;
	for (uint32_t y = 0; y < img.height; y += 3)
		for (uint32_t x = 0; x < img.width; x += 3)
			for (int c = 0; c < 3; c++)
				if (std::abs(int(standin::colour_at(x, y)[c]) -
				             int(img.pixel(x, y)[c])) > 8)
					return false;
	return true;
}

// The captures of one CRTC, in the order the card wrote them.
std::vector<std::string> captures_of(const std::string &dir, int crtc)
{
	std::vector<std::string> paths;
	const std::string suffix = "-crtc" + std::to_string(crtc) + ".png";
	if (DIR *d = opendir(dir.c_str())) {
		while (const dirent *e = readdir(d)) {
			const std::string n = e->d_name;
			if (n.size() > suffix.size() &&
			    n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0)
				paths.push_back(dir + "/" + n);
		}
		closedir(d);
	}
	std::sort(paths.begin(), paths.end());
	return paths;
}

struct handover_result {
	std::string cell;
	int others = -1;     // screens between the last frame and the stand-in's picture
	double exit_ms = -1; // from the stand-in's commit to the player's exit
};

int64_t realtime_ns()
{
	timespec ts{};
	clock_gettime(CLOCK_REALTIME, &ts);
	return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The stop request after the boot, then the stand-in on a file of the card; what the monitor
// showed from the last frame to the stand-in's picture (every picture change is captured), and
// how the player ended.
handover_result hand_over(harness::player &p, const card_facts &f, const rgb_picture &last,
                          bool red_first)
{
	handover_result r;
	auto ids = ids_of(p);
	int crtc = -1;
	if (size_t(f.monitor) < ids["connectors"].size()) {
		const uint64_t id = property(p, ids["connectors"][size_t(f.monitor)], "CRTC_ID");
		const auto at = std::find(ids["crtcs"].begin(), ids["crtcs"].end(), id);
		if (at != ids["crtcs"].end())
			crtc = int(at - ids["crtcs"].begin());
	}
	const size_t mark = p.output().size();
	kill(p.pid(), SIGTERM);
	wait_until(p, [&] { return p.output().find(k_stop_requested, mark) != std::string::npos; });
	// The player may exit before the stand-in's reply is written: only the card's own error
	// line is a refusal.
	std::string refused;
	const bool ran = p.alive();
	int64_t exited = -1;
	if (ran) {
		std::string error;
		if (!p.command("standin", &error) && error.rfind("standin: ", 0) == 0)
			refused = error;
		const int64_t end = harness::now_ms() + k_deadline_ms;
		while (p.alive() && harness::now_ms() < end)
			usleep(500);
		if (!p.alive())
			exited = realtime_ns();
	}
	std::string ending;
	if (p.alive()) {
		ending = "still running";
		p.stop(SIGKILL, k_deadline_ms);
	} else if (p.end_signal() > 0) {
		ending = std::string("killed by SIG") + sigabbrev_np(p.end_signal());
	} else {
		const std::vector<std::string> lines = harness::lines_of(p.output());
		ending = lines.empty() ? "silent" : lines.back();
		if (ending.rfind("bootanim: ", 0) == 0)
			ending.erase(0, 10);
	}

	std::vector<std::string> seq; // the screens from the last frame on
	for (const std::string &path : captures_of(p.capture_dir(), crtc)) {
		std::string error;
		const std::optional<sim::image> img = read_png(path, error);
		if (!seq.empty() && seq.back() == "stand-in")
			break;
		std::string what = "other";
		if (!img)
			what = "unreadable";
		else if (shows_frame(*img, last, red_first, false) ||
		         shows_frame(*img, last, red_first, true))
			what = "frame";
		else if (shows_standin(*img))
			what = "stand-in";
		// The card writes a capture before any other file sees the commit: its time is the
		// commit's, give or take the writing.
		struct stat st {
		};
		if (what == "stand-in" && exited > 0 && stat(path.c_str(), &st) == 0)
			r.exit_ms = double(exited - (int64_t(st.st_mtim.tv_sec) * 1000000000 +
			                             st.st_mtim.tv_nsec)) /
			            1e6;
		else if (std::all_of(img->rgb.begin(), img->rgb.end(),
		                     [](uint8_t v) { return !v; }))
			what = "black";
		if (what == "frame")
			seq.clear();
		seq.push_back(what);
	}
	if (seq.empty() || seq.front() != "frame")
		seq.insert(seq.begin(), "no frame");
	// The card lives in the player's process: a player that ended before the stand-in took
	// its card with it, and the kernel's last close would then give the screen back to the
	// console (or leave the pipe dark without one).
	if (!ran)
		seq.push_back(f.card.driver.fbdev ? "console" : "dark");
	if (!seq.empty() && seq.back() == "stand-in")
		r.others = int(seq.size()) - 2;
	std::string screens;
	for (const std::string &w : seq)
		screens += (screens.empty() ? "" : " → ") + w;
	if (!refused.empty())
		screens += " · " + refused;
	r.cell = screens + " · " + ending;
	return r;
}

std::string run_cell(const tool_options &o, const card_facts &f, const std::string &name,
                     const scenario &s, frame_store &store, std::string &format,
                     handover_result *measured = nullptr)
{
	harness::scratch_dir dir;
	const uint32_t w = s.small_frames ? f.mode_w / 3 : f.mode_w;
	const uint32_t h = s.small_frames ? f.mode_h / 3 : f.mode_h;
	auto [frames_dir, last] = store.frames(w, h);
	if (dir.path().empty() || !link_frames(dir.path(), frames_dir))
		return "(no scratch directory)";

	harness::player_options po;
	po.bootanim = o.bootanim;
	po.preload = o.preload;
	po.send_uevent = o.send_uevent;
	po.preset = name;
	po.card_settings = s.card_settings;
	po.capture = s.handover;
	if (s.mode_set_run)
		po.args = {"1"};
	harness::player p(dir.path());
	const int64_t started = harness::now_ms();
	if (!p.start(po))
		return "(player not started)";

	commit_log log;
	bool ok = true;
	if (s.mode_set_run) {
		ok = wait_until(p, [&] {
			const std::string out = p.output();
			return occurrences(out, "vsync_control: enable=1 exit=0\n") ||
			       occurrences(out, "nothing to set\n") ||
			       (occurrences(out, "vsync_control: enable=0") &&
			        !p.commits().empty());
		});
	} else {
		ok = wait_until(p, [&] {
			return occurrences(p.output(), "vsync_control: enable=1 exit=0\n") >= 1;
		});
		ok = ok && wait_for_decision(p, 0, plane_list_reads(p));
	}
	size_t mark = 0, error_mark = 0;
	if (ok && s.hotplug == hotplug_kind::plug_late) {
		// The scenario itself: a monitor (or panel) that arrives a second after the start.
		const int64_t wait_ms = started + k_late_plug_ms - harness::now_ms();
		if (wait_ms > 0)
			usleep(useconds_t(wait_ms * 1000));
		ok = hotplug(p, "connect " + std::to_string(f.monitor), 1, 1);
	} else if (ok && s.hotplug != hotplug_kind::none) {
		read_commits(p, log, false);
		p.command("clear-records");
		mark = p.output().size();
		error_mark = p.errors().size();
		const std::string monitor = std::to_string(f.monitor);
		int barriers = 0;
		if (s.hotplug == hotplug_kind::replug)
			ok = hotplug(p, "disconnect " + monitor, 1, ++barriers);
		const std::string mode =
		        f.mode_w == 1280 && f.mode_h == 720 ? " 1024x768*" : " 1280x720*";
		ok = ok &&
		     hotplug(p,
		             "connect " + monitor + (s.hotplug == hotplug_kind::replug ? "" : mode),
		             2, ++barriers);
	}
	if (!ok)
		return p.alive() ? "(timed out)" : "(player ended)";

	read_commits(p, log, true);
	const bool xr24 = p.output().find(k_xr24_prefix) != std::string::npos;
	if (s.handover) {
		handover_result r = hand_over(p, f, last, xr24 || f.card.driver.rg24_red_first);
		if (measured)
			*measured = r;
		return r.cell;
	}
	const std::string what =
	        seen(p, f, s.mode_set_run ? nullptr : &last, xr24, log, dir.path());
	if (!s.mode_set_run && p.output().find("picPath: ") != std::string::npos)
		format = xr24 ? "XR24" : "RG24";
	std::string said = first_failure(p.output().substr(mark));
	if (said.empty())
		said = first_failure(p.errors().substr(error_mark));
	p.stop(SIGKILL, k_deadline_ms);

	const bool fine = log.refused == 0 && said.empty() && (s.mode_set_run || what == "frame");
	if (fine)
		return what;
	std::string cell = what;
	if (log.refused > 0)
		cell += " · " + log.first_error +
		        (log.refused > 1 ? " ×" + std::to_string(log.refused) : "");
	cell += " · " + (said.empty() ? std::string("silent") : said);
	return cell;
}

std::string escaped(const std::string &cell)
{
	std::string out;
	for (char c : cell)
		out += c == '|' ? std::string("\\|") : std::string(1, c);
	return out;
}

void print_table(const std::vector<std::string> &cards, const std::vector<std::string> &formats,
                 const std::vector<std::vector<std::string>> &cells)
{
	printf("| Card | Frames |");
	for (const scenario &s : k_scenarios)
		printf(" %s |", s.title);
	printf("\n|---|---|");
	for (size_t i = 0; i < std::size(k_scenarios); i++)
		printf("---|");
	printf("\n");
	for (size_t r = 0; r < cards.size(); r++) {
		printf("| `%s` | %s |", cards[r].c_str(),
		       formats[r].empty() ? "none" : formats[r].c_str());
		for (const std::string &c : cells[r])
			printf(" %s |", escaped(c).c_str());
		printf("\n");
	}
	printf("\n"
	       "Scenarios, each a fresh player on the card's preset with %d frames at %d frames "
	       "per "
	       "second: (a) a boot, frames of the mode's size; (b) the same with frames a third of "
	       "the mode's width and height; (c) after (a), the monitor unplugged, then plugged in "
	       "again; (d) after (a), the monitor plugged in again offering only 1280x720 "
	       "(1024x768 "
	       "where the mode is 1280x720), with no unplug before; (e) the mode-set run "
	       "`bootanim 1`; (f) a boot without the kernel's console (no fbdev emulation): no "
	       "CRTC lit, no encoder bound; (g) a boot where card0 is a GPU's render-only driver "
	       "that probed first and the display's card1 appears 1 s after the player started; "
	       "(h) a boot without the console and with nothing connected, the monitor (or panel) "
	       "plugged in 1 s after the player started; (i) after (a), the stop request (SIGTERM) "
	       "to "
	       "the player, then the stand-in compositor (`bootanim-standin`'s core, on a file of "
	       "its own) taking the display. Cells (c), (d) and (h) tell what followed the "
	       "hot-plug.\n"
	       "\n"
	       "- Frames: the format of the frames' buffers in (a) (or (b)): `RG24` as they are "
	       "made for, `XR24` where no plane on the CRTC offers RG24 (its colours as DRM "
	       "defines them); `none` when the player made no frame.\n"
	       "- What the monitor shows at the end: `frame` the last frame stretched over the "
	       "mode, pixel for pixel; `centred` the last frame at its own size in the middle of "
	       "the mode with black around it (cropped to its middle where larger), pixel for "
	       "pixel, where no plane stretches it; `stale frame` a frame of the player that does "
	       "not fill the "
	       "mode as it should (kept from before a mode change); `console` fbdev's console "
	       "framebuffer, which no file owns; `black` a lit pipe showing nothing; `off` no lit "
	       "pipe drives the monitor; `other` "
	       "anything else.\n"
	       "- (i): every picture the monitor showed from the last frame on, until the "
	       "stand-in's "
	       "picture (`frame → stand-in` when nothing came between; `black` a screen all black, "
	       "as the console's is; `console` where the player ended before the stand-in came: "
	       "the virtual card ends with the player's process, and the kernel's last close "
	       "gives the screen to the console, or leaves it `dark` without one), then the "
	       "player's last line, or the signal that "
	       "ended it.\n"
	       "- `EINVAL ×n`: the card refused n atomic commits (one where ×n is left out), the "
	       "first with that error (its number where user space has no name for it: 524, the "
	       "kernel's ENOTSUPP).\n"
	       "- Then the player's first failure line (an error text given as its errno name), or "
	       "`silent` when it printed none. A cell with one word is the expected outcome with "
	       "nothing refused and nothing reported; `(timed out)` or `(player ended)`: the "
	       "scenario could not finish.\n",
	       k_frames, k_fps);
}

int usage()
{
	fprintf(stderr, "usage: driver_matrix --bootanim PATH --preload PATH --send-uevent PATH "
	                "[--jobs N] [--card NAME ...] [--measure RUNS]\n");
	return 2;
}

// Scenario (i) `runs` times on one card, one run at a time: the time from the stand-in's commit
// to the player's exit, and the screens between the last frame and the stand-in's picture.
int measure(const tool_options &o, const std::string &card, const card_facts &f, int runs)
{
	harness::scratch_dir store_dir;
	frame_store store(store_dir.path());
	std::vector<double> times;
	int others = 0, incomplete = 0;
	std::string format;
	for (int i = 0; i < runs; i++) {
		handover_result r;
		const std::string cell = run_cell(
		        o, f, card, k_scenarios[std::size(k_scenarios) - 1], store, format, &r);
		if (r.exit_ms < 0 || r.others < 0) {
			incomplete++;
			fprintf(stderr, "driver_matrix: run %d: %s\n", i + 1, cell.c_str());
			continue;
		}
		times.push_back(r.exit_ms);
		others += r.others;
	}
	std::sort(times.begin(), times.end());
	printf("%s, %d runs of (i): ", card.c_str(), runs);
	if (!times.empty())
		printf("the stand-in's commit to the player's exit: median %.1f ms (min %.1f, max "
		       "%.1f); ",
		       times[times.size() / 2], times.front(), times.back());
	printf("screens showing anything else between the last frame and the stand-in's "
	       "picture: %d; runs without a hand-over: %d\n",
	       others, incomplete);
	return incomplete ? 1 : 0;
}

} // namespace

int main(int argc, char **argv)
{
	tool_options o;
	int runs = 0;
	for (int i = 1; i < argc; i++) {
		const std::string a = argv[i];
		if (i + 1 >= argc)
			return usage();
		const std::string v = argv[++i];
		if (a == "--bootanim")
			o.bootanim = v;
		else if (a == "--preload")
			o.preload = v;
		else if (a == "--send-uevent")
			o.send_uevent = v;
		else if (a == "--jobs")
			o.jobs = atoi(v.c_str());
		else if (a == "--card")
			o.cards.push_back(v);
		else if (a == "--measure")
			runs = atoi(v.c_str());
		else
			return usage();
	}
	if (o.bootanim.empty() || o.preload.empty() || o.send_uevent.empty())
		return usage();
	if (o.cards.empty())
		for (std::string_view n : sim::preset_names())
			o.cards.emplace_back(n);
	std::vector<card_facts> facts;
	for (const std::string &c : o.cards) {
		if (!sim::preset(c)) {
			fprintf(stderr, "driver_matrix: no preset %s\n", c.c_str());
			return 2;
		}
		facts.push_back(facts_of(c));
	}
	if (runs > 0)
		return measure(o, o.cards.front(), facts.front(), runs);
	// A cell spends most of its time waiting (frame pacing, a display or monitor that comes
	// late), so several run per processor.
	if (o.jobs <= 0)
		o.jobs = 3 * int(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));

	harness::scratch_dir store_dir;
	frame_store store(store_dir.path());
	const size_t columns = std::size(k_scenarios);
	std::vector<std::vector<std::string>> cells(o.cards.size(),
	                                            std::vector<std::string>(columns));
	// The format of the frames of scenario (a), else of (b).
	std::vector<std::vector<std::string>> formats(o.cards.size(),
	                                              std::vector<std::string>(columns));
	std::atomic<size_t> next{0};
	std::vector<std::thread> workers;
	for (int j = 0; j < o.jobs; j++)
		workers.emplace_back([&] {
			for (size_t t = next++; t < o.cards.size() * columns; t = next++)
				cells[t / columns][t % columns] =
				        run_cell(o, facts[t / columns], o.cards[t / columns],
				                 k_scenarios[t % columns], store,
				                 formats[t / columns][t % columns]);
		});
	for (std::thread &w : workers)
		w.join();
	std::vector<std::string> format_of(o.cards.size());
	for (size_t r = 0; r < o.cards.size(); r++)
		format_of[r] = !formats[r][0].empty() ? formats[r][0] : formats[r][1];
	print_table(o.cards, format_of, cells);
	return 0;
}
