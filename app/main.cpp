#include <csignal>
#include <cstdio>

#include "app/entry.h"

int main(int argc, char **argv)
{
	// A reader that closes standard output must not end the player: writes then just fail.
	signal(SIGPIPE, SIG_IGN);
	// The process is killed, never exits: every complete line must reach a pipe or the journal
	// at once.
	setvbuf(stdout, nullptr, _IOLBF, 0);
	bootanim_run(bootanim_start(argc, argv));
	idle_forever();
}
