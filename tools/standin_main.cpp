// bootanim-standin: a stand-in for the program that takes the display over from the boot
// animation. It opens the display's card, becomes its DRM master (retrying while the player lets
// go), shows a plain picture of its own full screen and holds it until it is killed.
//
// Usage: bootanim-standin [--card PATH]     (default /dev/dri/card0)
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "tools/standin.h"

int main(int argc, char **argv)
{
	std::string card = "/dev/dri/card0";
	for (int i = 1; i < argc; i++) {
		const std::string a = argv[i];
		if (a == "--card" && i + 1 < argc) {
			card = argv[++i];
		} else {
			fprintf(stderr, "usage: bootanim-standin [--card PATH]\n");
			return 2;
		}
	}
	const int fd = open(card.c_str(), O_RDWR | O_CLOEXEC);
	if (fd < 0) {
		printf("standin: cannot open %s: %s\n", card.c_str(), strerror(errno));
		return 1;
	}
	const auto say = [](const std::string &line) {
		printf("%s\n", line.c_str());
		fflush(stdout);
	};
	if (!standin::show(fd, say, nullptr))
		return 1;
	// The picture lasts as long as the descriptor: hold it until killed.
	for (;;)
		pause();
}
