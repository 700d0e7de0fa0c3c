#include "output/sending.h"

#include "output/filter.h"
#include "output/telling.h"
#include "platform/host.h"
#include "stream/device.h"

#include <chrono>
#include <thread>

namespace {

// Sends a Note Off for every note the stream left sounding and releases every pedal it left down,
// through the stream's normal output path, forgetting each once it has gone out. Nothing sounding,
// nothing written. A write that fails ends the reset with its status; what was not sent stays
// remembered for the next reset. When another output's message keeps the wire for longer than
// wireWaitMs, the silencing is handed over to the process (OutputStream::owed), and the reset
// returns at once.
uint32_t silenceOutput(OutputStream& stream) {
    return stream.device->silence(stream);
}

// Running-status data goes out as it came, unless a reset has put messages of its own on the wire
// since the client's last status byte: then the instrument would take the data for more of the
// reset's, so it goes out once with its status byte in front. So it does on a connection to the
// sharing service made again since, which knows no status of the stream's.
uint32_t sendRunningStatusData(OutputStream& stream, const uint8_t* whole, uint32_t length) {
    if (stream.viaService && linkOf(stream).runningStatusLost.exchange(false)) {
        stream.runningStatusOverwritten = 1;
    }
    if (stream.runningStatusOverwritten == 0) {
        return sendOutput(stream, whole + 1, length);
    }
    uint32_t status = sendOutput(stream, whole, length + 1);
    if (status == MMSYSERR_NOERROR) {
        stream.runningStatusOverwritten = 0;
    }
    return status;
}

} // namespace

uint32_t sendShortMessage(OutputStream& stream, uintptr_t packed) {
    // The packed message lives in a local buffer, status byte first: nothing is allocated.
    uint8_t bytes[4];
    for (uint32_t i = 0; i < 4; ++i) {
        bytes[i] = static_cast<uint8_t>(packed >> (8 * i));
    }
    std::lock_guard<std::mutex> tracking(stream.trackingLock);
    uint32_t length = passingLength(stream, bytes);
    rememberStatus(stream, bytes, length);
    // Under running status the message starts with a data byte; `whole` has its status in front.
    bool runningStatus = bytes[0] < 0x80;
    uint8_t whole[4] = {stream.rememberedStatus, bytes[0], bytes[1], 0};
    const uint8_t* message = runningStatus ? whole : bytes;
    if (length == 0) {
        // A dropped channel message is shown whole; data with no status in force, as it came.
        MessageKind kind = droppedKind(stream, bytes);
        if (kind == noMessageKind) {
            tellDrop(stream, bytes, 1, kind);
        } else {
            tellDrop(stream, message, shortMessageBytes(message[0]), kind);
        }
        return MMSYSERR_NOERROR;
    }
    uint32_t status = runningStatus ? sendRunningStatusData(stream, whole, length)
                                    : sendOutput(stream, bytes, length);
    if (status != MMSYSERR_NOERROR) {
        return status;
    }
    if (!runningStatus && bytes[0] < 0xF8) {
        stream.runningStatusOverwritten = 0; // the client's own status byte is on the wire again
    }
    trackChannelMessage(*stream.sounding, runningStatus ? whole : bytes);
    return MMSYSERR_NOERROR;
}

uint32_t sendLongMessage(OutputStream& stream, uintptr_t headerAddress, uintptr_t headerSize) {
    auto* header = reinterpret_cast<MidiHeader*>(headerAddress);
    if (!headerIsUsable(header, headerSize)) {
        return MMSYSERR_INVALPARAM;
    }
    if ((header->dwFlags & MHDR_PREPARED) == 0) {
        return MIDIERR_UNPREPARED;
    }
    uint32_t status = MMSYSERR_NOERROR;
    if (!kindEnabled(*stream.line->shared, kindExclusive, stream.deviceIndex)) {
        tellDrop(stream, header->lpData, header->dwBufferLength, kindExclusive);
    } else {
        // The count is noted before the message is counted under way: a reset that sees it under
        // way moves the count on afterwards, so its cut is never missed.
        uint32_t cutsBefore = stream.cutsRequested.load();
        ++stream.longMessagesUnderWay;
        status = sendOutput(stream, header->lpData, header->dwBufferLength, cuttable, cutsBefore);
        // Clients send channel messages in long buffers too; those may leave notes on as well.
        // The message is not sent under the tracking lock, so that a reset can cut it.
        if (status == MMSYSERR_NOERROR && header->dwBufferLength != 0) {
            std::lock_guard<std::mutex> tracking(stream.trackingLock);
            trackLongMessage(*stream.sounding, header->lpData, header->dwBufferLength);
            stream.runningStatusOverwritten = 0; // the client's own bytes follow the reset's
        }
        // The reset waiting for this message to end silences what it left on.
        --stream.longMessagesUnderWay;
    }
    // The header is complete before the client hears of it, and before modMessage returns.
    header->dwFlags |= MHDR_DONE;
    if (status == MMSYSERR_NOERROR) {
        notifyClient(stream, MOM_DONE, headerAddress, 0);
    }
    return status;
}

uint32_t resetOutput(OutputStream& stream) {
    if (stream.longMessagesUnderWay != 0) {
        ++stream.cutsRequested;
        stream.device->cut(stream);
        // Its write is cancelled, so it ends at once, or as soon as it has the wire, when it
        // stops before writing anything. The silencing below needs the wire all the same. The
        // count is looked at every millisecond: the runtime's own wait for an atomic value can
        // miss the wake-up on Windows and would then wait for ever.
        while (stream.longMessagesUnderWay.load() != 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    std::lock_guard<std::mutex> tracking(stream.trackingLock);
    return silenceOutput(stream);
}

uint32_t sendOutput(OutputStream& stream, const uint8_t* bytes, uint32_t count, bool canBeCut,
                    uint32_t cutsBefore) {
    if (count == 0) {
        return MMSYSERR_NOERROR;
    }
    return stream.device->send(stream, bytes, count, canBeCut, cutsBefore);
}
