// The monitor window's rows: each trace entry as the columns show it, and the filter that decides
// which rows are shown. The filter changes what is shown, never what is recorded or kept.
#pragma once

#include "monitor/monitor.h"

#include <cstdint>
#include <string>

// What a row carries, for the filter: a channel message's kind, the system's messages, or news of
// the line and the devices.
enum class RowKind : uint8_t {
    note, // Note On, Note Off, Poly Key Pressure
    controlChange,
    programChange,
    channelPressure,
    pitchBend,
    exclusive,
    systemCommon,
    timingClock,
    activeSensing,
    otherRealTime,
    news, // the line, a device opened, closed or refused, a reset
    count,
};
constexpr uint32_t rowKindBit(RowKind kind) {
    return 1u << static_cast<uint32_t>(kind);
}

struct RowFilter {
    bool out;
    bool in;
    uint32_t shownKinds; // rowKindBit of each kind shown
    uint16_t channels;   // bit n: channel n + 1's messages are shown
    uint32_t processId;  // only this program's rows; 0: every program's
};
// Everything, but Timing Clock and Active Sensing, which come many times a second and say nothing
// of the music.
constexpr RowFilter defaultRowFilter = {true, true,
                                        ((1u << static_cast<uint32_t>(RowKind::count)) - 1) &
                                            ~rowKindBit(RowKind::timingClock) &
                                            ~rowKindBit(RowKind::activeSensing),
                                        0xFFFF, 0};

RowKind rowKindOf(const TraceEntry& entry);
// The channel of the entry's channel message, 0 to 15, or -1 when it has none.
int rowChannelOf(const TraceEntry& entry);
bool rowShown(const TraceEntry& entry, const RowFilter& filter);

// A row's columns, as the window shows them and copies them as text.
struct MonitorRow {
    std::string sincePrevious; // "+12 ms" since the row before it was recorded; "" for the first
    std::string direction;     // "out", "in", "line", "open"
    std::string program;       // "name (1234)"
    std::string destination;   // the output, "the input", or "" for the line
    std::string words;         // the message, or what became of it
    std::string hex;           // its bytes, long ones as their head and tail
};
// The row of `entry`, of `program`, recorded `sinceMs` after the entry before it (-1: none).
MonitorRow rowOf(const TraceEntry& entry, const std::string& program, int64_t sinceMs);
