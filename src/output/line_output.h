// Output on the serial line, while the process holds the port: each message behind its
// destination's select, framed for its output (line/outputs.h), written under the process's send
// lock; a reset's silencing, which whichever sender has the wire may send for another output.
// `lineOutput` is the line's output device (stream/device.h).
#pragma once

#include "output/output_stream.h"

extern const OutputDevice lineOutput;
