#include "driver/devices.h"
#include "driver/entry.h"
#include "driver/host.h"

uint32_t midMessage(ProcessContext& process, uint32_t deviceIndex, uint32_t message, uintptr_t,
                    uintptr_t param1, uintptr_t param2) {
    switch (message) {
    case MIDM_GETNUMDEVS:
        return deviceCount(*process.shared, kindInput);
    case MIDM_GETDEVCAPS:
        return getDevCaps(*process.shared, deviceIndex, kindInput, reinterpret_cast<void*>(param1),
                          param2);
    default:
        return MMSYSERR_NOTSUPPORTED; // input streams are not served yet
    }
}
