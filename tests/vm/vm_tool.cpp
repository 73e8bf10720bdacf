// bootanim-vm-tool: the host side of the real-kernel tests; tests/vm/vm-test drives it.
//
//   frames <dir> <count> <width> <height>     test frames 0.jpg ... <count-1>.jpg
//   qemu [--virtio-console] <workdir> <timeout-s> <step>... -- <qemu command line>
//       QEMU with its first serial port in <workdir>/console.txt and the second (or, with
//       --virtio-console, a virtio console) in <workdir>/output.txt, QMP and VNC on sockets
//       under /tmp; plays the steps, then ends it
//   sim <control-socket> <output-file> <timeout-s> <step>... -- <command line>
//       the player on the LD_PRELOAD card, output in <output-file>; plays the steps, kills it
//   compare-frame <screen.ppm> <frame.jpg> <drm|red-first> <tolerance> [centred]
//       the screen shows the frame's RG24 memory read in the DRM byte order (blue first) or
//       red first (as XR24 frames show), no channel off by more than <tolerance>; `centred`:
//       at its own size in the middle, black around it, or cropped to its middle
//   compare-screens <a.ppm> <b.ppm> <tolerance>   one size, no channel off by more
//   screen-kind <screen.ppm> <frame.jpg> <drm|red-first>
//       prints what the screen shows: frame, standin, frame-to-standin, console, black, other
//
// Steps, in order; a wait looks at the output written since the previous wait matched:
//   wait=<text>  console=<text> (qemu: the guest's console)  sleep=<seconds>
//   screendump=<path> (QMP "screendump", or the card's "screen 0 <path>")
//   screens=<path prefix>|<text>[|<key>] (qemu: screendumps back to back until the console
//       shows the text, <prefix>000.ppm on, one file for each run of alike screens; moves no
//       wait on; with a key (a QEMU qcode such as "ret"), presses it once the first screen is
//       taken, for a guest that waits for it to begin what the screens watch)
//   resize=<W>x<H> (qemu: an RFB SetDesktopSize)  live=<path> (sim: the card's "live" reply)
//   until-frame=<screen.ppm>,<frame.jpg>,<order>,<tolerance>[,centred] (screendumps until one
//   shows the frame, as compare-frame reads it)
// Exit status 0 when every step and check passed, 1 otherwise, with the reason on stderr.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tests/support/jpeg_file.h"
#include "tools/standin.h"

namespace
{

using clock_type = std::chrono::steady_clock;

[[noreturn]] void die(const std::string &what)
{
	fprintf(stderr, "bootanim-vm-tool: %s\n", what.c_str());
	exit(1);
}

std::string read_file(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	std::stringstream s;
	s << in.rdbuf();
	return s.str();
}

// --- pictures ---------------------------------------------------------------------------------

struct ppm {
	int width = 0;
	int height = 0;
	std::vector<uint8_t> rgb;
};

// A binary PPM as QEMU's screendump and the card write it: no comments, maximum 255.
bool read_ppm(const std::string &path, ppm &out)
{
	std::istringstream in(read_file(path));
	std::string magic;
	int max = 0;
	if (!(in >> magic >> out.width >> out.height >> max) || magic != "P6" || max != 255 ||
	    out.width <= 0 || out.height <= 0)
		return false;
	in.get(); // the one blank after the maximum value
	out.rgb.resize(size_t(out.width) * out.height * 3);
	in.read(reinterpret_cast<char *>(out.rgb.data()), std::streamsize(out.rgb.size()));
	return in.gcount() == std::streamsize(out.rgb.size());
}

int cmd_frames(int argc, char **argv)
{
	if (argc != 4)
		die("frames <dir> <count> <width> <height>");
	std::string dir = argv[0];
	int count = atoi(argv[1]), width = atoi(argv[2]), height = atoi(argv[3]);
	for (int k = 0; k < count; k++) {
		std::string path = dir + "/" + std::to_string(k) + ".jpg";
		if (!write_jpeg(path, test_picture(width, height, k)))
			die("cannot write " + path);
	}
	return 0;
}

struct difference {
	int max = 0;
	long over = 0; // channels differing by more than the tolerance
	int first_x = -1, first_y = -1;

