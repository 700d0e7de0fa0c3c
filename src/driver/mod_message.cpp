#include "driver/devices.h"
#include "driver/entry.h"
#include "driver/stream.h"
#include "output/encoder.h"
#include "port/port.h"

namespace {

Stream* streamOf(uintptr_t instance) {
    return reinterpret_cast<Stream*>(instance);
}

uint32_t closeOutput(Stream& stream) {
    // A long message being written on another thread still uses the stream's record and event.
    if (stream.longMessagesUnderWay != 0) {
        return MIDIERR_STILLPLAYING;
    }
    notifyClient(stream, MOM_CLOSE, 0, 0);
    closeStream(stream);
    return MMSYSERR_NOERROR;
}

uint32_t sendShortMessage(Stream& stream, uintptr_t packed) {
    // The packed message lives in a local buffer, status byte first: nothing is allocated.
    uint8_t bytes[4];
    for (uint32_t i = 0; i < 4; ++i) {
        bytes[i] = static_cast<uint8_t>(packed >> (8 * i));
    }
    uint32_t length = messageLength(stream, bytes);
    return sendOutput(bytes, length, stream);
}

bool headerIsUsable(const MidiHeader* header, uintptr_t headerSize) {
    return header != nullptr && headerSize >= minimumHeaderSize &&
           (header->lpData != nullptr || header->dwBufferLength == 0);
}

uint32_t sendLongMessage(Stream& stream, uintptr_t param1, uintptr_t param2) {
    auto* header = reinterpret_cast<MidiHeader*>(param1);
    if (!headerIsUsable(header, param2)) {
        return MMSYSERR_INVALPARAM;
    }
    if ((header->dwFlags & MHDR_PREPARED) == 0) {
        return MIDIERR_UNPREPARED;
    }
    uint32_t status = MMSYSERR_NOERROR;
    if (kindEnabled(*stream.process->shared, kindExclusive, stream.deviceIndex) != 0) {
        ++stream.longMessagesUnderWay;
        stream.cutRequested = false;
        status = sendOutput(header->lpData, header->dwBufferLength, stream);
        // A message cut by the client's own reset has ended as the client asked: it is done.
        if (stream.cutRequested.exchange(false)) {
            status = MMSYSERR_NOERROR;
        }
        --stream.longMessagesUnderWay;
    }
    // The header is complete before the client hears of it, and before modMessage returns.
    header->dwFlags |= MHDR_DONE;
    if (status == MMSYSERR_NOERROR) {
        notifyClient(stream, MOM_DONE, param1, 0);
    }
    return status;
}

uint32_t streamMessage(Stream& stream, uint32_t message, uintptr_t param1, uintptr_t param2) {
    switch (message) {
    case MODM_CLOSE:
        return closeOutput(stream);
    case MODM_DATA:
        return sendShortMessage(stream, param1);
    case MODM_LONGDATA:
        return sendLongMessage(stream, param1, param2);
    case MODM_RESET:
        // Nothing is held back; only a long message being written on another thread is stopped.
        if (stream.longMessagesUnderWay != 0) {
            cutWrite(stream);
        }
        return MMSYSERR_NOERROR;
    default:
        return MMSYSERR_NOTSUPPORTED;
    }
}

} // namespace

uint32_t modMessage(ProcessContext& process, uint32_t deviceIndex, uint32_t message,
                    uintptr_t instance, uintptr_t param1, uintptr_t param2) {
    switch (message) {
    case MODM_GETNUMDEVS:
        return deviceCount(*process.shared, kindOutput);
    case MODM_GETDEVCAPS:
        return getDevCaps(*process.shared, deviceIndex, kindOutput, reinterpret_cast<void*>(param1),
                          param2);
    case MODM_OPEN:
        return openFromHost(process, kindOutput, deviceIndex, instance, param1, param2, nullptr);
    case MODM_PREPARE:
    case MODM_UNPREPARE:
        return MMSYSERR_NOTSUPPORTED; // the host prepares headers itself
    case MODM_CLOSE:
    case MODM_DATA:
    case MODM_LONGDATA:
    case MODM_RESET:
        if (instance == 0) {
            return MMSYSERR_INVALPARAM;
        }
        return streamMessage(*streamOf(instance), message, param1, param2);
    default:
        return MMSYSERR_NOTSUPPORTED;
    }
}
