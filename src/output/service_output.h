// Output through the sharing service, while the instrument is shared: the service keeps each
// message whole among the other programs' and silences what a stream left sounding. This is the
// service's output device, `serviceOutput` (stream/device.h).
#pragma once

#include "output/output_stream.h"

extern const OutputDevice serviceOutput;
