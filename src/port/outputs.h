// The outputs, one row each: everything the driver knows of an output comes from here (how many
// there are, their names, how their data goes on the wire, where the filter finds their message
// kinds). Another output would be one more row.
#pragma once

#include "port/shared_state.h"

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

// The input's name, and the one output's with independent mode off.
constexpr const char16_t* portDeviceName = u"MELV PC I/F MIDI Port";

// How many devices of the kind applications see in the mode the record is in.
constexpr uint32_t deviceCount(const SharedState& shared, DeviceKind kind) {
    return kind == kindOutput && independentMode(shared) ? outputCount : 1;
}