	void add(int d, int tolerance, int x, int y)
	{
		max = std::max(max, d);
		if (d > tolerance && over++ == 0) {
			first_x = x;
			first_y = y;
		}
	}
};

void read_screen_and_frame(const char *screen_path, const char *frame_path, ppm &screen,
                           rgb_picture &frame)
{
	if (!read_ppm(screen_path, screen))
		die(std::string("cannot read the screen ") + screen_path);
	frame = decode_jpeg(frame_path);
	if (frame.width == 0 || frame.components != 3)
		die(std::string("cannot decode ") + frame_path);
}

// Whether the screen shows the frame; `quiet` when a caller asks again until it does.
bool shows_frame(const char *screen_path, const char *frame_path, bool drm_order, int tolerance,
                 bool centred, bool quiet)
{
	ppm screen;
	rgb_picture frame;
	read_screen_and_frame(screen_path, frame_path, screen, frame);
	if (!centred && (screen.width != frame.width || screen.height != frame.height)) {
		if (!quiet)
			fprintf(stderr, "compare-frame: the screen is %dx%d, the frame %dx%d\n",
			        screen.width, screen.height, frame.width, frame.height);
		return false;
	}
	const int w = std::min(screen.width, frame.width),
	          h = std::min(screen.height, frame.height);
	const int dx = (screen.width - w) / 2, dy = (screen.height - h) / 2;
	const int sx = (frame.width - w) / 2, sy = (frame.height - h) / 2;
	// Memory holds red, green, blue at increasing addresses; read in the DRM order the first
	// byte is blue, so the screen's red is the picture's blue. Around a centred frame: black.
	static const uint8_t black[3] = {0, 0, 0};
	difference as_read, other;
	for (int y = 0; y < screen.height; y++)
		for (int x = 0; x < screen.width; x++) {
			const uint8_t *s = &screen.rgb[(size_t(y) * screen.width + x) * 3];
			const bool inside = x >= dx && x < dx + w && y >= dy && y < dy + h;
			const uint8_t *f = inside ? &frame.data[(size_t(sy + y - dy) * frame.width +
			                                         sx + x - dx) *
			                                        3]
			                          : black;
			uint8_t drm[3] = {f[2], f[1], f[0]};
			const uint8_t *want = drm_order ? drm : f;
			const uint8_t *unwanted = drm_order ? f : drm;
			for (int c = 0; c < 3; c++) {
				as_read.add(abs(int(s[c]) - int(want[c])), tolerance, x, y);
				other.add(abs(int(s[c]) - int(unwanted[c])), 255, x, y);
			}
		}
	if (quiet)
		return as_read.over == 0;
	printf("compare-frame: %s byte order%s: largest channel difference %d, %ld channels over "
	       "%d; the other order's largest difference %d\n",
	       drm_order ? "DRM" : "red-first", centred ? ", centred" : "", as_read.max,
	       as_read.over, tolerance, other.max);
	if (as_read.over != 0) {
		fprintf(stderr, "compare-frame: %s does not show %s (first difference at %d,%d)\n",
		        screen_path, frame_path, as_read.first_x, as_read.first_y);
		return false;
	}
	return true;
}

int cmd_compare_frame(int argc, char **argv)
{
	if (argc != 4 && !(argc == 5 && std::string(argv[4]) == "centred"))
		die("compare-frame <screen.ppm> <frame.jpg> <drm|red-first> <tolerance> [centred]");
	return shows_frame(argv[0], argv[1], std::string(argv[2]) == "drm", atoi(argv[3]),
	                   argc == 5, false)
	               ? 0
	               : 1;
}

// What a screen shows: the frame (at its size, as compare-frame with tolerance 3), the stand-in's
// squares (within 8, for scan-outs of fewer bits), the two together, each pixel one or the other
// (a driver that copies frames into video memory, caught in the copy),
// the console (black and grey, within 8 as its 16-bit scan-out gives it, mostly black, some
// text or its cursor) or black; anything else is "other".
int cmd_screen_kind(int argc, char **argv)
{
	if (argc != 3)
		die("screen-kind <screen.ppm> <frame.jpg> <drm|red-first>");
	ppm screen;
	rgb_picture frame;
	read_screen_and_frame(argv[0], argv[1], screen, frame);
	const bool drm_order = std::string(argv[2]) == "drm";
	const bool frame_size = screen.width == frame.width && screen.height == frame.height;
	auto near = [](const uint8_t *a, const uint8_t *b, int tolerance) {
		for (int c = 0; c < 3; c++)
			if (abs(int(a[c]) - int(b[c])) > tolerance)
				return false;
		return true;
	};
	const long pixels = long(screen.width) * screen.height;
	long squares = 0, framed = 0, neither = 0, black = 0, grey = 0;
	for (long i = 0; i < pixels; i++) {
		const int x = int(i % screen.width), y = int(i / screen.width);
		const uint8_t *s = &screen.rgb[size_t(i) * 3];
		const bool square = near(s, standin::colour_at(uint32_t(x), uint32_t(y)), 8);
		bool in_frame = false;
		if (frame_size) {
			const uint8_t *f = &frame.data[size_t(i) * 3];
			const uint8_t drm[3] = {f[2], f[1], f[0]};
			in_frame = near(s, drm_order ? drm : f, 3);
		}
		squares += square;
		framed += in_frame;
		neither += !square && !in_frame;
		if (s[0] == 0 && s[1] == 0 && s[2] == 0)
			black++;
		else if (abs(s[0] - s[1]) <= 8 && abs(s[1] - s[2]) <= 8)
			grey++;
	}
	// A driver that copies the new picture into video memory is caught in the copy: parts of
	// the screen show the squares, the rest still the frame, and at each seam a pixel or two
	// may be half written (the copy goes in words, not pixels).
	const char *kind = frame_size && framed == pixels ? "frame"
	                   : squares == pixels            ? "standin"
	                   : frame_size && framed > 0 && squares > 0 && neither <= screen.width
	                           ? "frame-to-standin"
	                   : black == pixels ? "black"
	                   : black + grey == pixels && grey > 0 && black > pixels * 9 / 10
	                           ? "console"
	                           : "other";
	puts(kind);
	return 0;
}

int cmd_compare_screens(int argc, char **argv)
{
	if (argc != 3)
		die("compare-screens <a.ppm> <b.ppm> <tolerance>");
	ppm a, b;
	if (!read_ppm(argv[0], a))
		die(std::string("cannot read ") + argv[0]);
	if (!read_ppm(argv[1], b))
		die(std::string("cannot read ") + argv[1]);
	if (a.width != b.width || a.height != b.height) {
		fprintf(stderr, "compare-screens: %s is %dx%d, %s is %dx%d\n", argv[0], a.width,
		        a.height, argv[1], b.width, b.height);
		return 1;
	}
	int tolerance = atoi(argv[2]);
	difference d;
	for (size_t i = 0; i < a.rgb.size(); i++)
		d.add(abs(int(a.rgb[i]) - int(b.rgb[i])), tolerance, int(i / 3 % size_t(a.width)),
		      int(i / 3 / size_t(a.width)));
	printf("compare-screens: %dx%d, largest channel difference %d, %ld channels over %d\n",
	       a.width, a.height, d.max, d.over, tolerance);
	if (d.over != 0) {
		fprintf(stderr, "compare-screens: %s and %s differ (first at %d,%d)\n", argv[0],
		        argv[1], d.first_x, d.first_y);
		return 1;
	}
	return 0;
}

// --- sockets ----------------------------------------------------------------------------------

int connect_unix(const std::string &path, clock_type::time_point deadline)
{
	for (;;) {
		int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
		if (fd < 0)
			return -1;
		sockaddr_un addr{};
		addr.sun_family = AF_UNIX;
		if (path.size() >= sizeof addr.sun_path) {
			close(fd);
			errno = ENAMETOOLONG;
			return -1;
		}
		memcpy(addr.sun_path, path.c_str(), path.size() + 1);
		if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0)
			return fd;
		close(fd);
		if (clock_type::now() > deadline)
			return -1;
		std::this_thread::sleep_for(std::chrono::milliseconds(50));
	}
}

