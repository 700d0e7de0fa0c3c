// Writing to the serial port the process holds (line/port.h): each write waited for within a
// deadline the line's pace sets, and cut short when a reset stops the long message it carries.
#pragma once

#include "line/port.h"

#include <atomic>
#include <cstdint>

// The line's pace: 38400 baud with ten bits to the byte.
constexpr uint32_t lineBytesPerSecond = 3840;
// How much longer than its bytes need on the line a write may take before it is given up: a line
// that takes nothing for this long has stopped taking bytes.
constexpr uint32_t writeGraceMs = 3000;
// The longest a write of `count` bytes is waited for, in ms.
constexpr uint32_t writeDeadline(uint32_t count) {
    uint64_t deadline = uint64_t{count} * 1000 / lineBytesPerSecond + writeGraceMs;
    return deadline < platform::noTimeLimit ? static_cast<uint32_t>(deadline)
                                            : platform::noTimeLimit - 1;
}
// Writes the bytes and returns once the port has taken them; a failure when the write fails,
// when it misses its deadline (it is cancelled), and when a reset cuts the writer's message. The
// caller holds the process's sendLock, which keeps the port open meanwhile.
uint32_t writePort(PortLine& line, PortHold portHold, PortWriter& writer, const uint8_t* bytes,
                   uint32_t count);
// Marks the send that now takes the wire (the caller holds sendLock) as cuttable, once `cuts` moves
// on from `cutsBefore`, or, with null, as not.
void setCuttable(PortLine& line, PortWriter& writer, const std::atomic<uint32_t>* cuts,
                 uint32_t cutsBefore);
// Stops the long messages the writer is writing on other threads, whose cut count has moved on:
// the write under way is cancelled if a cuttable send owns it, and none of them starts another.
void cutWrite(PortLine& line, PortWriter& writer);
