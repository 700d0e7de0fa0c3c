// The output encoder: how many bytes of a short message go out (the message filters), the
// destination-select pair, and the framing of data for its destination.
//
// On the wire: 0xF5 and the output index announce a destination; data for outputs 0 and 1 goes in
// packets of 0xFF and up to four bytes, data for outputs 2 and 3 goes raw, in blocks of up to
// rawBlockBytes. Each select pair, packet and raw block is one write.
#pragma once

#include "output/output_stream.h"

#include <cstdint>

constexpr uint8_t destinationSelect = 0xF5;
constexpr uint8_t packetLead = 0xFF;
constexpr uint32_t packetDataBytes = 4;
constexpr uint32_t rawBlockBytes = 256; // about 70 ms on the wire

// One write for the line: a select pair, a packet or a raw block.
struct WireWrite {
    uint8_t bytes[rawBlockBytes];
    uint32_t count;
};

// The select pair that announces `output`.
WireWrite selectPair(uint32_t output);
// Frames the first write's worth of `count` bytes (at least one) for `output` into `write`: a
// packet for outputs 0 and 1, a raw block for the synths; how many of the bytes it took.
uint32_t frameNextWrite(uint32_t output, const uint8_t* bytes, uint32_t count, WireWrite& write);

// Whether `kind` passes on output `index`.
bool kindEnabled(const SharedState& shared, MessageKind kind, uint32_t index);
// How many bytes of the packed short message in `bytes` (status first) are sent: 0 to 3, 0 when
// the message is filtered. Data under running status shares the decision of its status byte.
uint32_t messageLength(const OutputStream& stream, const uint8_t* bytes);
// A status byte that starts running status is remembered with its length (even when filtered),
// so that the data that follows it is judged with it.
void rememberStatus(OutputStream& stream, const uint8_t* bytes, uint32_t length);
// The same as sendOutput's send, as `output`'s data, for a caller that holds the process's
// sendLock, written with the stream's port hold and record: a reset's Note Offs, sent by
// whichever stream has the wire.
uint32_t sendOnWire(OutputStream& stream, uint32_t output, const uint8_t* bytes, uint32_t count,
                    bool canBeCut = false, uint32_t cutsBefore = 0);
