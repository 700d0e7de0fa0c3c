// The instrument's reading of what the driver sends down the serial line: destination selects
// (F5 nn), 0xFF-led packets of 1 to 4 bytes for the two MIDI destinations, raw bytes for the two
// synth destinations, and inside them an ordinary MIDI byte stream per destination.
//
// A pure state machine: the caller feeds bytes with the time they arrived and gets back complete
// MIDI messages and reports of malformed data, in wire order. Nothing here reads a clock, does I/O
// or can fail; any byte sequence is accepted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr int kDestinationCount = 4;
constexpr int kNoDestination = -1;

// What was wrong with the bytes of a malformed event. None marks a complete MIDI message.
enum class WireProblem : uint8_t {
    None,
    EmptyPacket,         // a packet lead FF with no data before a destination select or the end
    BadDestination,      // F5 followed by an index that names no destination
    MissingIndex,        // F5 with nothing after it at the end of the input
    OutsidePacket,       // a byte for a MIDI destination that is in no packet
    NoDestination,       // a byte before any valid destination select
    CutShort,            // a message broken off by a status byte, or left unfinished at the end
    StrayData,           // a data byte with no status byte in force
    StrayEndOfExclusive, // F7 with no SysEx in progress
};

struct WireEvent {
    int64_t timeUs;             // arrival time of the byte that completed or revealed it
    int destination;            // 0 to 3, or kNoDestination when none was selected
    WireProblem problem;        // None: `bytes` is one complete MIDI message
    std::vector<uint8_t> bytes; // the message, or the bytes the problem concerns
    uint8_t cause;              // CutShort: the status byte that broke in, 0 at the end of input
};

// The MIDI byte stream of one destination: each destination is a separate input on the
// instrument, so a SysEx or running status on one survives traffic to the others.
struct MidiStream {
    std::vector<uint8_t> message; // the message in progress, status first; empty = none
    uint8_t expected;             // complete length of the message in progress (not for SysEx)
    uint8_t runningStatus;        // channel status in force for running status; 0 = none
    bool inExclusive;
};

enum class WireState : uint8_t {
    BetweenElements, // expecting F5, or for a MIDI destination FF; raw data for a synth one
    InPacket,        // after FF: up to four data bytes of a packet
    SelectIndex,     // after F5: the destination index
};

struct WireDecoder {
    WireState state;
    int destination;     // the destination selected last, kNoDestination before any
    uint8_t packetBytes; // data bytes taken so far in the current packet
    MidiStream streams[kDestinationCount];
};

void resetWireDecoder(WireDecoder& decoder);

// Appends to `events` whatever the byte completes or reveals.
void feedWireByte(WireDecoder& decoder, uint8_t byte, int64_t timeUs,
                  std::vector<WireEvent>& events);

// Feeds each byte in turn, all with the same arrival time.
void feedWireBytes(WireDecoder& decoder, const uint8_t* bytes, size_t count, int64_t timeUs,
                   std::vector<WireEvent>& events);

// The input has ended: reports what is left unfinished, then resets the decoder.
void finishWire(WireDecoder& decoder, int64_t timeUs, std::vector<WireEvent>& events);

// True for a destination that takes 0xFF-led packets rather than raw data.
inline bool isPacketDestination(int destination) {
    return destination == 0 || destination == 1;
}
