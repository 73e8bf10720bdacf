// bootanim-handover: asks the running player to step aside and returns as soon as no DRM card
// has a master any more, so that the next program (a compositor's ExecStartPre=, an init
// script's stop) can become master at once while the player's last frame stays on screen.
//
//   bootanim-handover [--wait | PID ...]
//
// Sends SIGTERM to each PID, or to every process called "bootanim" when none is given, then
// looks at every /dev/dri/cardN every 10 ms. With --wait it sends nothing and only waits, for
// where something else asks the player to stop (systemd's Conflicts=): a second request would
// make the player exit at once and lose the picture. a card has no master when a file opened on it
// now becomes master (the kernel makes the first opener of a card without master its master). Exit
// status 0 once every card is free, 1 when one is still held after 5 s (the player gives up
// its wait by then as well), 2 for a wrong command line.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include <xf86drm.h>

namespace
{

constexpr int k_max_cards = 64;
constexpr int k_wait_ms = 5000;
constexpr int k_look_every_ms = 10;

std::vector<pid_t> players()
{
	std::vector<pid_t> pids;
	DIR *proc = opendir("/proc");
	if (!proc)
		return pids;
	while (dirent *e = readdir(proc)) {
		char *end = nullptr;
		const long pid = strtol(e->d_name, &end, 10);
		if (pid <= 0 || *end != '\0' || pid == getpid())
			continue;
		char comm[32] = {};
		const std::string path = std::string("/proc/") + e->d_name + "/comm";
		FILE *f = fopen(path.c_str(), "r");
		if (!f)
			continue;
		const bool named = fgets(comm, sizeof comm, f) && strcmp(comm, "bootanim\n") == 0;
		fclose(f);
		if (named)
			pids.push_back(pid_t(pid));
	}
	closedir(proc);
	return pids;
}

// Whether a file opened on the card now is its master: AUTH_MAGIC is for masters alone
// (EACCES otherwise), and a master asking for magic 0 gets EINVAL.
bool card_free(const char *path)
{
	const int fd = open(path, O_RDWR | O_CLOEXEC);
	if (fd < 0)
		return true; // gone, or not ours to look at
	drm_auth_t auth{};
	const bool master = drmIoctl(fd, DRM_IOCTL_AUTH_MAGIC, &auth) == 0 || errno != EACCES;
	close(fd);
	return master;
}

bool every_card_free()
{
	for (int n = 0; n < k_max_cards; n++) {
		char path[32];
		snprintf(path, sizeof path, "/dev/dri/card%d", n);
		if (access(path, F_OK) == 0 && !card_free(path))
			return false;
	}
	return true;
}

int64_t now_ms()
{
	timespec t{};
	clock_gettime(CLOCK_MONOTONIC, &t);
	return int64_t(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

} // namespace

int main(int argc, char **argv)
{
	std::vector<pid_t> pids;
	const bool wait_only = argc == 2 && strcmp(argv[1], "--wait") == 0;
	for (int i = 1; i < argc && !wait_only; i++) {
		char *end = nullptr;
		const long pid = strtol(argv[i], &end, 10);
		if (pid <= 0 || *end != '\0') {
			fprintf(stderr, "usage: bootanim-handover [--wait | PID ...]\n");
			return 2;
		}
		pids.push_back(pid_t(pid));
	}
	if (pids.empty() && !wait_only)
		pids = players();
	for (pid_t pid : pids)
		if (kill(pid, SIGTERM) != 0)
			fprintf(stderr, "bootanim-handover: pid %d: %s\n", int(pid),
			        strerror(errno));

	const int64_t deadline = now_ms() + k_wait_ms;
	for (;;) {
		if (every_card_free()) {
			printf("bootanim-handover: the display is free\n");
			return 0;
		}
		if (now_ms() >= deadline) {
			printf("bootanim-handover: the display is still held after %d s\n",
			       k_wait_ms / 1000);
			return 1;
		}
		usleep(k_look_every_ms * 1000);
	}
}
