// melv-toolbox.exe --panic: the sound stops. All Notes Off (controller 123) and the sustain pedal
// up (controller 64 at 0) go out on all 16 channels of each of the instrument's destinations, in
// the order of the outputs, whatever the driver's mode: for a note that keeps sounding after a
// program crashed, or a pedal left down.
#pragma once

#include <cstdint>

// On COMport itself, as the one program that has the instrument: MMSYSERR_ALLOCATED when another
// program holds it, MMSYSERR_ERROR when it cannot be opened or stops taking bytes.
uint32_t panicOnPort(uint16_t port);
// Through the sharing service, one connection per destination, each answered once its message
// has gone out; the driver's own status when the service cannot be reached or refuses.
uint32_t panicThroughService();
