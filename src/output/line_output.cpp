#include "output/line_output.h"

#include "line/port_write.h"
#include "monitor/monitor.h"
#include "output/telling.h"

#include <chrono>
#include <thread>

namespace {

// How long a reset waits for the wire before it hands its silencing to the sender that has it:
// longer than any short message or line pick-up takes, far shorter than a long message.
constexpr uint32_t wireWaitMs = 100;

// Announces `output` on the wire unless it is the last one announced; the status of the select's
// write.
uint32_t selectDestination(OutputStream& stream, uint32_t output) {
    SharedState& shared = *stream.line->shared;
    if (lastDestination(shared) == output) {
        return MMSYSERR_NOERROR;
    }
    WireWrite pair = selectPair(output);
    uint32_t status = writePort(*stream.line, lineEndOf(stream).hold, lineEndOf(stream).writer,
                                pair.bytes, pair.count);
    // Only a pair the instrument was given counts as announced. After a failed one nobody knows
    // which destination the instrument has, so the next data of any output announces its own.
    setLastDestination(shared,
                       status == MMSYSERR_NOERROR ? static_cast<uint16_t>(output) : noDestination);
    return status;
}

// Writes the data framed for `output`, write by write; writePort refuses every write after a reset
// cut the message.
uint32_t writeFramed(OutputStream& stream, uint32_t output, const uint8_t* bytes, uint32_t count) {
    if (!holdsOpenPort(*stream.line, lineEndOf(stream).hold)) {
        return MMSYSERR_INVALPARAM;
    }
    uint32_t status = MMSYSERR_NOERROR;
    WireWrite write;
    for (uint32_t offset = 0; offset < count && status == MMSYSERR_NOERROR;) {
        offset += frameNextWrite(output, bytes + offset, count - offset, write);
        status = writePort(*stream.line, lineEndOf(stream).hold, lineEndOf(stream).writer,
                           write.bytes, write.count);
    }
    return status;
}

// Sends `bytes` as `output`'s data, for a caller that holds the process's sendLock, written
// with the stream's port hold and record: the client's data, or a reset's Note Offs sent by
// whichever stream has the wire.
uint32_t selectAndWrite(OutputStream& stream, uint32_t output, const uint8_t* bytes, uint32_t count,
                        bool canBeCut = false, uint32_t cutsBefore = 0) {
    // A lost line is picked up, when it is due, before the select is decided: the instrument
    // hears the destination again on a line opened anew. Until then sends fail at once.
    if (!holdsOpenPort(*stream.line, lineEndOf(stream).hold) || !lineIsUp(*stream.line)) {
        return MMSYSERR_INVALPARAM;
    }
    // Only the client's long message is cut by a reset, never the reset's own Note Offs nor a
    // short message of the same stream.
    setCuttable(*stream.line, lineEndOf(stream).writer, canBeCut ? &stream.cutsRequested : nullptr,
                cutsBefore);
    // Data behind a select that failed would reach whatever destination the instrument still has.
    uint32_t status = selectDestination(stream, output);
    if (status == MMSYSERR_NOERROR) {
        status = writeFramed(stream, output, bytes, count);
    }
    setCuttable(*stream.line, lineEndOf(stream).writer, nullptr, 0);
    return status;
}

// Where a reset's messages go: `output`'s data, written by `sender`, which holds sendLock.
struct ReleaseTarget {
    OutputStream* sender;
    uint32_t output;
};

uint32_t sendRelease(void* context, const uint8_t* message) {
    auto* target = static_cast<ReleaseTarget*>(context);
    uint32_t status = selectAndWrite(*target->sender, target->output, message, 3);
    tellSend(*target->sender, target->output, message, 3, status, traceSilencing);
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
    if (!anySounding(*stream.sounding)) {
        return;
    }
    OwedSilence& owed = *stream.owed;
    std::lock_guard<std::mutex> hold(owed.lock);
    addSounding(owed.notes[stream.deviceIndex], *stream.sounding);
    *stream.sounding = {};
    stream.runningStatusOverwritten = 1;
    owed.outputs.fetch_or(1u << stream.deviceIndex);
}

// Sends what resets handed over, each as its own output's data, through `sender`, which holds
// the process's sendLock. What cannot be sent stays owed.
void sendOwedSilenceHoldingWire(OutputStream& sender) {
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

// Called by a sender that has just let the wire go: a reset may have handed its silencing over
// too late for the sender to see it and too early to take the wire itself. It is sent now
// unless someone else has the wire, who then sends it.
void sendOwedSilenceIfWireFree(OutputStream& sender) {
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (sender.owed->outputs.load() == 0) {
        return;
    }
    std::unique_lock<std::mutex> wire(sender.line->sendLock, std::try_to_lock);
    if (wire.owns_lock()) {
        sendOwedSilenceHoldingWire(sender);
    }
}

// Sends the data and, before and after it, the silencing resets handed over.
uint32_t sendToLine(OutputStream& stream, const uint8_t* bytes, uint32_t count, bool canBeCut,
                    uint32_t cutsBefore) {
    uint32_t status;
    {
        std::lock_guard<std::mutex> hold(stream.line->sendLock);
        // A reset of this very output may have handed its Note Offs over: they go out before
        // the data that follows the reset.
        sendOwedSilenceHoldingWire(stream);
        status = selectAndWrite(stream, stream.deviceIndex, bytes, count, canBeCut, cutsBefore);
        // Told while the wire is held, so that a monitor sees the messages in the wire's order.
        tellSend(stream, stream.deviceIndex, bytes, count, status);
        sendOwedSilenceHoldingWire(stream);
    }
    sendOwedSilenceIfWireFree(stream);
    // A message cut by the client's own reset has ended as the client asked: it is done. What of
    // it reached the wire is not known, so it is taken in whole: the reset that cut it turns off
    // whatever it may have left on.
    if (canBeCut && stream.cutsRequested.load() != cutsBefore) {
        return MMSYSERR_NOERROR;
    }
    return status;
}

// Silences what the stream left sounding, or hands it over to the sender that keeps the wire.
uint32_t silenceOnLine(OutputStream& stream) {
    std::unique_lock<std::mutex> wire(stream.line->sendLock, std::defer_lock);
    if (!takeWireSoon(wire)) {
        handOverSilence(stream);
        // The sender may have let the wire go before it could see what was handed over.
        if (wire.try_lock()) {
            sendOwedSilenceHoldingWire(stream);
        }
        return MMSYSERR_NOERROR;
    }
    bool anything = anySounding(*stream.sounding);
    uint32_t status = sendSilencing(*stream.sounding, stream, stream.deviceIndex);
    // Once a message of the reset may be on the wire, the running status is no longer the
    // client's.
    if (anything) {
        stream.runningStatusOverwritten = 1;
    }
    sendOwedSilenceHoldingWire(stream);
    return status;
}

void cutOnLine(OutputStream& stream) {
    cutWrite(*stream.line, lineEndOf(stream).writer);
}

} // namespace

const OutputDevice lineOutput = {sendToLine, silenceOnLine, cutOnLine};
