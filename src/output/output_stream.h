// An output stream: the common record, and what the output keeps of its own, in one allocation.
#pragma once

#include "line/line.h"
#include "line/sounding.h"
#include "stream/stream.h"

#include <atomic>
#include <cstdint>
#include <mutex>

struct OutputStream : Stream {
    const OutputDevice* device; // where its bytes go, given at open
    uint32_t rememberedLength;  // the length of the last classified short message
    uint8_t rememberedStatus;   // its status byte, which running-status data goes under
    MessageKind rememberedDrop; // the filter that dropped it and drops its data; 0 when none did
    // A reset has put status bytes of its own on the wire since the client's last one, so the
    // instrument's running status is no longer the client's.
    uint8_t runningStatusOverwritten;
    // The notes and pedals the stream left on: on the line, its output's part of the shared record,
    // which a later holder of the port reads should this process die without closing; through
    // the service, its own.
    SoundingNotes* sounding;
    SoundingNotes ownSounding;
    // Makes a short message's send and its bookkeeping (sounding, running status) one step
    // against a reset of the same stream from another thread, as players stop from their
    // interface thread while their playing thread still sends. Taken before the send lock.
    std::mutex trackingLock;
    // Long messages under way on the client's threads, which a reset cuts and waits for.
    std::atomic<uint32_t> longMessagesUnderWay;
    // Counts the resets that cut the long messages under way. A long message notes the count
    // before it is counted under way, and is cut once the count has moved on: nothing ever clears
    // a cut, so no message can take back a cut meant for another.
    std::atomic<uint32_t> cutsRequested;
    // The process's: what resets handed over, for whichever sender has the wire. It outlives
    // every stream of the process.
    OwedSilence* owed;
};

// A new output stream on the process's heap, its common record left for the open to fill in; null
// when it cannot be had.
OutputStream* createOutputStream(platform::Handle heap, OwedSilence& owed);
// Makes the event the stream's writes on the line are waited for on, once it was given the line;
// false when it cannot be had.
bool prepareLineWrites(OutputStream& stream);
// Closes the event of its writes on the line, if any, and frees the stream. Nothing may use it any
// longer: no call is under way on the client's threads, and its port hold has been let go.
void destroyOutputStream(platform::Handle heap, OutputStream& stream);
