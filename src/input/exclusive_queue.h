// The client's buffers for system-exclusive data: a first-in, first-out queue per input stream,
// filled at its head and handed back to the client full, complete, cut short or unused.
//
// A queued header has MHDR_INQUEUE set and MHDR_DONE clear; a header handed back has MHDR_DONE
// set and MHDR_INQUEUE clear, and has left the queue before the client hears of it.
#pragma once

#include "driver/stream.h"

#include <cstdint>

constexpr uint8_t startOfExclusive = 0xF0;
constexpr uint8_t endOfExclusive = 0xF7;

void appendBuffer(Stream& stream, MidiHeader* header);
// Stores an exclusive byte in the head buffer; returns the buffer when it is full or the byte
// ends the exclusive. Dropped when no buffer is queued.
void sinkExclusiveByte(Stream& stream, uint8_t byte);
// An exclusive was cut short by other data: the head buffer goes back as a long error.
void abortExclusive(Stream& stream);
// At stop and reset: a partly filled head buffer goes back as a long error.
void returnPartialBuffer(Stream& stream);
// At reset: every queued buffer goes back unused.
void returnAllBuffers(Stream& stream);
bool buffersQueued(const Stream& stream);
