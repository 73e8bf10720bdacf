// Shows one scan-out buffer full screen on a hardware plane with one atomic commit.
#pragma once

#include "buffer/bo.h"

// Puts `bo` (a mapped buffer whose framebuffer is registered) on the first plane that offers its
// format and may be on the active CRTC, on that CRTC, stretched over the current mode of the
// encoder's CRTC. Every lookup is made afresh; every failure is reported on standard output and
// ends the call.
void present_frame(int fd, const bo *bo);
