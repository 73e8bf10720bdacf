// soak [frames] [hot-plug cycles]: the player and the hot-plug handler for a long time on a card
// whose buffers come from resident memory, as on the contiguous allocators of embedded display
// controllers. Every cycle unplugs and plugs the monitor again and plays frames / cycles frames.
// Resident memory, open descriptors and the card's live objects are sampled after the first
// cycle, at the middle and at the end; the exit status is 1 when they are not flat.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include <drm_fourcc.h>
#include <poll.h>
#include <xf86drm.h>

#include "animation/boot_config.h"
#include "animation/player.h"
#include "display/display.h"
#include "hotplug/hotplug.h"
#include "sim/sim.h"
#include "tests/support/card.h"
#include "tests/support/jpeg_file.h"

namespace
{

constexpr int k_distinct_frames = 10;
constexpr int k_w = 1920, k_h = 1080;
// Reads the DRM events that are due, as the event thread does: the mode set asks for a flip
// event, and events nobody reads fill the file's event space until commits fail with ENOMEM.
void drain_events(int fd)
{
	drmEventContext ctx{};
	ctx.version = 2;
	pollfd p{fd, POLLIN, 0};
	while (poll(&p, 1, 0) > 0 && (p.revents & POLLIN))
		drmHandleEvent(fd, &ctx);
}

// Allocator noise allowed between two samples; far below one leaked frame buffer (6 MiB).
constexpr long k_rss_slack_kib = 2048;

struct sample {
	long rss_kib = 0;
	int fds = 0;
	sim::live_counts live;
};

long rss_kib()
{
	FILE *f = fopen("/proc/self/status", "r");
	char line[256];
	long kib = -1;
	while (f && fgets(line, sizeof line, f))
		if (strncmp(line, "VmRSS:", 6) == 0)
			kib = strtol(line + 6, nullptr, 10);
	if (f)
		fclose(f);
	return kib;
}

int open_fds()
{
	DIR *d = opendir("/proc/self/fd");
	int n = 0;
	while (d && readdir(d))
		n++;
	if (d)
		closedir(d);
	return n - 3; // ".", ".." and the directory's own descriptor
}

sample take()
{
	return {rss_kib(), open_fds(), sim::live()};
}

void print(const char *when, int frames, int cycles, const sample &s)
{
	fprintf(stderr,
	        "%-6s frames %6d hot-plugs %5d: rss %6ld KiB, fds %d, card files %d, dumb buffers "
	        "%d, mappings %d, framebuffers %d, blobs %d\n",
	        when, frames, cycles, s.rss_kib, s.fds, s.live.files, s.live.dumb_buffers,
	        s.live.mappings, s.live.framebuffers, s.live.blobs);
}

bool same_objects(const sample &a, const sample &b)
{
	return a.fds == b.fds && a.live.files == b.live.files &&
	       a.live.dumb_buffers == b.live.dumb_buffers && a.live.mappings == b.live.mappings &&
	       a.live.framebuffers == b.live.framebuffers && a.live.blobs == b.live.blobs;
}

} // namespace

int main(int argc, char **argv)
{
	const int frames = argc > 1 ? atoi(argv[1]) : 10000;
	const int cycles = argc > 2 ? atoi(argv[2]) : 1000;
	if (cycles < 2 || frames < cycles) {
		fprintf(stderr, "usage: soak [frames] [hot-plug cycles >= 2, <= frames]\n");
		return 2;
	}

	const std::string dir = make_temp_dir();
	for (int k = 0; k < k_distinct_frames; k++)
		write_jpeg(dir + "/" + std::to_string(k) + ".jpg", test_picture(k_w, k_h, k), 85);
	snprintf(mBootAnimPath, sizeof mBootAnimPath, "%s", dir.c_str());
	mFps = 0;

	sim::topology t = *sim::preset("hdmi-1080p");
	t.planes[0].formats.push_back(DRM_FORMAT_RGB888);
	t.driver.resident_buffers = true;

	// The player's and the handler's lines go nowhere; the figures go to standard error.
	fflush(stdout);
	const int null = open("/dev/null", O_WRONLY);
	dup2(null, 1);
	close(null);

	install_card(t);
	const int fd = open_atomic_card();
	drm_load_resources(fd);
	if (drm_get_connector(fd))
		drm_find_encoder(fd);

	sample start, middle, end;
	int played = 0;
	for (int c = 1; c <= cycles; c++) {
		sim::set_connected(0, false);
		handle_hotplug(fd);
		sim::set_connected(0, true);
		handle_hotplug(fd);
		const int n = frames / cycles + (c <= frames % cycles ? 1 : 0);
		for (int done = 0; done < n; done += mImageCount) {
			mImageCount = std::min(k_distinct_frames, n - done);
			play_boot_animation(fd);
		}
		played += n;
		drain_events(fd);
		// The card's own request log is test machinery, not the player's memory.
		sim::clear_records();
		if (c == 1)
			print("start", played, c, start = take());
		if (c == cycles / 2)
			print("middle", played, c, middle = take());
	}
	print("end", played, cycles, end = take());
	remove_tree(dir);

	bool flat = same_objects(start, middle) && same_objects(middle, end) &&
	            middle.rss_kib - start.rss_kib <= k_rss_slack_kib &&
	            end.rss_kib - middle.rss_kib <= k_rss_slack_kib;
	fprintf(stderr, "soak: %s\n", flat ? "flat" : "NOT FLAT");
	return flat ? 0 : 1;
}
