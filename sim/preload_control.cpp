// The control channel of the preload library (protocol in sim/control.h).
#include "sim/control.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "tools/standin.h"

namespace sim
{

namespace
{

struct errno_name {
	int value;
	const char *name;
};

// The errors a test is likely to inject or see; others are given and shown as numbers.
constexpr errno_name errno_names[] = {
        {EPERM, "EPERM"},           {ENOENT, "ENOENT"},
        {EINTR, "EINTR"},           {EIO, "EIO"},
        {ENXIO, "ENXIO"},           {E2BIG, "E2BIG"},
        {EBADF, "EBADF"},           {EAGAIN, "EAGAIN"},
        {ENOMEM, "ENOMEM"},         {EACCES, "EACCES"},
        {EFAULT, "EFAULT"},         {EBUSY, "EBUSY"},
        {EEXIST, "EEXIST"},         {ENODEV, "ENODEV"},
        {EINVAL, "EINVAL"},         {ENFILE, "ENFILE"},
        {EMFILE, "EMFILE"},         {ENOTTY, "ENOTTY"},
        {ENOSPC, "ENOSPC"},         {ERANGE, "ERANGE"},
        {EDEADLK, "EDEADLK"},       {ENOSYS, "ENOSYS"},
        {EOPNOTSUPP, "EOPNOTSUPP"}, {ETIMEDOUT, "ETIMEDOUT"},
        {ECANCELED, "ECANCELED"},   {ENOTSUP, "ENOTSUP"},
};

constexpr const char *request_names[] = {
        "VERSION",
        "GET_UNIQUE",
        "GET_MAGIC",
        "IRQ_BUSID",
        "GET_MAP",
        "GET_CLIENT",
        "GET_STATS",
        "SET_VERSION",
        "MODESET_CTL",
        "GEM_CLOSE",
        "GEM_FLINK",
        "GEM_OPEN",
        "GET_CAP",
        "SET_CLIENT_CAP",
        "SET_UNIQUE",
        "AUTH_MAGIC",
        "SET_MASTER",
        "DROP_MASTER",
        "PRIME_HANDLE_TO_FD",
        "PRIME_FD_TO_HANDLE",
        "WAIT_VBLANK",
        "CRTC_GET_SEQUENCE",
        "CRTC_QUEUE_SEQUENCE",
        "MODE_GETRESOURCES",
        "MODE_GETCRTC",
        "MODE_SETCRTC",
        "MODE_CURSOR",
        "MODE_GETGAMMA",
        "MODE_SETGAMMA",
        "MODE_GETENCODER",
        "MODE_GETCONNECTOR",
        "MODE_GETPROPERTY",
        "MODE_SETPROPERTY",
        "MODE_GETPROPBLOB",
        "MODE_GETFB",
        "MODE_ADDFB",
        "MODE_RMFB",
        "MODE_PAGE_FLIP",
        "MODE_DIRTYFB",
        "MODE_CREATE_DUMB",
        "MODE_MAP_DUMB",
        "MODE_DESTROY_DUMB",
        "MODE_GETPLANERESOURCES",
        "MODE_GETPLANE",
        "MODE_SETPLANE",
        "MODE_ADDFB2",
        "MODE_OBJ_GETPROPERTIES",
        "MODE_OBJ_SETPROPERTY",
        "MODE_CURSOR2",
        "MODE_ATOMIC",
        "MODE_CREATEPROPBLOB",
        "MODE_DESTROYPROPBLOB",
        "MODE_CREATE_LEASE",
        "MODE_LIST_LESSEES",
        "MODE_GET_LEASE",
        "MODE_REVOKE_LEASE",
        "MODE_GETFB2",
};

std::string errno_text(int err)
{
	if (err == 0)
		return "0";
	for (const errno_name &e : errno_names)
		if (e.value == err)
			return e.name;
	return std::to_string(err);
}

template <typename T>
std::optional<T> parse_number(std::string_view s)
{
	T v{};
	const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
	if (ec != std::errc() || end != s.data() + s.size())
		return std::nullopt;
	return v;
}

std::optional<int> parse_errno(std::string_view s)
{
	for (const errno_name &e : errno_names)
		if (s == e.name)
			return e.value;
	const std::optional<int> v = parse_number<int>(s);
	if (v && *v > 0 && *v < 4096)
		return v;
	return std::nullopt;
}

// "1920x1080", "1920x1080@50", "1280x720*"
std::optional<mode_def> parse_mode(std::string_view s)
{
	mode_def m;
	if (!s.empty() && s.back() == '*') {
		m.preferred = true;
		s.remove_suffix(1);
	}
	const size_t x = s.find('x');
	const size_t at = s.find('@');
	if (x == std::string_view::npos)
		return std::nullopt;
	const auto w = parse_number<uint16_t>(s.substr(0, x));
	const auto h = parse_number<uint16_t>(s.substr(
	        x + 1, at == std::string_view::npos ? std::string_view::npos : at - x - 1));
	if (!w || !h || *w == 0 || *h == 0)
		return std::nullopt;
	m.hdisplay = *w;
	m.vdisplay = *h;
	if (at != std::string_view::npos) {
		const auto r = parse_number<uint32_t>(s.substr(at + 1));
		if (!r || *r == 0 || *r > 1000)
			return std::nullopt;
		m.vrefresh = *r;
	}
	return m;
}

std::vector<std::string_view> split(std::string_view line)
{
	std::vector<std::string_view> words;
	size_t pos = 0;
	while (true) {
		pos = line.find_first_not_of(" \t\r", pos);
		if (pos == std::string_view::npos)
			break;
		const size_t end = line.find_first_of(" \t\r", pos);
		words.push_back(line.substr(pos, end - pos));
		if (end == std::string_view::npos)
			break;
		pos = end;
	}
	return words;
}

bool ends_with(std::string_view s, std::string_view suffix)
{
	return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

const char help_text[] = "connect <i> [WxH[@R][*] ...]\n"
                         "disconnect <i>\n"
                         "fail <REQUEST> <errno> [nth] [object_id]\n"
                         "fail-mmap <errno> [nth]\n"
                         "fail-open <errno>\n"
                         "clear-faults\n"
                         "screen <crtc_index> <path.png|path.ppm>\n"
                         "captures\n"
                         "live\n"
                         "commits\n"
                         "requests\n"
                         "clear-records\n"
                         "vblank <crtc_index>\n"
                         "property <object_id> <name>\n"
                         "ids\n"
                         "standin\n"
                         "help\n";

// Runs one command; output lines go to `out`, the result is "" or the error text.
std::string run(const topology &card, const std::vector<std::string_view> &w, std::string &out)
{
	const std::string_view cmd = w[0];
	const size_t args = w.size() - 1;
	auto index_arg = [&](size_t at, size_t count, const char *what, int &index) -> std::string {
		const auto v = parse_number<int>(w[at]);
		if (!v || *v < 0 || size_t(*v) >= count)
			return "no " + std::string(what) + " " + std::string(w[at]);
		index = *v;
		return "";
	};

	if (cmd == "help" && args == 0) {
		out += help_text;
	} else if ((cmd == "connect" && args >= 1) || (cmd == "disconnect" && args == 1)) {
		int i = 0;
		if (std::string e = index_arg(1, card.connectors.size(), "connector", i);
		    !e.empty())
			return e;
		std::vector<mode_def> modes;
		for (size_t k = 2; k < w.size(); k++) {
			std::optional<mode_def> m = parse_mode(w[k]);
			if (!m)
				return "bad mode " + std::string(w[k]);
			modes.push_back(*m);
		}
		if (!modes.empty() &&
		    std::none_of(modes.begin(), modes.end(), [](auto &m) { return m.preferred; }))
			modes.front().preferred = true;
		set_connected(i, cmd == "connect", std::move(modes));
	} else if (cmd == "fail" && args >= 2 && args <= 4) {
		std::string name(w[1]);
		if (name.rfind("DRM_IOCTL_", 0) == 0)
			name.erase(0, 10);
		if (std::none_of(std::begin(request_names), std::end(request_names),
		                 [&](const char *n) { return name == n; }))
			return "unknown request " + std::string(w[1]);
		const std::optional<int> err = parse_errno(w[2]);
		if (!err)
			return "bad errno " + std::string(w[2]);
		const std::optional<int> nth = args >= 3 ? parse_number<int>(w[3]) : 0;
		if (!nth || *nth < 0)
			return "bad count " + std::string(w[3]);
		const std::optional<uint32_t> obj = args >= 4 ? parse_number<uint32_t>(w[4]) : 0u;
		if (!obj)
			return "bad object id " + std::string(w[4]);
		fail_request(name, *err, *nth, *obj);
	} else if (cmd == "fail-mmap" && (args == 1 || args == 2)) {
		const std::optional<int> err = parse_errno(w[1]);
		if (!err)
			return "bad errno " + std::string(w[1]);
		const std::optional<int> nth = args == 2 ? parse_number<int>(w[2]) : 0;
		if (!nth || *nth < 0)
			return "bad count " + std::string(w[2]);
		fail_mmap(*err, *nth);
	} else if (cmd == "fail-open" && args == 1) {
		const std::optional<int> err = parse_errno(w[1]);
		if (!err)
			return "bad errno " + std::string(w[1]);
		fail_open(*err);
	} else if (cmd == "clear-faults" && args == 0) {
		clear_faults();
	} else if (cmd == "screen" && args == 2) {
		int i = 0;
		if (std::string e = index_arg(1, card.crtcs.size(), "crtc", i); !e.empty())
			return e;
		const std::string path(w[2]);
		const bool png = ends_with(path, ".png");
		if (!png && !ends_with(path, ".ppm"))
			return "name ends in neither .png nor .ppm: " + path;
		const image img = screen(i);
		if (img.width == 0)
			return "crtc " + std::to_string(i) + " is off";
		if (!(png ? write_png(img, path) : write_ppm(img, path)))
			return "cannot write " + path;
		out += std::to_string(img.width) + "x" + std::to_string(img.height) + "\n";
	} else if (cmd == "captures" && args == 0) {
		out += preload_capture_status() + "\n";
	} else if (cmd == "live" && args == 0) {
		const live_counts l = live();
		out += "files=" + std::to_string(l.files) +
		       " dumb_buffers=" + std::to_string(l.dumb_buffers) +
		       " mappings=" + std::to_string(l.mappings) +
		       " framebuffers=" + std::to_string(l.framebuffers) +
		       " blobs=" + std::to_string(l.blobs) + "\n";
	} else if (cmd == "commits" && args == 0) {
		for (const commit_record &c : commits())
			out += format_commit(c) + "\n";
	} else if (cmd == "requests" && args == 0) {
		for (const request_record &r : requests())
			out += format_request(r) + "\n";
	} else if (cmd == "clear-records" && args == 0) {
		// The log must not lose what is about to be forgotten.
		preload_flush_log();
		clear_records();
	} else if (cmd == "vblank" && args == 1) {
		int i = 0;
		if (std::string e = index_arg(1, card.crtcs.size(), "crtc", i); !e.empty())
			return e;
		out += std::to_string(vblank_count(i)) + "\n";
	} else if (cmd == "property" && args == 2) {
		const std::optional<uint32_t> id = parse_number<uint32_t>(w[1]);
		if (!id)
			return "bad object id " + std::string(w[1]);
		const std::optional<uint64_t> v = property_value(*id, w[2]);
		if (!v)
			return "object " + std::string(w[1]) + " has no property " +
			       std::string(w[2]);
		out += std::to_string(*v) + "\n";
	} else if (cmd == "ids" && args == 0) {
		auto list = [&](const char *what, size_t n, uint32_t (*id)(int)) {
			out += what;
			for (size_t i = 0; i < n; i++)
				out += " " + std::to_string(id(int(i)));
			out += "\n";
		};
		list("connectors", card.connectors.size(), connector_id);
		list("encoders", card.encoders.size(), encoder_id);
		list("crtcs", card.crtcs.size(), crtc_id);
		list("planes", card.planes.size(), plane_id);
	} else if (cmd == "standin" && args == 0) {
		// The next program after the player, on a file of its own that it keeps open: the
		// card lives in this process, so the stand-in cannot be another one.
		const int fd = open(card.render_card0 ? "/dev/dri/card1" : "/dev/dri/card0",
		                    O_RDWR | O_CLOEXEC);
		if (fd < 0)
			return std::string("standin: cannot open the card: ") + strerror(errno);
		std::string last;
		const bool shown = standin::show(
		        fd,
		        [&](const std::string &line) {
			        out += line + "\n";
			        last = line;
		        },
		        nullptr);
		if (!shown) {
			close(fd);
			out.clear();
			return last;
		}
	} else {
		static constexpr std::string_view known[] = {
		        "help",          "connect", "disconnect", "fail", "fail-mmap", "fail-open",
		        "clear-faults",  "screen",  "captures",   "live", "commits",   "requests",
		        "clear-records", "vblank",  "property",   "ids",  "standin"};
		if (std::find(std::begin(known), std::end(known), cmd) != std::end(known))
			return "wrong arguments for " + std::string(cmd) + " (see help)";
		return "unknown command " + std::string(cmd);
	}
	return "";
}

struct service {
	topology card;
	int listen_fd = -1;
	bool log = false;
};

bool write_all(int fd, const std::string &s)
{
	for (size_t done = 0; done < s.size();) {
		const ssize_t n = send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		done += size_t(n);
	}
	return true;
}

// Serves one client until it closes its side; the log is kept current meanwhile.
void serve_client(const service &s, int fd)
{
	std::string pending;
	char buf[4096];
	while (true) {
		pollfd p{fd, POLLIN, 0};
		const int ready = poll(&p, 1, 250);
		if (s.log)
			preload_flush_log();
		if (ready == 0)
			continue;
		if (ready < 0 && errno == EINTR)
			continue;
		const ssize_t n = ready < 0 ? -1 : read(fd, buf, sizeof buf);
		if (n <= 0)
			break;
		pending.append(buf, size_t(n));
		size_t nl;
		while ((nl = pending.find('\n')) != std::string::npos) {
			const std::string line = pending.substr(0, nl);
			pending.erase(0, nl + 1);
			if (!write_all(fd, control_run(s.card, line)))
				return;
		}
	}
}

void *service_main(void *arg)
{
	const service &s = *static_cast<const service *>(arg);
	while (true) {
		if (s.listen_fd < 0) {
			poll(nullptr, 0, 250);
			preload_flush_log();
			continue;
		}
		pollfd p{s.listen_fd, POLLIN, 0};
		const int ready = poll(&p, 1, 250);
		if (s.log)
			preload_flush_log();
		if (ready <= 0)
			continue;
		const int client =
		        move_own_fd(accept4(s.listen_fd, nullptr, nullptr, SOCK_CLOEXEC));
		if (client < 0)
			continue;
		serve_client(s, client);
		close(client);
	}
	return nullptr;
}

} // namespace

int move_own_fd(int fd)
{
	if (fd < 0 || fd >= k_own_fd_base)
		return fd;
	const int moved = fcntl(fd, F_DUPFD_CLOEXEC, k_own_fd_base);
	if (moved < 0)
		return fd;
	close(fd);
	return moved;
}

std::string format_request(const request_record &r)
{
	std::string line = r.name + " error=" + errno_text(r.error);
	for (const auto &[field, value] : r.fields)
		line += " " + field + "=" + std::to_string(value);
	return line;
}

std::string format_commit(const commit_record &c)
{
	char flags[16];
	snprintf(flags, sizeof flags, "0x%x", c.flags);
	std::string line = std::string("flags=") + flags + " error=" + errno_text(c.error);
	for (const prop_triple &t : c.props) {
		line += " " + std::to_string(t.object_id) + ":";
		line += t.name.empty() ? "#" + std::to_string(t.prop_id) : t.name;
		line += "=" + std::to_string(t.value);
	}
	return line;
}

std::string control_run(const topology &card, std::string_view line)
{
	const std::vector<std::string_view> words = split(line);
	if (words.empty())
		return "error empty command\n";
	std::string out;
	const std::string err = run(card, words, out);
	if (!err.empty())
		return "error " + err + "\n";
	return out + "ok\n";
}

bool control_start(const preload_config &cfg, std::string &error)
{
	if (cfg.control.empty() && cfg.log.empty())
		return true;
	// Lives as long as the process: the thread serves until the process ends.
	service *s = new service;
	s->card = cfg.card;
	s->log = !cfg.log.empty();
	if (!cfg.control.empty()) {
		sockaddr_un addr{};
		addr.sun_family = AF_UNIX;
		if (cfg.control.size() >= sizeof addr.sun_path) {
			error = "control socket path too long: " + cfg.control;
			delete s;
			return false;
		}
		memcpy(addr.sun_path, cfg.control.c_str(), cfg.control.size() + 1);
		s->listen_fd = move_own_fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
		// A socket file left by an earlier run would make bind fail.
		unlink(cfg.control.c_str());
		if (s->listen_fd < 0 ||
		    bind(s->listen_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
		    listen(s->listen_fd, 8) != 0) {
			const int err = errno;
			error = "control socket " + cfg.control + ": " + strerror(err);
			if (s->listen_fd >= 0)
				close(s->listen_fd);
			delete s;
			return false;
		}
	}

	// The thread takes no signals: the process's handlers keep running on its own threads.
	sigset_t all, old;
	sigfillset(&all);
	pthread_sigmask(SIG_SETMASK, &all, &old);
	pthread_t thread;
	const int r = pthread_create(&thread, nullptr, service_main, s);
	pthread_sigmask(SIG_SETMASK, &old, nullptr);
	if (r != 0) {
		error = std::string("control thread: ") + strerror(r);
		if (s->listen_fd >= 0)
			close(s->listen_fd);
		delete s;
		return false;
	}
	pthread_detach(thread);
	return true;
}

} // namespace sim
