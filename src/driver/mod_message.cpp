#include "driver/devices.h"
#include "driver/entry.h"
#include "driver/open_close.h"
#include "driver/trace.h"
#include "output/output_stream.h"
#include "output/sending.h"

namespace {

// An open stream of an output device is an output stream.
OutputStream& outputOf(Stream& stream) {
    return static_cast<OutputStream&>(stream);
}

uint32_t useStream(Stream& common, uint32_t message, uintptr_t param1, uintptr_t param2) {
    OutputStream& stream = outputOf(common);
    switch (message) {
    case MODM_DATA:
        return sendShortMessage(stream, param1);
    case MODM_LONGDATA:
        return sendLongMessage(stream, param1, param2);
    case MODM_RESET:
        return resetOutput(stream);
    default:
        return MMSYSERR_NOTSUPPORTED;
    }
}

uint32_t answerModMessage(ProcessContext& process, uint32_t deviceIndex, uint32_t message,
                          uintptr_t instance, uintptr_t param1, uintptr_t param2) {
    switch (message) {
    case MODM_GETNUMDEVS:
        return deviceCount(*process.line.shared, kindOutput);
    case MODM_GETDEVCAPS:
        return getDevCaps(*process.line.shared, kindOutput, deviceIndex,
                          reinterpret_cast<void*>(param1), param2);
    case MODM_OPEN:
        return openFromHost(process, kindOutput, deviceIndex, instance, param1, param2);
    case MODM_PREPARE:
    case MODM_UNPREPARE:
        return MMSYSERR_NOTSUPPORTED; // the host prepares headers itself
    case MODM_CLOSE:
        return closeFromHost(process, kindOutput, deviceIndex, instance);
    case MODM_DATA:
    case MODM_LONGDATA:
    case MODM_RESET:
        return callStream(process, kindOutput, deviceIndex, instance, useStream, message, param1,
                          param2);
    default:
        return MMSYSERR_NOTSUPPORTED;
    }
}

} // namespace

uint32_t modMessage(ProcessContext& process, uint32_t deviceIndex, uint32_t message,
                    uintptr_t instance, uintptr_t param1, uintptr_t param2) {
    return tracedAnswer(process, u"modMessage", deviceIndex, message,
                        answerModMessage(process, deviceIndex, message, instance, param1, param2));
}
