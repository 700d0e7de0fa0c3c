// Output on the serial line, while the process holds the port: each message behind its
// destination's select, framed for its output (line/outputs.h), written under the process's send
// lock; a reset's silencing, which whichever sender has the wire may send for another output.
// These are the line's output calls of the stream's device (stream/device.h).
#pragma once

#include "output/output_stream.h"

#include <cstdint>

// Sends the data and, before and after it, the silencing resets handed over.
uint32_t sendToLine(OutputStream& stream, const uint8_t* bytes, uint32_t count, bool canBeCut,
                    uint32_t cutsBefore);
// Silences what the stream left sounding, or hands it over to the sender that keeps the wire.
uint32_t silenceOnLine(OutputStream& stream);
