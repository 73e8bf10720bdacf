// Uses the C and C++ libraries the way the player does (threads, mutexes, strings, streams of
// the C library) without anything newer than the device baseline.
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

int main(int argc, char **argv)
{
	std::mutex lock;
	std::string text(argv[0]);
	std::thread worker([&] {
		std::lock_guard<std::mutex> hold(lock);
		text += std::to_string(argc);
	});
	worker.join();
	std::puts(text.c_str());
	return 0;
}
