// Captures what the code under test prints on standard output or standard error.
#pragma once

#include <string>

// Redirects descriptor 1 (or 2) into a temporary file until stop() returns what was written.
class output_capture
{
public:
	explicit output_capture(int fd = 1);
	~output_capture();
	output_capture(const output_capture &) = delete;
	output_capture &operator=(const output_capture &) = delete;

	// Everything written since the capture began; the capture ends.
	std::string stop();

private:
	int fd_;
	int saved_ = -1;
	int file_ = -1;
};
