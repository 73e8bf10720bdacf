#include <csignal>
#include <cstdio>
#include <unistd.h>

#include "app/entry.h"

int main(int argc, char **argv)
{
	// A reader that closes standard output must not end the player: writes then just fail.
	signal(SIGPIPE, SIG_IGN);
	// The process is killed, never exits: every complete line must reach a pipe or the journal
	// at once.
	setvbuf(stdout, nullptr, _IOLBF, 0);
	// Before any thread exists, so that every thread inherits the mask.
	block_stop_signals();
	bootanim_run(bootanim_start(argc, argv));
	const int status = idle_until_stopped();
	// The other threads still run: no destructor of a process-wide value may run under them.
	fflush(stdout);
	_exit(status);
}
