// The LD_PRELOAD virtual card: at the first open of the card it installs the topology that the
// file named by SIMKMS_CONFIG describes (sim/config.h), starts the control channel
// (sim/control.h), and from then on captures the screen and keeps the log when asked to.
#include "sim/card.h"
#include "sim/config.h"
#include "sim/control.h"
#include "sim/preload.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim
{

namespace
{

struct capture_state {
	std::string dir;
	std::vector<image> last; // per CRTC; empty while the CRTC is off
	unsigned written = 0;
	unsigned failed = 0;
	std::string last_path;
};

struct log_state {
	FILE *file = nullptr;
	size_t requests_done = 0;
	size_t commits_done = 0;
};

pthread_mutex_t capture_lock = PTHREAD_MUTEX_INITIALIZER;
// Set once at start; commits of other threads read it without the lock.
std::atomic<capture_state *> g_capture{nullptr};
pthread_mutex_t log_lock = PTHREAD_MUTEX_INITIALIZER;
log_state *g_log = nullptr;

struct mutex_guard {
	explicit mutex_guard(pthread_mutex_t &m) : m_(m)
	{
		pthread_mutex_lock(&m_);
	}
	~mutex_guard()
	{
		pthread_mutex_unlock(&m_);
	}
	mutex_guard(const mutex_guard &) = delete;
	mutex_guard &operator=(const mutex_guard &) = delete;

private:
	pthread_mutex_t &m_;
};

[[noreturn]] void fatal(const std::string &what)
{
	// The process cannot run on a card other than the one it was configured with.
	fprintf(stderr, "simkms: %s\n", what.c_str());
	_exit(2);
}

// Writes the picture of every CRTC whose picture changed since its last capture.
void capture_changed_screens()
{
	mutex_guard guard(capture_lock);
	capture_state &c = *g_capture.load();
	for (size_t i = 0; i < c.last.size(); i++) {
		image img = kms::compose_screen(*kms::g_dev, int(i));
		image &last = c.last[i];
		if (img.width == 0) {
			last = image{};
			continue;
		}
		if (img.width == last.width && img.height == last.height && img.rgb == last.rgb)
			continue;
		char name[64];
		snprintf(name, sizeof name, "/%06u-crtc%zu.png", c.written + c.failed + 1, i);
		const std::string path = c.dir + name;
		if (write_png(img, path)) {
			c.written++;
			c.last_path = path;
		} else {
			c.failed++;
		}
		last = std::move(img);
	}
}

void flush_log_at_exit()
{
	preload_flush_log();
}

constexpr const char *k_dri = "/dev/dri";

// An empty regular file for a card node, so that a program watching /dev/dri with inotify sees
// it appear; mknod, unlike open, is not the card's own entry point.
void make_node(const char *path)
{
	if (mknod(path, S_IFREG | 0666, 0) != 0 && errno != EEXIST)
		fprintf(stderr, "simkms: %s: %s\n", path, strerror(errno));
}

void *make_display_node(void *delay_ms)
{
	const int64_t ns = int64_t(reinterpret_cast<intptr_t>(delay_ms)) * 1000000;
	timespec ts{time_t(ns / 1000000000), long(ns % 1000000000)};
	while (clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, &ts) == EINTR) {
	}
	make_node("/dev/dri/card1");
	return nullptr;
}

// With a render-only card0 the display's node appears after its delay: card0 at once, card1 from
// a thread of its own when the delay has passed (the card itself refuses opens of card1 until
// then). Only where /dev/dri is a directory the process may write, such as the private one the
// player harness mounts.
void make_nodes(const topology &t)
{
	struct stat st {
	};
	if (!t.render_card0 || stat(k_dri, &st) != 0 || !S_ISDIR(st.st_mode) ||
	    access(k_dri, W_OK) != 0)
		return;
	make_node("/dev/dri/card0");
	sigset_t all, old;
	sigfillset(&all);
	pthread_sigmask(SIG_SETMASK, &all, &old);
	pthread_t thread;
	const int r = pthread_create(&thread, nullptr, make_display_node,
	                             reinterpret_cast<void *>(intptr_t(t.display_card_delay_ms)));
	pthread_sigmask(SIG_SETMASK, &old, nullptr);
	if (r != 0)
		fatal(std::string("node thread: ") + strerror(r));
	pthread_detach(thread);
}

} // namespace

std::string preload_capture_status()
{
	mutex_guard guard(capture_lock);
	const capture_state *c = g_capture.load();
	if (!c)
		return "written=0 failed=0 last=";
	return "written=" + std::to_string(c->written) + " failed=" + std::to_string(c->failed) +
	       " last=" + c->last_path;
}

// Appends the requests and commits recorded since the last flush. A MODE_ATOMIC request is
// followed by its commit record.
void preload_flush_log()
{
	mutex_guard guard(log_lock);
	if (!g_log)
		return;
	// Requests first: every commit of a request read here is then in the commit list.
	const std::vector<request_record> reqs = requests();
	const std::vector<commit_record> coms = commits();
	if (reqs.size() < g_log->requests_done || coms.size() < g_log->commits_done) {
		fprintf(g_log->file, "records cleared\n");
		g_log->requests_done = 0;
		g_log->commits_done = 0;
	}
	for (size_t i = g_log->requests_done; i < reqs.size(); i++) {
		fprintf(g_log->file, "request %s\n", format_request(reqs[i]).c_str());
		if (reqs[i].name == "MODE_ATOMIC" && g_log->commits_done < coms.size())
			fprintf(g_log->file, "commit %s\n",
			        format_commit(coms[g_log->commits_done++]).c_str());
	}
	g_log->requests_done = reqs.size();
	fflush(g_log->file);
}

} // namespace sim

extern "C" void simkms_preload_init(void)
{
	const char *path = getenv("SIMKMS_CONFIG");
	std::string error;
	const std::optional<sim::preload_config> cfg =
	        path && *path ? sim::read_config(path, error) : sim::parse_config("", error);
	if (!cfg)
		sim::fatal(error);

	sim::install(cfg->card);
	sim::make_nodes(cfg->card);

	if (!cfg->capture_dir.empty()) {
		if (mkdir(cfg->capture_dir.c_str(), 0755) != 0 && errno != EEXIST)
			sim::fatal("capture_dir " + cfg->capture_dir + ": " + strerror(errno));
		sim::capture_state *c = new sim::capture_state;
		c->dir = cfg->capture_dir;
		c->last.resize(cfg->card.crtcs.size());
		sim::mutex_guard guard(sim::capture_lock);
		sim::g_capture = c;
	}
	if (!cfg->log.empty()) {
		const int fd = sim::move_own_fd(
		        open(cfg->log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
		FILE *f = fd >= 0 ? fdopen(fd, "a") : nullptr;
		if (!f)
			sim::fatal("log " + cfg->log + ": " + strerror(errno));
		sim::log_state *l = new sim::log_state;
		l->file = f;
		{
			sim::mutex_guard guard(sim::log_lock);
			sim::g_log = l;
		}
		atexit(sim::flush_log_at_exit);
	}
	if (!sim::control_start(*cfg, error))
		sim::fatal(error);
}

extern "C" void simkms_preload_after_commit(unsigned flags)
{
	(void)flags;
	if (sim::g_capture)
		sim::capture_changed_screens();
}
