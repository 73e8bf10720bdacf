// Hooks between the card and the LD_PRELOAD library (preload_*.cpp). In a test executable the
// hooks are absent (weak, null) and the test installs the card itself.
#pragma once

extern "C" {
// Called once, at the first open of "/dev/dri/card0" or "card1" in the process, before the open
// is served:
// the preload library installs the card described by SIMKMS_CONFIG and starts its control
// channel.
__attribute__((weak)) void simkms_preload_init(void);

// Called after every successful atomic commit that is not TEST_ONLY, with the commit's flags and
// the card's lock still held (it reads the card through sim::kms only): the preload library
// captures the screen when asked to.
__attribute__((weak)) void simkms_preload_after_commit(unsigned flags);
}
