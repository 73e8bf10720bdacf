// Shared parts of the whole-program tests: a scratch /mnt/bootanimation with frames made by
// libjpeg's compressor, the real bootanim under the virtual card, and what its screen must show.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <drm_fourcc.h>
#include <fstream>
#include <linux/netlink.h>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <vector>

#include "sim/sim.h"
#include "tests/e2e/uevent.h"
#include "tests/support/jpeg_file.h"
#include "tests/support/wait.h"
#include "tools/player_harness.h"
#include "tools/png_read.h"

namespace e2e
{

const std::string k_frames = "/mnt/bootanimation/frames";

inline int occurrences(const std::string &text, const std::string &what)
{
	int n = 0;
	for (size_t at = text.find(what); at != std::string::npos;
	     at = text.find(what, at + what.size()))
		n++;
	return n;
}

// The text without the lines equal to `line` (lines that another thread may print anywhere).
inline std::string without_line(const std::string &text, const std::string &line)
{
	std::string out;
	for (const std::string &l : harness::lines_of(text))
		if (l != line)
			out += l + "\n";
	return out;
}

// What the virtual card shows for an RG24 buffer into which the decoder wrote `pic` (red first,
// as libjpeg emits it), stretched over a w x h mode. The card reads RG24 as the DRM format
// defines it, blue at the lowest address, so red and blue trade places on screen.
inline sim::image expected_screen(const rgb_picture &pic, uint32_t w, uint32_t h)
{
	sim::image img;
	img.width = w;
	img.height = h;
	img.rgb.resize(size_t(w) * h * 3);
	for (uint32_t y = 0; y < h; y++)
		for (uint32_t x = 0; x < w; x++) {
			const uint32_t sx = x * uint32_t(pic.width) / w;
			const uint32_t sy = y * uint32_t(pic.height) / h;
			const uint8_t *s =
			        &pic.data[(size_t(sy) * pic.width + sx) * pic.components];
			uint8_t *d = &img.rgb[(size_t(y) * w + x) * 3];
			if (pic.components == 1) {
				d[0] = d[1] = d[2] = s[0];
			} else {
				d[0] = s[2];
				d[1] = s[1];
				d[2] = s[0];
			}
		}
	return img;
}

inline sim::image black_screen(uint32_t w, uint32_t h)
{
	sim::image img;
	img.width = w;
	img.height = h;
	img.rgb.assign(size_t(w) * h * 3, 0);
	return img;
}

// Empty when equal, else where and how they differ.
inline std::string compare(const sim::image &got, const sim::image &want)
{
	if (got.width != want.width || got.height != want.height)
		return "size " + std::to_string(got.width) + "x" + std::to_string(got.height) +
		       " instead of " + std::to_string(want.width) + "x" +
		       std::to_string(want.height);
	size_t bad = 0, first = 0;
	for (size_t i = 0; i < got.rgb.size(); i += 3)
		if (got.rgb[i] != want.rgb[i] || got.rgb[i + 1] != want.rgb[i + 1] ||
		    got.rgb[i + 2] != want.rgb[i + 2])
			if (bad++ == 0)
				first = i / 3;
	if (bad == 0)
		return "";
	const uint8_t *g = &got.rgb[first * 3], *w = &want.rgb[first * 3];
	return std::to_string(bad) + " pixels differ, the first at (" +
	       std::to_string(first % got.width) + "," + std::to_string(first / got.width) +
	       "): " + std::to_string(g[0]) + "," + std::to_string(g[1]) + "," +
	       std::to_string(g[2]) + " instead of " + std::to_string(w[0]) + "," +
	       std::to_string(w[1]) + "," + std::to_string(w[2]);
}

inline sim::image load_png(const std::string &path)
{
	std::string error;
	auto img = read_png(path, error);
	EXPECT_TRUE(img.has_value()) << error;
	return img ? *img : sim::image{};
}

// The object ids the card reports ("connectors 43", "crtcs 41", ...).
inline std::map<std::string, std::vector<uint32_t>> parse_ids(const std::string &reply)
{
	std::map<std::string, std::vector<uint32_t>> ids;
	for (const std::string &line : harness::lines_of(reply)) {
		const size_t blank = line.find(' ');
		std::vector<uint32_t> &list = ids[line.substr(0, blank)];
		for (size_t at = blank; at != std::string::npos && at + 1 < line.size();
		     at = line.find(' ', at + 1))
			list.push_back(uint32_t(std::stoul(line.substr(at + 1))));
	}
	return ids;
}

// What display discovery prints for the player's card, sim::preset_hdmi_1080p, as the entry and
// the re-detection after a mode set print it (drm_get_connector's pointer shown as `pointer`).
inline std::string discovery_lines(uint32_t encoder_id, const std::string &pointer)
{
	const std::string encoder = std::to_string(encoder_id);
	return "[DRM]: Found 1 connectors.\n"
	       "[DRM]: Connector 0 connected: yes\n"
	       "[DRM]: Connector 0 has 6 modes.\n"
	       "[DRM]: HDMI Connector 0 assigned to monitor index: #1.\n"
	       "drm_get_connector: g_drm_connector=" +
	       pointer +
	       " 11111\n"
	       "[DRM]: Mode 0: (1920x1080) 1920 x 1080, 60 Hz\n"
	       "[DRM]: Mode 1: (1280x720) 1280 x 720, 60 Hz\n"
	       "[DRM]: Mode 2: (1024x768) 1024 x 768, 60 Hz\n"
	       "[DRM]: Mode 3: (800x600) 800 x 600, 60 Hz\n"
	       "[DRM]: Mode 4: (720x480) 720 x 480, 60 Hz\n"
	       "[DRM]: Mode 5: (640x480) 640 x 480, 60 Hz\n"
	       "g_drm_encoder->encoder_id=" +
	       encoder + " g_drm_connector->encoder_id=" + encoder + "\n";
}

// The number that follows `key` in `text`, or "" when `key` is absent.
inline std::string number_after(const std::string &text, const std::string &key)
{
	const size_t at = text.find(key);
	if (at == std::string::npos)
		return "";
	const size_t from = at + key.size();
	size_t end = from;
	while (end < text.size() && isdigit(static_cast<unsigned char>(text[end])))
		end++;
	return text.substr(from, end - from);
}

// The text with drm_get_connector's pointer value replaced by "P".
inline std::string mask_pointer(std::string text)
{
	const std::string key = "drm_get_connector: g_drm_connector=";
	for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
		const size_t from = at + key.size();
		text.replace(from, text.find(' ', from) - from, "P");
	}
	return text;
}

