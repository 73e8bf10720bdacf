#include "tests/support/capture.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

output_capture::output_capture(int fd) : fd_(fd)
{
	fflush(fd_ == 1 ? stdout : stderr);
	char path[] = "/tmp/bootanim-capture-XXXXXX";
	file_ = mkstemp(path);
	if (file_ < 0)
		abort();
	unlink(path);
	saved_ = dup(fd_);
	dup2(file_, fd_);
}

output_capture::~output_capture()
{
	stop();
}

std::string output_capture::stop()
{
	if (saved_ < 0)
		return {};
	fflush(fd_ == 1 ? stdout : stderr);
	dup2(saved_, fd_);
	close(saved_);
	saved_ = -1;
	std::string text;
	char buf[4096];
	ssize_t n;
	lseek(file_, 0, SEEK_SET);
	while ((n = read(file_, buf, sizeof buf)) > 0)
		text.append(buf, static_cast<size_t>(n));
	close(file_);
	file_ = -1;
	return text;
}
