// What a monitor is told of an output stream's messages, by the entry and by each device's send.
#pragma once

#include "output/output_stream.h"

#include <cstdint>

// The monitor's number of `output`.
uint8_t outputSlot(uint32_t output);
// What a monitor is told, and counted, of a message that was sent to `output` with `status`, as
// the musician reads it: running-status data with its status byte. Told by the device's send.
void tellSend(const OutputStream& stream, uint32_t output, const uint8_t* bytes, uint32_t count,
              uint32_t status, uint8_t flags = 0);
// What a monitor is told, and counted, of the client's message as the musician reads it (with its
// status byte): that the filter of `kind` dropped it. A send tells of itself.
void tellDrop(const OutputStream& stream, const uint8_t* message, uint32_t length,
              MessageKind kind);
