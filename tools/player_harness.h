// Runs the real bootanim binary as a child process under the virtual card's LD_PRELOAD library,
// inside private user, network and mount namespaces: a scratch directory is bind-mounted over
// /mnt there, so /mnt/bootanimation/boot.conf and the frames are the run's own, and uevent
// datagrams sent to the child's network namespace never reach the machine's. Used by the
// whole-program tests and the whole-program benchmark.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace harness
{

struct player_options {
	std::string bootanim;          // the binary
	std::string preload;           // libsimkms_preload.so; empty runs without the virtual card
	std::vector<std::string> args; // command-line arguments after the program name
	std::string preset = "hdmi-1080p";
	// Further lines of the card's configuration; "render_card0 1" among them also gives the
	// player a private, empty and writable /dev/dri, where the card makes its nodes.
	std::vector<std::string> card_settings;
	bool control = true;     // the card's control channel (one more thread in the process)
	bool capture = false;    // a PNG of the screen after every commit that changes it
	bool hide_cards = false; // mount an empty directory over /dev/dri (a device without card)
	bool output_closed = false;   // standard output a pipe whose reader has already gone
	std::vector<std::string> env; // extra NAME=value settings for the player
	std::string send_uevent;      // the send_uevent tool, for send_uevent() below
};

int64_t now_ms();

// A fresh directory under $TMPDIR (or /tmp), removed with its contents by the destructor.
class scratch_dir
{
public:
	scratch_dir();
	~scratch_dir();
	scratch_dir(const scratch_dir &) = delete;
	scratch_dir &operator=(const scratch_dir &) = delete;
	const std::string &path() const
	{
		return path_;
	}

private:
	std::string path_;
};

class player
{
public:
	// root/mnt is what the player sees as /mnt, and root/media (when the caller makes it) what
	// it sees as /media; the caller fills them before start().
	explicit player(std::string root);
	~player();
	player(const player &) = delete;
	player &operator=(const player &) = delete;

	bool start(const player_options &o);
	pid_t pid() const
	{
		return pid_;
	}
	const std::string &root() const
	{
		return root_;
	}
	std::string capture_dir() const
	{
		return root_ + "/captures";
	}

	// Everything the player has written to standard output (or error) so far.
	std::string output();
	std::string errors();
	// Waits until standard output holds `text` `count` times; false after the timeout.
	bool wait_for(const std::string &text, int timeout_ms = 20000, int count = 1);

	// One command on the card's control channel; the reply without its closing "ok", or
	// nullopt with the error line in `error`.
	std::optional<std::string> command(const std::string &line, std::string *error = nullptr);
	// The card's atomic commits as the control channel lists them, one line each.
	std::vector<std::string> commits();
	// How many files the card has captured so far.
	int captures();

	// Sends a datagram to uevent multicast group 1 of the player's network namespace (with the
	// send_uevent tool that the options name).
	bool send_uevent(const std::string &datagram);

	int threads() const; // tasks of the process
	bool alive();
	// Resident set peak and CPU time (user + system) of the process so far.
	long peak_rss_kib() const;
	double cpu_seconds() const;

	// Sends `sig`; true when the process has ended within the timeout (then reaped).
	bool stop(int sig, int timeout_ms);
	// How the process ended, once stop() or alive() has seen it end: the signal, or -1.
	int end_signal() const
	{
		return end_signal_;
	}
	// Its exit status when it exited (end_signal() is -1 then).
	int exit_status() const
	{
		return exit_status_;
	}

private:
	std::string root_;
	pid_t pid_ = -1;
	int out_fd_ = -1, err_fd_ = -1;
	int ctl_fd_ = -1;
	std::string sender_;
	bool reaped_ = false;
	int end_signal_ = -1;
	int exit_status_ = -1;
};

// The datagram that the kernel's DRM core sends for a hot-plug on card0.
std::string drm_hotplug_uevent(unsigned seqnum = 1);

// Splits text into its lines (without their line ends).
std::vector<std::string> lines_of(const std::string &text);

} // namespace harness
