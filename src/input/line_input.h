// Input from the serial line, while the process holds the port: the worker keeps eight reads
// issued on the line (the stream's read slots; one where the port does not serve its reads in
// turn), each taking what has arrived, takes their bytes strictly in the order the reads were
// issued, and picks the line up again when it failed or was opened anew by a sender.
// `lineInput` is the line's input device (stream/device.h).
#pragma once

#include "input/input_stream.h"

extern const InputDevice lineInput;
