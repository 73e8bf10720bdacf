// std::condition_variable::wait(unique_lock&) is exported at GLIBCXX_3.4.30 by GCC 12's
// libstdc++.
#include <condition_variable>
#include <mutex>
#include <thread>

int main()
{
	std::mutex lock;
	std::condition_variable changed;
	bool ready = false;
	std::thread setter([&] {
		std::lock_guard<std::mutex> hold(lock);
		ready = true;
		changed.notify_one();
	});
	{
		std::unique_lock<std::mutex> hold(lock);
		while (!ready)
			changed.wait(hold);
	}
	setter.join();
	return 0;
}