// The index of the first plane of `t` that offers RG24: the plane the player shows frames on.
inline int rg24_plane(const sim::topology &t)
{
	for (size_t i = 0; i < t.planes.size(); i++)
		for (uint32_t f : t.planes[i].formats)
			if (f == DRM_FORMAT_RGB888)
				return int(i);
	return -1;
}

// The FB_ID of a frame's commit line, 0 when it has none.
inline uint32_t fb_of(const std::string &commit)
{
	const size_t at = commit.find(":FB_ID=");
	return at == std::string::npos ? 0 : uint32_t(std::stoul(commit.substr(at + 7)));
}

class whole_program : public testing::Test
{
protected:
	void SetUp() override
	{
		ASSERT_FALSE(dir_.path().empty());
		mkdir((dir_.path() + "/mnt").c_str(), 0755);
		mkdir((dir_.path() + "/mnt/bootanimation").c_str(), 0755);
		mkdir((dir_.path() + "/mnt/bootanimation/frames").c_str(), 0755);
	}

	void TearDown() override
	{
		if (HasFailure() && player_) {
			const std::string out = player_->output(), err = player_->errors();
			std::cout << "--- player's standard output (last 6000 bytes) ---\n"
			          << out.substr(out.size() > 6000 ? out.size() - 6000 : 0)
			          << "--- player's standard error (first 3000 bytes) ---\n"
			          << err.substr(0, 3000) << "---\n";
		}
		player_.reset();
	}

	// Directory as the test writes it for a path the player sees under /mnt.
	std::string outside(const std::string &inside) const
	{
		return dir_.path() + inside;
	}

	void write_boot_conf(int count, int fps, const std::string &path = k_frames)
	{
		const std::string text = "cnt=" + std::to_string(count) + "\npath=" + path +
		                         "\nfps=" + std::to_string(fps) + "\n";
		ASSERT_TRUE(write_file(outside("/mnt/bootanimation/boot.conf"),
		                       {text.begin(), text.end()}));
	}

