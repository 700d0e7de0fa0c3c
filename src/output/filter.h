// The output filter: how many bytes of a short message pass the message filters, and the running
// status they are judged under.
#pragma once

#include "output/output_stream.h"

#include <cstdint>

// Whether `kind` passes on output `index`.
bool kindEnabled(const SharedState& shared, MessageKind kind, uint32_t index);
// How many bytes of the packed short message in `bytes` (status first) pass the filter and are
// sent: 0 to 3, 0 when the message is filtered out. Data under running status shares the decision
// of its status byte.
uint32_t passingLength(const OutputStream& stream, const uint8_t* bytes);
// A status byte that starts running status is remembered with its length (even when filtered),
// so that the data that follows it is judged with it.
void rememberStatus(OutputStream& stream, const uint8_t* bytes, uint32_t length);
// The kind whose filter dropped the message passingLength answered 0 for, once its status is
// remembered; noMessageKind for data that came with no status in force.
MessageKind droppedKind(const OutputStream& stream, const uint8_t* bytes);