// All `n` bytes through `io` (read or write); false on end of file or error.
template <typename F, typename B>
bool whole(F io, int fd, B *p, size_t n)
{
	while (n > 0) {
		ssize_t r = io(fd, p, n);
		if (r < 0 && errno == EINTR)
			continue;
		if (r <= 0)
			return false;
		p += r;
		n -= size_t(r);
	}
	return true;
}

bool write_all(int fd, const void *data, size_t n)
{
	return whole(::write, fd, static_cast<const char *>(data), n);
}

bool read_exact(int fd, void *data, size_t n)
{
	return whole(::read, fd, static_cast<char *>(data), n);
}

bool has_line(const std::string &t)
{
	return t.find('\n') != std::string::npos;
}

// Reads until `ends` says the text so far is complete; false on end of file or error.
template <typename F>
bool read_until(int fd, std::string &text, F ends)
{
	char buf[4096];
	while (!ends(text)) {
		ssize_t n = read(fd, buf, sizeof buf);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		text.append(buf, size_t(n));
	}
	return true;
}

// --- QMP --------------------------------------------------------------------------------------

// One QMP command; true when its reply is a "return". Events between are skipped.
bool qmp_command(int fd, const std::string &json, std::string &reply)
{
	if (!write_all(fd, json.data(), json.size()))
		return false;
	std::string text;
	for (;;) {
		if (!read_until(fd, text, has_line))
			return false;
		size_t nl = text.find('\n');
		std::string line = text.substr(0, nl);
		text.erase(0, nl + 1);
		const bool ok = line.find("\"return\"") != std::string::npos;
		if (ok || line.find("\"error\"") != std::string::npos) {
			reply = line;
			return ok;
		}
	}
}

