// Output through the sharing service, while the instrument is shared: the service keeps each
// message whole among the other programs' and silences what a stream left sounding. These are the
// service's output calls of the stream's device (stream/device.h).
#pragma once

#include "output/output_stream.h"

#include <cstdint>

// Sends the message in frames of at most shareMessageBytesMax, a long one waited for until it
// has gone out.
uint32_t sendThroughService(OutputStream& stream, const uint8_t* bytes, uint32_t count,
                            bool canBeCut, uint32_t cutsBefore);
// Asks the service to silence what the stream left sounding.
uint32_t silenceThroughService(OutputStream& stream);
