#include "output/sending.h"

#include "output/encoder.h"
#include "platform/host.h"
#include "port/monitor.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

uint8_t outputSlot(uint32_t output) {
    return static_cast<uint8_t>(deviceSlot(kindOutput, output));
}

// What a monitor is told, and counted, of a message that was sent to `output` with `status`, as
// the musician reads it: running-status data with its status byte.
void noteSend(const OutputStream& stream, uint32_t output, const uint8_t* bytes, uint32_t count,
              uint32_t status, uint8_t flags = 0) {
    const PortLine& line = *stream.line;
    if (status == MMSYSERR_NOERROR) {
        countUp(line, Count::messagesSent);
        countUp(line, Count::bytesSent, count);
    }
    if (stream.link.viaService) {
        flags |= traceViaService;
    }
    uint8_t whole[3] = {stream.rememberedStatus, bytes[0], count > 1 ? bytes[1] : uint8_t{0}};
    bool runningStatus = bytes[0] < 0x80 && count <= 2;
    TraceEvent event = status == MMSYSERR_NOERROR ? TraceEvent::sent : TraceEvent::notSent;
    traceBytes(line, {event, outputSlot(output), 0, flags, status}, runningStatus ? whole : bytes,
               runningStatus ? count + 1 : count);
}

// Where a reset's messages go: `output`'s data, written by `sender`, which holds sendLock.
struct ReleaseTarget {
    OutputStream* sender;
    uint32_t output;
};

uint32_t sendRelease(void* context, const uint8_t* message) {
    auto* target = static_cast<ReleaseTarget*>(context);
    uint32_t status = sendOnWire(*target->sender, target->output, message, 3);
    noteSend(*target->sender, target->output, message, 3, status, traceSilencing);
    return status;
}

// Turns off, as `output`'s data, every note and pedal `sounding` holds, forgetting each once it
// has gone out; the status of the first write that failed. The caller holds sendLock.
uint32_t sendSilencing(SoundingNotes& sounding, OutputStream& sender, uint32_t output) {
    ReleaseTarget target = {&sender, output};
    return releaseSounding(sounding, sendRelease, &target);
}

// Takes the process's sendLock if it comes free within wireWaitMs. Tried again every
// millisecond rather than waited for with a time limit, which the race checker cannot follow.
bool takeWireSoon(std::unique_lock<std::mutex>& wire) {
    auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(wireWaitMs);
    while (!wire.try_lock()) {
        if (std::chrono::steady_clock::now() >= giveUp) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The stream's silencing becomes the process's to send. Once it has gone out, the instrument's
// running status is the reset's, no longer the client's, and the stream's next data can only
// follow it: whoever has the wire sends what is owed before its own data.
void handOverSilence(OutputStream& stream) {
    if (!anySounding(stream.sounding)) {
        return;
    }
    OwedSilence& owed = *stream.owed;
    std::lock_guard<std::mutex> hold(owed.lock);
    addSounding(owed.notes[stream.deviceIndex], stream.sounding);
    stream.sounding = {};
    stream.runningStatusOverwritten = 1;
    owed.outputs.fetch_or(1u << stream.deviceIndex);
}

// The service keeps each message whole among the other programs' and answers a long one once it
// has gone out. One longer than a frame goes in several, each waited for: an exclusive holds the
// line from its start to its end whatever frames it came in.
uint32_t sendThroughService(ShareLink& link, const uint8_t* bytes, uint32_t count, bool isLong) {
    uint32_t status = MMSYSERR_NOERROR;
    for (uint32_t at = 0; at < count && status == MMSYSERR_NOERROR; at += shareMessageBytesMax) {
        uint32_t part = std::min(count - at, shareMessageBytesMax);
        status = shareRequest(link, ShareFrameKind::message, isLong ? shareAnswerWanted : 0,
                              bytes + at, part);
    }
    return status;
}

} // namespace

void noteDrop(const OutputStream& stream, const uint8_t* message, uint32_t length,
              MessageKind kind) {
    const PortLine& line = *stream.line;
    if (kind != MessageKind{0}) {
        countUp(line, droppedCount(kind));
    }
    TraceNote note = {TraceEvent::dropped, outputSlot(stream.deviceIndex),
                      static_cast<uint8_t>(kind), 0, MMSYSERR_NOERROR};
    traceBytes(line, note, message, length);
}

uint32_t sendOutput(OutputStream& stream, const uint8_t* bytes, uint32_t count, bool canBeCut,
                    uint32_t cutsBefore) {
    if (count == 0) {
        return MMSYSERR_NOERROR;
    }
    uint32_t status;
    if (stream.link.viaService) {
        status = sendThroughService(stream.link, bytes, count, canBeCut);
        noteSend(stream, stream.deviceIndex, bytes, count, status);
        return status;
    }
    {
        std::lock_guard<std::mutex> hold(stream.line->sendLock);
        // A reset of this very output may have handed its Note Offs over: they go out before
        // the data that follows the reset.
        sendOwedSilence(stream);
        status = sendOnWire(stream, stream.deviceIndex, bytes, count, canBeCut, cutsBefore);
        // Told while the wire is held, so that a monitor sees the messages in the wire's order.
        noteSend(stream, stream.deviceIndex, bytes, count, status);
        sendOwedSilence(stream);
    }
    sendSilenceOwedMeanwhile(stream);
    return status;
}

uint32_t silenceOutput(OutputStream& stream) {
    // The service knows what the stream left sounding, and silences it whoever has the wire.
    if (stream.link.viaService) {
        stream.sounding = {};
        uint32_t status = shareRequest(stream.link, ShareFrameKind::reset, 0, nullptr, 0);
        trace(*stream.line,
              {TraceEvent::reset, outputSlot(stream.deviceIndex), 0, traceViaService, status});
        return status;
    }
    std::unique_lock<std::mutex> wire(stream.line->sendLock, std::defer_lock);
    if (!takeWireSoon(wire)) {
        handOverSilence(stream);
        // The sender may have let the wire go before it could see what was handed over.
        if (wire.try_lock()) {
            sendOwedSilence(stream);
        }
        return MMSYSERR_NOERROR;
    }
    bool anything = anySounding(stream.sounding);
    uint32_t status = sendSilencing(stream.sounding, stream, stream.deviceIndex);
    // Once a message of the reset may be on the wire, the running status is no longer the
    // client's.
    if (anything) {
        stream.runningStatusOverwritten = 1;
    }
    sendOwedSilence(stream);
    return status;
}

void sendOwedSilence(OutputStream& sender) {
    OwedSilence& owed = *sender.owed;
    for (uint32_t output = 0; output < outputCount; ++output) {
        uint32_t bit = 1u << output;
        if ((owed.outputs.load() & bit) == 0) {
            continue;
        }
        SoundingNotes notes;
        {
            std::lock_guard<std::mutex> hold(owed.lock);
            notes = owed.notes[output];
            owed.notes[output] = {};
            owed.outputs.fetch_and(~bit);
        }
        if (sendSilencing(notes, sender, output) != MMSYSERR_NOERROR) {
            // What did not go out stays owed, for the next sender.
            std::lock_guard<std::mutex> hold(owed.lock);
            addSounding(owed.notes[output], notes);
            owed.outputs.fetch_or(bit);
        }
    }
}

void sendSilenceOwedMeanwhile(OutputStream& sender) {
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (sender.owed->outputs.load() == 0) {
        return;
    }
    std::unique_lock<std::mutex> wire(sender.line->sendLock, std::try_to_lock);
    if (wire.owns_lock()) {
        sendOwedSilence(sender);
    }
}
