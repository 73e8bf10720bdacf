// The one seam over drmModeAtomicAddProperty: every addition the program makes to a request, in
// order (a failed one included), the nth made to fail, and something run at the nth (another
// thread's commit landing meanwhile). The including source file defines the seam: include it in
// one file of a test program.
#pragma once

#include <cerrno>
#include <cstdint>
#include <utility>
#include <vector>

#include <xf86drmMode.h>

#include "tests/support/seam.h"

namespace atomic_adds
{
struct add {
	uint32_t object_id;
	uint32_t prop_id;
	uint64_t value;
};
inline std::vector<add> adds;
inline int fail_at = 0; // the nth addition fails with ENOMEM (1 is the first)
inline int race_at = 0; // `race` runs once at the nth addition, its own additions unrecorded
inline void (*race)() = nullptr;
inline bool racing = false;

inline void reset()
{
	adds.clear();
	fail_at = 0;
	race_at = 0;
	race = nullptr;
}
} // namespace atomic_adds

extern "C" int drmModeAtomicAddProperty(drmModeAtomicReqPtr req, uint32_t object_id,
                                        uint32_t property_id, uint64_t value)
{
	using namespace atomic_adds;
	if (!racing) {
		adds.push_back({object_id, property_id, value});
		if (race && int(adds.size()) == race_at) {
			racing = true;
			std::exchange(race, nullptr)();
			racing = false;
		}
		if (int(adds.size()) == fail_at)
			return -ENOMEM;
	}
	return SEAM_NEXT(drmModeAtomicAddProperty)(req, object_id, property_id, value);
}
