// Input while the instrument is shared: the worker's half of the input stream's connection to the
// sharing service, which hands over every byte the instrument sends once input has started, each
// with the time it came in at. The worker keeps one read of the service's next frame outstanding
// (the stream's first read slot), and assembles, buffers and dates the bytes as it does the line's.
// `serviceInput` is the service's input device (stream/device.h).
#pragma once

#include "input/input_stream.h"

extern const InputDevice serviceInput;
