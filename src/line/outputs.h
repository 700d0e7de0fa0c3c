// The outputs, one row each: everything the driver knows of an output comes from here (how many
// there are, their names, how their data goes on the wire, where the filter finds their message
// kinds). Another output would be one more row.
#pragma once

#include "line/shared_state.h"

#include <cstdint>
#include <iterator>

enum class Framing : uint8_t {
    packets, // in packets of 0xFF and up to four data bytes, which the instrument's MIDI part takes
    raw,     // as they are, which the synthesizer parts take
};

struct OutputRow {
    const char16_t* name; // with independent mode on; with it off output 0 is portDeviceName
    Framing framing;
    uint32_t kindsAt; // the first bit of its group in MessageMask: midiKindsAt or synthKindsAt
};

constexpr OutputRow outputTable[] = {
    {u"MELV PC I/F Default MIDI", Framing::packets, midiKindsAt},
    {u"MELV PC I/F MIDI Out", Framing::packets, midiKindsAt},
    {u"MELV PC I/F Synth-A", Framing::raw, synthKindsAt},
    {u"MELV PC I/F Synth-B", Framing::raw, synthKindsAt},
};
constexpr uint32_t outputCount = std::size(outputTable);
static_assert(outputCount == outputSlotCount);

// On the wire: 0xF5 and the output index announce a destination; data for outputs 0 and 1 goes in
// packets of 0xFF and up to four bytes, data for outputs 2 and 3 goes raw, in blocks of up to
// rawBlockBytes. Each select pair, packet and raw block is one write.
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

// The input's name, and the one output's with independent mode off.
constexpr const char16_t* portDeviceName = u"MELV PC I/F MIDI Port";

// How many devices of the kind applications see in the mode the record is in.
constexpr uint32_t deviceCount(const SharedState& shared, DeviceKind kind) {
    return kind == kindOutput && independentMode(shared) ? outputCount : 1;
}