int qmp_open(const std::string &path, clock_type::time_point deadline)
{
	int fd = connect_unix(path, deadline);
	if (fd < 0)
		return -1;
	std::string greeting, reply;
	if (!read_until(fd, greeting, has_line) ||
	    !qmp_command(fd, "{\"execute\":\"qmp_capabilities\"}\n", reply)) {
		close(fd);
		return -1;
	}
	return fd;
}

// --- RFB --------------------------------------------------------------------------------------

void put16(std::vector<uint8_t> &m, unsigned v)
{
	m.push_back(uint8_t(v >> 8));
	m.push_back(uint8_t(v));
}

// Connects to QEMU's VNC server and asks for a new desktop size with SetDesktopSize (message
// 251, one screen); QEMU hands it to the display device as a new preferred size, which
// virtio-gpu reports to the guest as a display change. Returns the connection, which stays
// open until the run ends, or -1 with `error` set.
int rfb_set_desktop_size(const std::string &path, int width, int height, std::string &error)
{
	int fd = connect_unix(path, clock_type::now() + std::chrono::seconds(5));
	if (fd < 0) {
		error = "cannot connect to the VNC server: " + std::string(strerror(errno));
		return -1;
	}
	auto refuse = [&](const char *why) {
		error = why;
		close(fd);
		return -1;
	};
	char version[12];
	if (!read_exact(fd, version, 12) || memcmp(version, "RFB 003.", 8) != 0)
		return refuse("no RFB greeting");
	const char ours[] = "RFB 003.008\n";
	uint8_t count = 0;
	bool ok = write_all(fd, ours, 12) && read_exact(fd, &count, 1) && count > 0;
	std::vector<uint8_t> types(count);
	ok = ok && read_exact(fd, types.data(), count);
	bool none = false;
	for (uint8_t t : types)
		none = none || t == 1;
	uint8_t choice = 1, shared = 1;
	uint32_t result = 1;
	ok = ok && none && write_all(fd, &choice, 1) && read_exact(fd, &result, 4) && result == 0;
	ok = ok && write_all(fd, &shared, 1);
	uint8_t init[24];
	ok = ok && read_exact(fd, init, sizeof init);
	if (!ok)
		return refuse("RFB handshake failed (the server must offer security type None)");
	uint32_t name_length = uint32_t(init[20]) << 24 | uint32_t(init[21]) << 16 |
	                       uint32_t(init[22]) << 8 | init[23];
	std::vector<char> name(name_length);
	if (!read_exact(fd, name.data(), name_length))
		return refuse("RFB ServerInit cut short");
	// SetEncodings: raw, DesktopSize (-223), ExtendedDesktopSize (-308).
	std::vector<uint8_t> m = {2, 0};
	put16(m, 3);
	for (uint32_t e : {0u, uint32_t(-223), uint32_t(-308)}) {
		put16(m, e >> 16);
		put16(m, e & 0xffff);
	}
	// SetDesktopSize: width, height, one screen (id 0 at 0,0 of that size, flags 0).
	m.insert(m.end(), {251, 0});
	put16(m, unsigned(width));
	put16(m, unsigned(height));
	m.insert(m.end(), {1, 0});
	for (unsigned v : {0u, 0u, 0u, 0u, unsigned(width), unsigned(height), 0u, 0u})
		put16(m, v);
	return write_all(fd, m.data(), m.size()) ? fd : refuse("cannot send SetDesktopSize");
}

