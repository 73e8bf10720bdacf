// A process-wide libdrm record that one thread replaces while others read it.
#pragma once

#include <memory>
#include <mutex>
#include <utility>

// Readers take a reference with get(); the record stays alive while any reference is held and is
// released with its libdrm free call when the last holder lets go, so a replacement on another
// thread can never leave a reader with a released record. The lock is held only to copy or swap
// the pointer, never while a record is freed.
template <typename T, auto Free>
class shared_record
{
public:
	constexpr shared_record() noexcept = default;
	shared_record(const shared_record &) = delete;
	shared_record &operator=(const shared_record &) = delete;

	// A counted reference to the current record, or null.
	std::shared_ptr<const T> get() const
	{
		std::lock_guard lock(mutex_);
		return record_;
	}

	// Takes ownership of `raw` (may be null) and lets go of the previous record.
	void reset(T *raw = nullptr)
	{
		std::shared_ptr<T> next;
		if (raw)
			next = std::shared_ptr<T>(raw, [](T *p) { Free(p); });
		std::shared_ptr<T> previous;
		{
			std::lock_guard lock(mutex_);
			previous = std::exchange(record_, std::move(next));
		}
	}

	// The current record's address, for messages only.
	const void *address() const
	{
		std::lock_guard lock(mutex_);
		return record_.get();
	}

	explicit operator bool() const
	{
		std::lock_guard lock(mutex_);
		return record_ != nullptr;
	}

private:
	mutable std::mutex mutex_;
	std::shared_ptr<T> record_;
};
