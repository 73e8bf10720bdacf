// Shows one scan-out buffer full screen on a hardware plane with one atomic commit.
#pragma once

#include "buffer/bo.h"

// How a run's frames reach the screen.
enum class frame_fit {
	stretched,  // over the whole mode (on another plane where the run chose one)
	positioned, // at their own size, centred (cropped where larger), on a plane that places
	            // them
	padded,     // decoded centred into buffers of the mode's size, which cover the CRTC
	none,       // no plane accepted them
};

// Puts `bo` (a mapped buffer whose framebuffer is registered) on the first plane that offers its
// format and may be on the active CRTC, on that CRTC, stretched over the current mode of the
// encoder's CRTC. Every lookup is made afresh; every failure is reported on standard output and
// ends the call. After the run's first refused commit the run's fit is chosen (and reported)
// once: another plane that stretches, else one that places the frame at its own size, else
// buffers of the mode's size, which the player then makes (present_padded_size).
void present_frame(int fd, const bo *bo);

// The possible_crtcs bit of the CRTC present_frame would put a frame on now, found quietly; 0
// when there is none.
uint32_t present_crtc_bit(int fd);

// Forgets the fit of the previous run.
void present_new_run();

// The run's fit.
frame_fit present_fit();

// Before a frame of `width` x `height` is made, while the run's fit is not chosen: where the card
// takes no framebuffer that small (its resources' minimum size, as simpledrm sets it to its one
// mode), the run's frames go into buffers of the mode's size. Reported once; true when so
// chosen.
bool present_pad_small_frames(int fd, uint32_t width, uint32_t height);

// Whether the run's frames go into buffers of the mode's size, and that size.
bool present_padded_size(uint32_t *width, uint32_t *height);
