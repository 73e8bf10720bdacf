// Waiting in tests for something observable to happen: a condition polled until it holds or a
// generous deadline passes. The deadline only bounds a failing test; a passing one never waits
// longer than its condition takes, however loaded the machine is.
#pragma once

#include <chrono>
#include <thread>

constexpr std::chrono::milliseconds k_wait_deadline{30000};

// True as soon as `done()` holds; false when it still does not at the deadline.
// A costly condition (a round trip to another process) takes a longer `poll`.
template <typename Condition>
bool wait_until(Condition done, std::chrono::milliseconds deadline = k_wait_deadline,
                std::chrono::milliseconds poll = std::chrono::milliseconds(1))
{
	const auto end = std::chrono::steady_clock::now() + deadline;
	while (!done()) {
		if (std::chrono::steady_clock::now() >= end)
			return done();
		std::this_thread::sleep_for(poll);
	}
	return true;
}
