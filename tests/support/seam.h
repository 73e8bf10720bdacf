// Seams over libc and libdrm calls: a test program defines the function itself, the product's
// calls reach that definition first, and it forwards to the library's with SEAM_NEXT(fn).
#pragma once

#include <atomic>
#include <dlfcn.h>

template <typename Fn>
Fn seam_next(std::atomic<void *> &slot, const char *name)
{
	void *p = slot.load(std::memory_order_acquire);
	if (!p) {
		p = dlsym(RTLD_NEXT, name);
		slot.store(p, std::memory_order_release);
	}
	return reinterpret_cast<Fn>(p);
}

// The definition of `fn` after the program's own. Resolved without a guarded static, because a
// seam over the lock functions may run inside the runtime's own initialisation.
#define SEAM_NEXT(fn)                                                                              \
	([] {                                                                                      \
		static std::atomic<void *> slot{nullptr};                                          \
		return seam_next<decltype(&fn)>(slot, #fn);                                        \
	}())