// --- runs -------------------------------------------------------------------------------------

struct step {
	std::string kind;
	std::string arg;
};

std::vector<step> parse_steps(int &i, int argc, char **argv)
{
	std::vector<step> steps;
	for (; i < argc && strcmp(argv[i], "--") != 0; i++) {
		const char *eq = strchr(argv[i], '=');
		if (!eq)
			die(std::string("bad step ") + argv[i]);
		steps.push_back({std::string(argv[i], size_t(eq - argv[i])), eq + 1});
	}
	if (i >= argc)
		die("missing -- and the command line");
	i++;
	return steps;
}

pid_t spawn(const std::vector<std::string> &args, const std::string &output)
{
	pid_t pid = fork();
	if (pid < 0)
		die("fork: " + std::string(strerror(errno)));
	if (pid == 0) {
		setpgid(0, 0);
		int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
		int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
		if (fd < 0 || null < 0)
			_exit(127);
		dup2(null, 0);
		dup2(fd, 1);
		dup2(fd, 2);
		// The program starts with its standard streams only, as in the guest: nothing the
		// test runner left open takes the descriptor numbers it would get there.
		closefrom(3);
		std::vector<char *> v;
		for (const auto &a : args)
			v.push_back(const_cast<char *>(a.c_str()));
		v.push_back(nullptr);
		execvp(v[0], v.data());
		fprintf(stderr, "cannot run %s: %s\n", v[0], strerror(errno));
		_exit(127);
	}
	setpgid(pid, pid);
	return pid;
}

// The process is still running (not reaped); sets `status` when it has ended.
bool alive(pid_t pid, int &status)
{
	return waitpid(pid, &status, WNOHANG) == 0;
}

std::string describe_status(int status)
{
	if (WIFEXITED(status))
		return "exited with status " + std::to_string(WEXITSTATUS(status));
	if (WIFSIGNALED(status))
		return std::string("killed by signal ") + strsignal(WTERMSIG(status));
	return "ended";
}

class runner
{
public:
	runner(pid_t pid, std::string output, clock_type::time_point deadline)
	    : pid_(pid), output_(std::move(output)), deadline_(deadline)
	{
	}
	virtual ~runner() = default;

	bool play(const std::vector<step> &steps)
	{
		for (const auto &s : steps) {
			fprintf(stderr, "step %s=%s\n", s.kind.c_str(), s.arg.c_str());
			bool ok;
			if (s.kind == "wait")
				ok = wait_for(output_, seen_, s.arg);
			else if (s.kind == "console")
				ok = wait_for(console(), console_seen_, s.arg);
			else if (s.kind == "sleep")
				ok = pause(std::chrono::duration<double>(atof(s.arg.c_str())));
			else if (s.kind == "screendump")
				ok = still_running() && screendump(s.arg);
			else if (s.kind == "screens")
				ok = screens(s.arg);
			else if (s.kind == "resize")
				ok = still_running() && resize(s.arg);
			else if (s.kind == "until-frame")
				ok = until_frame(s.arg);
			else if (s.kind == "live")
				ok = still_running() && live(s.arg);
			else
				ok = fail("unknown step " + s.kind);
			if (!ok)
				return false;
		}
		return true;
	}

	// Kills the process group unless the process has ended.
	void stop()
	{
		int status = 0;
		if (!ended_) {
			kill(-pid_, SIGKILL);
			waitpid(pid_, &status, 0);
			ended_ = true;
		}
	}

protected:
	bool fail(const std::string &why)
	{
		fprintf(stderr, "bootanim-vm-tool: %s\n", why.c_str());
		return false;
	}

