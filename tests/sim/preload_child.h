// Runs a program under the LD_PRELOAD virtual card (libsimkms_preload.so) as a child process,
// with pipes to its standard streams, and talks to the card's control socket.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "tests/support/jpeg_file.h"
#include "tests/support/wait.h"

extern char **environ;

namespace preload
{

inline int64_t now_ms()
{
	timespec ts{};
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// A fresh directory for one test's files, removed with its contents at the end.
class temp_dir
{
public:
	temp_dir() : path_(make_temp_dir()) {}
	~temp_dir()
	{
		if (!path_.empty())
			remove_tree(path_);
	}
	temp_dir(const temp_dir &) = delete;
	temp_dir &operator=(const temp_dir &) = delete;
	const std::string &path() const
	{
		return path_;
	}
	std::string file(const std::string &name) const
	{
		return path_ + "/" + name;
	}

private:
	std::string path_;
};

inline void write_text(const std::string &path, const std::string &text)
{
	std::ofstream(path) << text;
}

inline std::string read_text(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::vector<std::string> lines_of(const std::string &text)
{
	std::vector<std::string> lines;
	std::istringstream in(text);
	for (std::string line; std::getline(in, line);)
		lines.push_back(line);
	return lines;
}

// The environment of a child under the card: the parent's, with LD_PRELOAD and SIMKMS_CONFIG
// set. Sanitizer builds preload an instrumented library into an instrumented program, which
// AddressSanitizer accepts only without its link-order check.
inline std::vector<std::string> child_environment(const std::string &config)
{
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
	env.push_back(std::string("LD_PRELOAD=") + SIMKMS_PRELOAD_PATH);
	if (!config.empty())
		env.push_back("SIMKMS_CONFIG=" + config);
	return env;
}

class child
{
public:
	// Starts argv[0] with the given environment; standard input, output and error are pipes.
	child(const std::vector<std::string> &argv, const std::vector<std::string> &env)
	{
		int in[2], out[2], err[2];
		if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
			return;
		posix_spawn_file_actions_t fa;
		posix_spawn_file_actions_init(&fa);
		posix_spawn_file_actions_adddup2(&fa, in[0], 0);
		posix_spawn_file_actions_adddup2(&fa, out[1], 1);
		posix_spawn_file_actions_adddup2(&fa, err[1], 2);
		// Nothing the test runner left open reaches the program: it starts with its
		// standard streams only, as at boot.
		posix_spawn_file_actions_addclosefrom_np(&fa, 3);
		std::vector<char *> a, e;
		for (const std::string &s : argv)
			a.push_back(const_cast<char *>(s.c_str()));
		a.push_back(nullptr);
		for (const std::string &s : env)
			e.push_back(const_cast<char *>(s.c_str()));
		e.push_back(nullptr);
		if (posix_spawn(&pid_, a[0], &fa, nullptr, a.data(), e.data()) != 0)
			pid_ = -1;
		posix_spawn_file_actions_destroy(&fa);
		close(in[0]);
		close(out[1]);
		close(err[1]);
		stdin_ = in[1];
		stdout_ = out[0];
		stderr_ = err[0];
	}
	~child()
	{
		close_stdin();
		if (pid_ > 0 && !exited_) {
			kill(pid_, SIGKILL);
			waitpid(pid_, nullptr, 0);
		}
		if (stdout_ >= 0)
			close(stdout_);
		if (stderr_ >= 0)
			close(stderr_);
	}
	child(const child &) = delete;
	child &operator=(const child &) = delete;

	bool started() const
	{
		return pid_ > 0;
	}
	pid_t pid() const
	{
		return pid_;
	}

	// Standard output up to and including the first line equal to `line` (or everything up
	// to the end or the timeout). Later calls go on from there.
	std::string read_until(const std::string &line, int timeout_ms = 20000)
	{
		const int64_t end = now_ms() + timeout_ms;
		while (true) {
			const size_t at = find_line(line);
			if (at != std::string::npos) {
				std::string got = out_.substr(0, at + line.size() + 1);
				out_.erase(0, at + line.size() + 1);
				return got;
			}
			if (!fill(stdout_, out_, end - now_ms())) {
				std::string got = std::move(out_);
				out_.clear();
				return got;
			}
		}
	}

	void send(const std::string &text)
	{
		if (stdin_ >= 0) {
			EXPECT_EQ(write(stdin_, text.data(), text.size()), ssize_t(text.size()));
		}
	}

	void close_stdin()
	{
		if (stdin_ >= 0)
			close(stdin_);
		stdin_ = -1;
	}

	// Waits for the end of the process; its exit status, or -1 after the timeout (then it is
	// killed) or a signal.
	int wait(int timeout_ms = 20000)
	{
		int status = 0;
		if (!exited_ && !wait_until([&] { return waitpid(pid_, &status, WNOHANG) == pid_; },
		                            std::chrono::milliseconds(timeout_ms),
		                            std::chrono::milliseconds(5))) {
			kill(pid_, SIGKILL);
			waitpid(pid_, nullptr, 0);
			ADD_FAILURE() << "child did not end in time";
		} else if (!exited_) {
			status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
		}
		exited_ = true;
		return status_;
	}

	// Everything the child wrote to standard error, once it has ended.
	std::string error_output()
	{
		std::string err;
		while (fill(stderr_, err, 2000)) {
		}
		return err;
	}

	std::string rest_of_output()
	{
		while (fill(stdout_, out_, 20000)) {
		}
		std::string got = std::move(out_);
		out_.clear();
		return got;
	}

private:
	size_t find_line(const std::string &line) const
	{
		size_t from = 0;
		while (true) {
			const size_t at = out_.find(line + "\n", from);
			if (at == std::string::npos || at == 0 || out_[at - 1] == '\n')
				return at;
			from = at + 1;
		}
	}

	static bool fill(int fd, std::string &buf, int64_t wait_ms)
	{
		if (fd < 0 || wait_ms <= 0)
			return false;
		pollfd p{fd, POLLIN, 0};
		if (poll(&p, 1, int(wait_ms)) <= 0)
			return false;
		char tmp[4096];
		const ssize_t n = read(fd, tmp, sizeof tmp);
		if (n <= 0)
			return false;
		buf.append(tmp, size_t(n));
		return true;
	}

	pid_t pid_ = -1;
	int stdin_ = -1, stdout_ = -1, stderr_ = -1;
	bool exited_ = false;
	int status_ = -1;
	std::string out_;
};

// One connection to a control socket; command() sends a line and returns the reply up to and
// including its "ok" or "error ..." line.
class channel
{
public:
	explicit channel(const std::string &path)
	{
		sockaddr_un addr{};
		addr.sun_family = AF_UNIX;
		strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
		fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
		const int64_t end = now_ms() + 10000;
		while (connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 &&
		       now_ms() < end)
			usleep(10000);
	}
	~channel()
	{
		close(fd_);
	}
	channel(const channel &) = delete;
	channel &operator=(const channel &) = delete;

	std::string command(const std::string &line)
	{
		const std::string text = line + "\n";
		if (::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) != ssize_t(text.size()))
			return "send failed";
		std::string reply;
		const int64_t end = now_ms() + 20000;
		while (now_ms() < end) {
			if (!reply.empty() && reply.back() == '\n') {
				const size_t nl = reply.size() >= 2
				                          ? reply.rfind('\n', reply.size() - 2)
				                          : std::string::npos;
				const std::string last =
				        reply.substr(nl == std::string::npos ? 0 : nl + 1);
				if (last == "ok\n" || last.rfind("error ", 0) == 0)
					return reply;
			}
			pollfd p{fd_, POLLIN, 0};
			if (poll(&p, 1, 1000) <= 0)
				continue;
			char tmp[4096];
			const ssize_t n = read(fd_, tmp, sizeof tmp);
			if (n <= 0)
				break;
			reply.append(tmp, size_t(n));
		}
		return reply;
	}

private:
	int fd_ = -1;
};

} // namespace preload
