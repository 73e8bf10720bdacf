#include "tools/player_harness.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

namespace harness
{

namespace
{

// Runs inside the new namespaces: the scratch directory's mnt over /mnt (and its media over
// /media when it has one), an empty private /dev/dri when asked (the machine's cards hidden, and
// room for the nodes of a card whose display appears late; on a machine without /dev/dri, a
// private /dev holding it and the machine's memory and random nodes), then the player.
const char *const k_wrapper = "set -e\n"
                              "mount --bind \"$1/mnt\" /mnt\n"
                              "if [ -d \"$1/media\" ] && [ -d /media ]; then\n"
                              "\tmount --bind \"$1/media\" /media\n"
                              "fi\n"
                              "if [ \"$2\" = 1 ] && [ -d /dev/dri ]; then\n"
                              "\tmount -t tmpfs bootanim-no-card /dev/dri\n"
                              "elif [ \"$2\" = 1 ]; then\n"
                              "\tmkdir \"$1/dev\"\n"
                              "\tmount -t tmpfs bootanim-dev \"$1/dev\"\n"
                              "\tmkdir \"$1/dev/dri\"\n"
                              "\tfor n in null zero full random urandom; do\n"
                              "\t\t: >\"$1/dev/$n\"\n"
                              "\t\tmount --bind \"/dev/$n\" \"$1/dev/$n\"\n"
                              "\tdone\n"
                              "\tmount --rbind \"$1/dev\" /dev\n"
                              "fi\n"
                              "shift 2\n"
                              "exec \"$@\"\n";

// The card's settings ask for a render-only card0, whose preload library makes the card nodes.
bool asks_render_card0(const std::vector<std::string> &settings)
{
	for (const std::string &line : settings) {
		std::istringstream words(line);
		std::string key, value;
		if (words >> key >> value && key == "render_card0" && value == "1")
			return true;
	}
	return false;
}

std::string read_file(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool write_file(const std::string &path, const std::string &text)
{
	std::ofstream out(path, std::ios::binary);
	out << text;
	return bool(out.flush());
}

int count_of(const std::string &text, const std::string &what)
{
	int n = 0;
	for (size_t at = text.find(what); at != std::string::npos;
	     at = text.find(what, at + what.size()))
		n++;
	return n;
}

void remove_tree(const std::string &path)
{
	DIR *d = opendir(path.c_str());
	if (d) {
		while (dirent *e = readdir(d)) {
			const std::string name = e->d_name;
			if (name == "." || name == "..")
				continue;
			const std::string child = path + "/" + name;
			struct stat st {
			};
			if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
				remove_tree(child);
			else
				unlink(child.c_str());
		}
		closedir(d);
	}
	rmdir(path.c_str());
}

} // namespace

int64_t now_ms()
{
	timespec ts{};
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

scratch_dir::scratch_dir()
{
	const char *tmp = getenv("TMPDIR");
	std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/bootanim-e2e-XXXXXX";
	if (mkdtemp(tmpl.data()))
		path_ = tmpl;
}

scratch_dir::~scratch_dir()
{
	if (!path_.empty())
		remove_tree(path_);
}

player::player(std::string root) : root_(std::move(root)) {}

player::~player()
{
	if (pid_ > 0 && !reaped_) {
		kill(pid_, SIGKILL);
		waitpid(pid_, nullptr, 0);
	}
	if (ctl_fd_ >= 0)
		close(ctl_fd_);
}

bool player::start(const player_options &o)
{
	sender_ = o.send_uevent;
	mkdir((root_ + "/mnt").c_str(), 0755);
	const bool private_dri =
	        o.hide_cards || (!o.preload.empty() && asks_render_card0(o.card_settings));
	std::vector<std::string> argv = {
	        "unshare", "--user", "--map-root-user", "--net", "--mount", "--",
	        "/bin/sh", "-c",     k_wrapper,         "sh",    root_,     private_dri ? "1" : "0",
	        "env"};
	// The card's library is preloaded into the player alone, not into the tools before it.
	if (!o.preload.empty()) {
		std::string conf = "preset " + o.preset + "\n";
		if (o.control)
			conf += "control " + root_ + "/ctl.sock\n";
		if (o.capture)
			conf += "capture_dir " + capture_dir() + "\n";
		for (const std::string &line : o.card_settings)
			conf += line + "\n";
		if (!write_file(root_ + "/card.conf", conf))
			return false;
		argv.push_back("LD_PRELOAD=" + o.preload);
		argv.push_back("SIMKMS_CONFIG=" + root_ + "/card.conf");
	}
	for (const std::string &e : o.env)
		argv.push_back(e);
	argv.push_back(o.bootanim);
	argv.insert(argv.end(), o.args.begin(), o.args.end());

	// A sanitizer runtime insists on coming first among the libraries; the preloaded card
	// comes before it, which is harmless here.
	std::vector<std::string> env;
	std::string asan = "ASAN_OPTIONS=verify_asan_link_order=0";
	for (char **e = environ; *e; e++) {
		const std::string v = *e;
		if (v.rfind("LD_PRELOAD=", 0) == 0 || v.rfind("SIMKMS_CONFIG=", 0) == 0)
			continue;
		if (v.rfind("ASAN_OPTIONS=", 0) == 0) {
			asan += ":" + v.substr(13);
			continue;
		}
		env.push_back(v);
	}
	env.push_back(asan);

	std::vector<char *> a, e;
	for (std::string &s : argv)
		a.push_back(s.data());
	a.push_back(nullptr);
	for (std::string &s : env)
		e.push_back(s.data());
	e.push_back(nullptr);

	const std::string out = root_ + "/stdout", err = root_ + "/stderr";
	out_fd_ = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
	err_fd_ = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
	if (out_fd_ < 0 || err_fd_ < 0)
		return false;
	pid_ = fork();
	if (pid_ == 0) {
		// A test or benchmark that dies (a time-out kills it) takes its player with it.
		prctl(PR_SET_PDEATHSIG, SIGKILL);
		dup2(out_fd_, 1);
		int gone[2];
		if (o.output_closed && pipe(gone) == 0) {
			close(gone[0]);
			dup2(gone[1], 1);
		}
		dup2(err_fd_, 2);
		int null = open("/dev/null", O_RDONLY);
		if (null >= 0)
			dup2(null, 0);
		execvpe(a[0], a.data(), e.data());
		_exit(127);
	}
	close(out_fd_);
	close(err_fd_);
	out_fd_ = err_fd_ = -1;
	return pid_ > 0;
}

std::string player::output()
{
	return read_file(root_ + "/stdout");
}

std::string player::errors()
{
	return read_file(root_ + "/stderr");
}

bool player::wait_for(const std::string &text, int timeout_ms, int count)
{
	const int64_t end = now_ms() + timeout_ms;
	while (true) {
		if (count_of(output(), text) >= count)
			return true;
		if (now_ms() > end)
			return false;
		usleep(5000);
	}
}

std::optional<std::string> player::command(const std::string &line, std::string *error)
{
	auto fail = [&](const std::string &why) -> std::optional<std::string> {
		if (error)
			*error = why;
		if (ctl_fd_ >= 0)
			close(ctl_fd_);
		ctl_fd_ = -1;
		return std::nullopt;
	};
	if (ctl_fd_ < 0) {
		sockaddr_un addr{};
		addr.sun_family = AF_UNIX;
		const std::string path = root_ + "/ctl.sock";
		strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
		ctl_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
		const int64_t end = now_ms() + 20000;
		while (connect(ctl_fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
			if (now_ms() > end)
				return fail("control socket " + path + ": " + strerror(errno));
			usleep(5000);
		}
	}
	const std::string text = line + "\n";
	if (send(ctl_fd_, text.data(), text.size(), MSG_NOSIGNAL) != ssize_t(text.size()))
		return fail("control socket: send failed");
	std::string reply;
	const int64_t end = now_ms() + 20000;
	while (true) {
		if (!reply.empty() && reply.back() == '\n') {
			const size_t nl = reply.rfind('\n', reply.size() - 2);
			const size_t from = nl == std::string::npos ? 0 : nl + 1;
			const std::string last = reply.substr(from, reply.size() - 1 - from);
			if (last == "ok")
				return reply.substr(0, from);
			if (last.rfind("error ", 0) == 0) {
				if (error)
					*error = last.substr(6);
				return std::nullopt;
			}
		}
		if (now_ms() > end)
			return fail("control socket: no reply to " + line);
		pollfd p{ctl_fd_, POLLIN, 0};
		if (poll(&p, 1, 100) <= 0)
			continue;
		char buf[65536];
		const ssize_t n = read(ctl_fd_, buf, sizeof buf);
		if (n <= 0)
			return fail("control socket closed");
		reply.append(buf, size_t(n));
	}
}

std::vector<std::string> player::commits()
{
	auto reply = command("commits");
	return reply ? lines_of(*reply) : std::vector<std::string>{};
}

int player::captures()
{
	int n = 0;
	DIR *d = opendir(capture_dir().c_str());
	if (!d)
		return 0;
	while (dirent *e = readdir(d)) {
		const std::string name = e->d_name;
		if (name.size() > 4 && name.compare(name.size() - 4, 4, ".png") == 0)
			n++;
	}
	closedir(d);
	return n;
}

bool player::send_uevent(const std::string &datagram)
{
	// nsenter joins the player's user and network namespaces; a thread-free process is needed
	// for that, which a forked copy of a sanitizer-instrumented test is not sure to be.
	int in[2];
	if (sender_.empty() || pipe2(in, O_CLOEXEC) != 0)
		return false;
	const std::string target = std::to_string(pid_);
	const pid_t child = fork();
	if (child == 0) {
		dup2(in[0], 0);
		execlp("nsenter", "nsenter", "--target", target.c_str(), "--user", "--net",
		       "--preserve-credentials", sender_.c_str(), static_cast<char *>(nullptr));
		_exit(127);
	}
	close(in[0]);
	const bool written =
	        write(in[1], datagram.data(), datagram.size()) == ssize_t(datagram.size());
	close(in[1]);
	int status = 0;
	return child > 0 && waitpid(child, &status, 0) == child && written && WIFEXITED(status) &&
	       WEXITSTATUS(status) == 0;
}

int player::threads() const
{
	int n = 0;
	DIR *d = opendir(("/proc/" + std::to_string(pid_) + "/task").c_str());
	if (!d)
		return 0;
	while (dirent *e = readdir(d))
		if (e->d_name[0] != '.')
			n++;
	closedir(d);
	return n;
}

bool player::alive()
{
	if (pid_ <= 0 || reaped_)
		return false;
	int status = 0;
	if (waitpid(pid_, &status, WNOHANG) == pid_) {
		reaped_ = true;
		end_signal_ = WIFSIGNALED(status) ? WTERMSIG(status) : -1;
		exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
		return false;
	}
	return true;
}

long player::peak_rss_kib() const
{
	std::istringstream in(read_file("/proc/" + std::to_string(pid_) + "/status"));
	std::string line;
	while (std::getline(in, line))
		if (line.rfind("VmHWM:", 0) == 0)
			return atol(line.c_str() + 6);
	return -1;
}

double player::cpu_seconds() const
{
	const std::string stat = read_file("/proc/" + std::to_string(pid_) + "/stat");
	// Fields after the command name, which may hold blanks, start after its ')'.
	const size_t close_paren = stat.rfind(')');
	if (close_paren == std::string::npos)
		return -1;
	std::istringstream in(stat.substr(close_paren + 2));
	std::string field;
	unsigned long utime = 0, stime = 0;
	for (int i = 3; i <= 15 && in >> field; i++) {
		if (i == 14)
			utime = std::stoul(field);
		if (i == 15)
			stime = std::stoul(field);
	}
	return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

bool player::stop(int sig, int timeout_ms)
{
	if (!alive())
		return true;
	kill(pid_, sig);
	const int64_t end = now_ms() + timeout_ms;
	while (now_ms() <= end) {
		if (!alive())
			return true;
		usleep(2000);
	}
	return false;
}

std::string drm_hotplug_uevent(unsigned seqnum)
{
	const std::string path = "/devices/pci0000:00/0000:00:02.0/drm/card0";
	std::string d;
	for (const std::string &s :
	     {"change@" + path, std::string("ACTION=change"), "DEVPATH=" + path,
	      std::string("SUBSYSTEM=drm"), std::string("HOTPLUG=1"),
	      std::string("DEVNAME=dri/card0"), std::string("DEVTYPE=drm_minor"),
	      "SEQNUM=" + std::to_string(seqnum), std::string("MAJOR=226"),
	      std::string("MINOR=0")}) {
		d += s;
		d += '\0';
	}
	return d;
}

std::vector<std::string> lines_of(const std::string &text)
{
	std::vector<std::string> lines;
	std::istringstream in(text);
	std::string line;
	while (std::getline(in, line))
		lines.push_back(line);
	return lines;
}

} // namespace harness