	// False when the process has ended or the run's time is up.
	bool still_running()
	{
		int status = 0;
		if (!ended_ && !alive(pid_, status)) {
			ended_ = true;
			return fail("the process " + describe_status(status) + " early");
		}
		if (ended_)
			return false;
		if (clock_type::now() > deadline_)
			return fail("the run's time is up");
		return true;
	}

	virtual bool screendump(const std::string &path) = 0;
	virtual std::string console() const
	{
		return {};
	}
	virtual bool resize(const std::string &)
	{
		return fail("resize is not possible here");
	}
	virtual bool live(const std::string &)
	{
		return fail("live is not possible here");
	}
	virtual bool press(const std::string &)
	{
		return fail("there is no keyboard here");
	}

	pid_t pid_;
	bool ended_ = false;

private:
	// <screen.ppm>,<frame.jpg>,<drm|red-first>,<tolerance>[,centred]: screendumps until one
	// shows the frame (the last one stays in <screen.ppm>), within the run's time.
	bool until_frame(const std::string &arg)
	{
		std::vector<std::string> f;
		std::stringstream in(arg);
		for (std::string part; std::getline(in, part, ',');)
			f.push_back(part);
		if (f.size() != 4 && !(f.size() == 5 && f[4] == "centred"))
			return fail("until-frame=<screen.ppm>,<frame.jpg>,<order>,<tolerance>[,"
			            "centred]");
		while (still_running() && screendump(f[0]))
			if (shows_frame(f[0].c_str(), f[1].c_str(), f[2] == "drm",
			                atoi(f[3].c_str()), f.size() == 5, true))
				return true;
		return fail("the screen never showed " + f[1]);
	}

	bool pause(std::chrono::duration<double> d)
	{
		auto until =
		        clock_type::now() + std::chrono::duration_cast<clock_type::duration>(d);
		while (clock_type::now() < until) {
			if (!still_running())
				return false;
			std::this_thread::sleep_for(std::chrono::milliseconds(50));
		}
		return true;
	}

	bool wait_for(const std::string &file, size_t &seen, const std::string &text)
	{
		if (file.empty())
			return fail("there is no console here");
		for (;;) {
			std::string out = read_file(file);
			size_t at = out.find(text, seen);
			if (at != std::string::npos) {
				seen = at + text.size();
				return true;
			}
			if (!still_running())
				return fail(file + " never showed \"" + text + "\"");
			std::this_thread::sleep_for(std::chrono::milliseconds(100));
		}
	}

	// Screendumps back to back until the console shows the text: <prefix>000.ppm and on, each
	// kept only when it differs from the one before. Says on stderr when each was taken, how
	// often it was seen again, and when the guest's "@@VM" lines arrived between. The next
	// console wait still looks from where this one began: the lines that end a hand-over come
	// in no fixed order. The key goes out after the first screen, so that screen shows what
	// came before whatever the key starts in the guest.
	bool screens(const std::string &arg)
	{
		const size_t bar = arg.find('|');
		if (bar == std::string::npos || console().empty())
			return fail("screens=<path prefix>|<console text>[|<key>] needs a console");
		const std::string prefix = arg.substr(0, bar);
		const size_t key_bar = arg.find('|', bar + 1);
		const std::string text = arg.substr(bar + 1, key_bar - bar - 1);
		std::string key = key_bar == std::string::npos ? "" : arg.substr(key_bar + 1);
		const auto start = clock_type::now();
		auto ms = [&] {
			return long(std::chrono::duration_cast<std::chrono::milliseconds>(
			                    clock_type::now() - start)
			                    .count());
		};
		ppm last;
		int kept = 0, alike = 0;
		size_t lines = console_seen_;
		for (;;) {
			const std::string out = read_file(console());
			for (size_t nl; (nl = out.find('\n', lines)) != std::string::npos;
			     lines = nl + 1)
				if (out.compare(lines, 4, "@@VM") == 0)
					fprintf(stderr, "screens: %ld ms: %s\n", ms(),
					        out.substr(lines, nl - lines).c_str());
			if (out.find(text, console_seen_) != std::string::npos)
				break;
			if (!still_running())
				return false;
			char name[16];
			snprintf(name, sizeof name, "%03d.ppm", kept);
			const std::string path = prefix + name;
			const long taken = ms();
			ppm now;
			if (!screendump(path) || !read_ppm(path, now))
				return fail("no screen in " + path);
			if (!key.empty()) {
				if (!press(key))
					return false;
				fprintf(stderr, "screens: %ld ms: pressed %s\n", ms(), key.c_str());
				key.clear();
			}
			if (kept > 0 && now.width == last.width && now.height == last.height &&
			    now.rgb == last.rgb) {
				std::filesystem::remove(path);
				alike++;
				continue;
			}
			if (kept > 0)
				fprintf(stderr, "screens: ... seen %d more times\n", alike);
			fprintf(stderr, "screens: %ld ms: %s %dx%d\n", taken, name, now.width,
			        now.height);
			last = std::move(now);
			kept++;
			alike = 0;
		}
		if (kept > 0)
			fprintf(stderr, "screens: ... seen %d more times\n", alike);
		fprintf(stderr, "screens: %ld ms: the console showed \"%s\"\n", ms(), text.c_str());
		return kept > 0 || fail("no screen was taken");
	}

