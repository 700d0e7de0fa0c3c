// The client's buffers for system-exclusive data: a first-in, first-out queue per input stream,
// filled at its head and handed back to the client full, complete, cut short or unused.
//
// A queued header has MHDR_INQUEUE set and MHDR_DONE clear; a header handed back has MHDR_DONE
// set and MHDR_INQUEUE clear, and has left the queue before the client hears of it.
#pragma once

#include "monitor/monitor.h"
#include "stream/stream.h"

#include <cstdint>

constexpr uint8_t startOfExclusive = 0xF0;
constexpr uint8_t endOfExclusive = 0xF7;

struct ExclusiveQueue {
    MidiHeader* head; // the client's buffers waiting for exclusive data, in order
    uint32_t count;   // bytes stored so far in the head buffer
    // The exclusive coming in, for a monitor, and how many of its bytes found no buffer.
    TracedBytes traced;
    uint32_t unbuffered;
};

// The client that is told of each buffer handed back is `client`, and `time` is what the buffer
// is dated with: the exclusive's time for a buffer it filled, ended or cut short, the time of the
// reset for buffers handed back unused.
void appendBuffer(ExclusiveQueue& queue, MidiHeader* header);
// Stores an exclusive byte in the head buffer; returns the buffer when it is full or the byte
// ends the exclusive. Dropped when no buffer is queued.
void sinkExclusiveByte(ExclusiveQueue& queue, const Stream& client, uint8_t byte, uint32_t time);
// An exclusive was cut short by other data: the head buffer goes back as a long error.
void abortExclusive(ExclusiveQueue& queue, const Stream& client, uint32_t time);
// At stop and reset: a partly filled head buffer goes back as a long error.
void returnPartialBuffer(ExclusiveQueue& queue, const Stream& client, uint32_t time);
// At reset: every queued buffer goes back unused.
void returnAllBuffers(ExclusiveQueue& queue, const Stream& client, uint32_t time);
bool buffersQueued(const ExclusiveQueue& queue);