	// Writes frame `k` of the given size (pattern `variant`, default k) as `<k><ext>` in the
	// directory and returns what libjpeg decodes from the file.
	rgb_picture write_frame(int k, int w, int h, const std::string &ext = ".jpg",
	                        int variant = -1, const std::string &dir = k_frames)
	{
		const std::string path = outside(dir) + "/" + std::to_string(k) + ext;
		EXPECT_TRUE(write_jpeg(path, test_picture(w, h, variant < 0 ? k : variant)));
		return decode_jpeg(path);
	}

	harness::player_options options() const
	{
		harness::player_options o;
		o.bootanim = BOOTANIM_PATH;
		o.preload = SIMKMS_PRELOAD_PATH;
		o.send_uevent = SEND_UEVENT_PATH;
		o.capture = true;
		return o;
	}

	void start(const harness::player_options &o)
	{
		player_ = std::make_unique<harness::player>(dir_.path());
		ASSERT_TRUE(player_->start(o));
	}

	// The card's object ids, once the player has opened it.
	void read_ids()
	{
		auto reply = player_->command("ids");
		ASSERT_TRUE(reply.has_value());
		ids_ = parse_ids(*reply);
		ASSERT_FALSE(ids_["crtcs"].empty());
	}

	// The captured screens, oldest first.
	std::vector<std::string> capture_files() const
	{
		std::vector<std::string> files;
		for (int i = 1;; i++) {
			char name[32];
			snprintf(name, sizeof name, "/%06d-crtc0.png", i);
			const std::string path = player_->capture_dir() + name;
			struct stat st {
			};
			if (stat(path.c_str(), &st) != 0)
				break;
			files.push_back(path);
		}
		return files;
	}

	bool wait_captures(int n)
	{
		return wait_until([&] { return player_->captures() >= n; }, k_wait_deadline,
		                  k_poll);
	}

	// Waits until `text` is in the output after `mark` `count` times.
	bool wait_output(size_t mark, const std::string &text, int count = 1)
	{
		return wait_until(
		        [&] { return occurrences(player_->output().substr(mark), text) >= count; },
		        k_wait_deadline, k_poll);
	}

	// Waits until the worker has waited for `n` vblanks since the card's last atomic commit:
	// the animation, its last pause included, is over and the worker only cycles.
	bool wait_worker_cycles(int n = 2)
	{
		return wait_until(
		        [&] {
			        const std::string r = player_->command("requests").value_or("");
			        const size_t last = r.rfind("MODE_ATOMIC ");
			        return occurrences(last == std::string::npos ? r : r.substr(last),
			                           "WAIT_VBLANK ") >= n;
		        },
		        k_wait_deadline, k_poll);
	}

	// Waits until the player's main thread sleeps in its idle loop, which prints nothing: by
	// then the main thread has printed all it ever will. The caller has waited for its last
	// line.
	bool wait_main_idle()
	{
		const std::string path = "/proc/" + std::to_string(player_->pid()) + "/syscall";
		return wait_until(
		        [&] {
			        std::ifstream in(path);
			        long nr = -1;
			        return bool(in >> nr) &&
			               (nr == SYS_clock_nanosleep || nr == SYS_nanosleep ||
			                nr == SYS_rt_sigtimedwait);
		        },
		        k_wait_deadline, k_poll);
	}

	// Sends a uevent once the player's uevent socket listens: one sent before it is bound
	// reaches nobody. The socket shows in the player's own network namespace.
	bool send_uevent(const std::string &datagram)
	{
		const std::string path = "/proc/" + std::to_string(player_->pid()) + "/net/netlink";
		auto listening = [&] {
			std::ifstream in(path);
			std::string line;
			std::getline(in, line); // the column names
			while (std::getline(in, line)) {
				std::istringstream fields(line);
				std::string sk, pid, groups;
				int protocol = -1;
				if (fields >> sk >> protocol >> pid >> groups &&
				    protocol == NETLINK_KOBJECT_UEVENT && groups != "00000000")
					return true;
			}
			return false;
		};
		return wait_until(listening, k_wait_deadline, k_poll) &&
		       player_->send_uevent(datagram);
	}

	// Sends the barrier uevent and waits until the event thread has logged it.
	bool event_barrier()
	{
		const size_t mark = player_->output().size();
		return send_uevent(barrier_uevent()) && wait_output(mark, k_barrier_line);
	}

	static constexpr std::chrono::milliseconds k_poll{5};

	harness::scratch_dir dir_;
	std::unique_ptr<harness::player> player_;
	std::map<std::string, std::vector<uint32_t>> ids_;
};

} // namespace e2e