	std::string output_;
	clock_type::time_point deadline_;
	size_t seen_ = 0;
	size_t console_seen_ = 0;
};

class qemu_runner : public runner
{
public:
	qemu_runner(pid_t pid, std::string workdir, std::string sockets,
	            clock_type::time_point deadline)
	    : runner(pid, workdir + "/output.txt", deadline), workdir_(std::move(workdir)),
	      sockets_(std::move(sockets))
	{
	}

	~qemu_runner() override
	{
		if (vnc_ >= 0)
			close(vnc_);
	}

	bool connect_qmp()
	{
		qmp_ = qmp_open(sockets_ + "/qmp.sock",
		                clock_type::now() + std::chrono::seconds(30));
		return qmp_ >= 0 || fail("cannot reach QEMU's QMP socket");
	}

	// Asks QEMU to quit, then kills it if it does not.
	void stop()
	{
		int status = 0;
		if (!ended_ && qmp_ >= 0) {
			std::string reply;
			qmp_command(qmp_, "{\"execute\":\"quit\"}\n", reply);
			auto until = clock_type::now() + std::chrono::seconds(10);
			while (alive(pid_, status) && clock_type::now() < until)
				std::this_thread::sleep_for(std::chrono::milliseconds(50));
			if (clock_type::now() < until)
				ended_ = true;
		}
		runner::stop();
		if (qmp_ >= 0)
			close(qmp_);
		qmp_ = -1;
	}

protected:
	std::string console() const override
	{
		return workdir_ + "/console.txt";
	}

	bool screendump(const std::string &path) override
	{
		std::string reply;
		if (!qmp_command(qmp_,
		                 "{\"execute\":\"screendump\",\"arguments\":{\"filename\":\"" +
		                         path + "\"}}\n",
		                 reply))
			return fail("screendump failed: " + reply);
		return true;
	}

	bool resize(const std::string &size) override
	{
		int w = 0, h = 0;
		if (sscanf(size.c_str(), "%dx%d", &w, &h) != 2)
			return fail("bad size " + size);
		std::string error;
		if (vnc_ >= 0)
			close(vnc_);
		vnc_ = rfb_set_desktop_size(sockets_ + "/vnc.sock", w, h, error);
		return vnc_ >= 0 || fail(error);
	}

	bool press(const std::string &qcode) override
	{
		std::string reply;
		return qmp_command(qmp_,
		                   "{\"execute\":\"send-key\",\"arguments\":{\"keys\":[{\"type\":"
		                   "\"qcode\",\"data\":\"" +
		                           qcode + "\"}]}}\n",
		                   reply) ||
		       fail("send-key failed: " + reply);
	}

private:
	std::string workdir_;
	std::string sockets_;
	int qmp_ = -1;
	int vnc_ = -1;
};

class sim_runner : public runner
{
public:
	sim_runner(pid_t pid, std::string control, std::string output,
	           clock_type::time_point deadline)
	    : runner(pid, std::move(output), deadline), control_(std::move(control))
	{
	}

protected:
	bool screendump(const std::string &path) override
	{
		std::string reply;
		return control("screen 0 " + path, reply) ||
		       fail("the card did not write the screen: " + reply);
	}

