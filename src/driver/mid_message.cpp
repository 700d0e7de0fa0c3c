#include "driver/devices.h"
#include "driver/entry.h"
#include "driver/open_close.h"
#include "driver/trace.h"
#include "input/worker.h"
#include "platform/host.h"

namespace {

// An open stream of the input device is an input stream.
InputStream& inputOf(Stream& stream) {
    return static_cast<InputStream&>(stream);
}

uint32_t addBuffer(InputStream& stream, uintptr_t param1, uintptr_t param2) {
    auto* header = reinterpret_cast<MidiHeader*>(param1);
    if (!headerIsUsable(header, param2)) {
        return MMSYSERR_INVALPARAM;
    }
    if ((header->dwFlags & MHDR_PREPARED) == 0) {
        return MIDIERR_UNPREPARED;
    }
    if ((header->dwFlags & MHDR_INQUEUE) != 0) {
        return MIDIERR_STILLPLAYING;
    }
    header->reserved = reinterpret_cast<uintptr_t>(static_cast<Stream*>(&stream));
    header->dwFlags = (header->dwFlags | MHDR_INQUEUE) & ~MHDR_DONE;
    return sendCommand(stream, commandAddBuffer, param1);
}

uint32_t useStream(Stream& common, uint32_t message, uintptr_t param1, uintptr_t param2) {
    InputStream& stream = inputOf(common);
    switch (message) {
    case MIDM_ADDBUFFER:
        return addBuffer(stream, param1, param2);
    case MIDM_START:
        return sendCommand(stream, commandControl, controlStart);
    case MIDM_STOP:
        return sendCommand(stream, commandControl, controlStop);
    case MIDM_RESET:
        return sendCommand(stream, commandControl, controlReset);
    default:
        return MMSYSERR_NOTSUPPORTED;
    }
}

uint32_t answerMidMessage(ProcessContext& process, uint32_t deviceIndex, uint32_t message,
                          uintptr_t instance, uintptr_t param1, uintptr_t param2) {
    switch (message) {
    case MIDM_GETNUMDEVS:
        return deviceCount(*process.line.shared, kindInput);
    case MIDM_GETDEVCAPS:
        return getDevCaps(*process.line.shared, kindInput, deviceIndex,
                          reinterpret_cast<void*>(param1), param2);
    case MIDM_OPEN:
        return openFromHost(process, kindInput, deviceIndex, instance, param1, param2);
    case MIDM_PREPARE:
    case MIDM_UNPREPARE:
        return MMSYSERR_NOTSUPPORTED; // the host prepares headers itself
    case MIDM_CLOSE:
        return closeFromHost(process, kindInput, deviceIndex, instance);
    case MIDM_ADDBUFFER:
    case MIDM_START:
    case MIDM_STOP:
    case MIDM_RESET:
        return callStream(process, kindInput, deviceIndex, instance, useStream, message, param1,
                          param2);
    default:
        return MMSYSERR_NOTSUPPORTED;
    }
}

} // namespace

uint32_t midMessage(ProcessContext& process, uint32_t deviceIndex, uint32_t message,
                    uintptr_t instance, uintptr_t param1, uintptr_t param2) {
    return tracedAnswer(process, u"midMessage", deviceIndex, message,
                        answerMidMessage(process, deviceIndex, message, instance, param1, param2));
}
