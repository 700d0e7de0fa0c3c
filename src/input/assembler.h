// The input byte assembler: turns the bytes the instrument sends, one at a time, into short
// messages, error reports and system-exclusive data for the buffer queue. A pure state machine:
// the caller sets `now` before each byte, and every effect is a notification or a queue call.
#pragma once

#include "input/exclusive_queue.h"
#include "stream/stream.h"

#include <cstdint>

struct InputAssembler {
    uint32_t started;      // bytes are ignored while input is stopped
    uint32_t pending;      // status in bits 0-7, data in 8-15 and 16-23; 0 = nothing pending
    uint8_t runningStatus; // channel status in force for running status; 0 = none
    uint8_t inExclusive;
    uint8_t remaining; // data bytes still needed to complete the pending message
    uint8_t byteCount; // bytes of the current message so far, status included; 0 = no status
    uint32_t now;      // time of the byte being processed, ms since input was started
    uint32_t messageTime;
    uint32_t latestTold; // the latest time the client was told since input was started
};

// The time a notification made now carries: `time`, unless the client was told a later one
// since input was started; then that one. Clients date each message by the difference from the
// one before, so a time that went back would read as a message from some 49 days on: a real-time
// byte told at once in the middle of an exclusive must not be followed by the exclusive's buffer
// dated by its earlier F0.
uint32_t toldTime(InputAssembler& assembler, uint32_t time);
// Input starts: times count from 0 again, and a message that began before the start and goes on
// after it is dated at the start.
void restartClock(InputAssembler& assembler);

// Exclusive data goes to `exclusive`, and everything else is told to `client`.
void parseInputByte(InputAssembler& assembler, ExclusiveQueue& exclusive, const Stream& client,
                    uint8_t byte);
// The line was lost under a message: a short message cut by it is dropped without a word, an
// exclusive comes back in its buffer as a long error, and running status is forgotten.
void forgetPartialMessage(InputAssembler& assembler, ExclusiveQueue& exclusive,
                          const Stream& client);
// Bytes before the next one were lost, as the client did not take them in time: the client is
// told, with a long error for an exclusive they cut and an error with whatever came of the message
// they cut (nothing, when they cut none), and running status is forgotten.
void loseBytes(InputAssembler& assembler, ExclusiveQueue& exclusive, const Stream& client);