	bool live(const std::string &path) override
	{
		std::string reply;
		if (!control("live", reply))
			return fail("the card did not answer \"live\": " + reply);
		std::ofstream out(path);
		out << reply.substr(0, reply.find("ok\n"));
		return bool(out) || fail("cannot write " + path);
	}

private:
	// One command on the card's control channel; true when its reply ends in "ok".
	bool control(const std::string &command, std::string &reply)
	{
		int fd = connect_unix(control_, clock_type::now() + std::chrono::seconds(10));
		if (fd < 0) {
			reply = "cannot reach the card's control socket " + control_;
			return false;
		}
		std::string line = command + "\n";
		bool ok = write_all(fd, line.data(), line.size()) &&
		          read_until(fd, reply, [](const std::string &t) {
			          return t.find("ok\n") != std::string::npos ||
			                 t.find("error") != std::string::npos;
		          });
		close(fd);
		return ok && reply.find("ok\n") != std::string::npos;
	}

	std::string control_;
};

int cmd_qemu(int argc, char **argv)
{
	const bool virtio_console = argc > 0 && strcmp(argv[0], "--virtio-console") == 0;
	argc -= virtio_console;
	argv += virtio_console;
	if (argc < 3)
		die("qemu [--virtio-console] <workdir> <timeout-s> <step>... -- <qemu command "
		    "line>");
	std::string workdir = argv[0];
	auto deadline = clock_type::now() + std::chrono::seconds(atoi(argv[1]));
	int i = 2;
	std::vector<step> steps = parse_steps(i, argc, argv);
	std::vector<std::string> args(argv + i, argv + argc);
	char folder[] = "/tmp/bootanim-vm-XXXXXX";
	if (!mkdtemp(folder))
		die("mkdtemp: " + std::string(strerror(errno)));
	std::string sockets = folder;
	std::string output = workdir + "/output.txt";
	args.insert(args.end(), {"-serial", "file:" + workdir + "/console.txt"});
	if (virtio_console)
		args.insert(args.end(),
		            {"-chardev", "file,id=player,path=" + output, "-device",
		             "virtio-serial-device", "-device", "virtconsole,chardev=player"});
	else
		args.insert(args.end(), {"-serial", "file:" + output});
	args.insert(args.end(), {"-qmp", "unix:" + sockets + "/qmp.sock,server=on,wait=off", "-vnc",
	                         "unix:" + sockets + "/vnc.sock"});
	pid_t pid = spawn(args, workdir + "/qemu.log");
	bool ok;
	{
		qemu_runner run(pid, workdir, sockets, deadline);
		ok = run.connect_qmp() && run.play(steps);
		run.stop();
	}
	std::filesystem::remove_all(sockets);
	return ok ? 0 : 1;
}

int cmd_sim(int argc, char **argv)
{
	if (argc < 4)
		die("sim <control-socket> <output-file> <timeout-s> <step>... -- <command line>");
	std::string control = argv[0], output = argv[1];
	auto deadline = clock_type::now() + std::chrono::seconds(atoi(argv[2]));
	int i = 3;
	std::vector<step> steps = parse_steps(i, argc, argv);
	pid_t pid = spawn(std::vector<std::string>(argv + i, argv + argc), output);
	sim_runner run(pid, control, output, deadline);
	bool ok = run.play(steps);
	run.stop();
	return ok ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
	signal(SIGPIPE, SIG_IGN);
	if (argc < 2)
		die("frames | qemu | sim | compare-frame | compare-screens | screen-kind ...");
	std::string cmd = argv[1];
	if (cmd == "frames")
		return cmd_frames(argc - 2, argv + 2);
	if (cmd == "qemu")
		return cmd_qemu(argc - 2, argv + 2);
	if (cmd == "sim")
		return cmd_sim(argc - 2, argv + 2);
	if (cmd == "compare-frame")
		return cmd_compare_frame(argc - 2, argv + 2);
	if (cmd == "compare-screens")
		return cmd_compare_screens(argc - 2, argv + 2);
	if (cmd == "screen-kind")
		return cmd_screen_kind(argc - 2, argv + 2);
	die("unknown command " + cmd);
}
