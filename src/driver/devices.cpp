#include "driver/devices.h"

#include "platform/host.h"

#include <cstring>

namespace {

void copyName(char16_t (&to)[deviceNameLength], const char16_t* from) {
    size_t at = 0;
    for (; at + 1 < deviceNameLength && from[at] != 0; ++at) {
        to[at] = from[at];
    }
    to[at] = 0;
}

template <typename Caps> void fillCommon(Caps& caps, const char16_t* name, uint16_t productId) {
    caps.wMid = manufacturerId;
    caps.wPid = productId;
    caps.vDriverVersion = driverVersion;
    copyName(caps.szPname, name);
}

void copyCut(void* record, size_t size, const void* whole, size_t wholeSize) {
    if (size == 0) {
        return;
    }
    std::memcpy(record, whole, size < wholeSize ? size : wholeSize);
}

} // namespace

const char16_t* deviceName(const SharedState& shared, DeviceKind kind, uint32_t index) {
    return kind == kindOutput && independentMode(shared) ? outputTable[index].name : portDeviceName;
}

uint32_t getDevCaps(const SharedState& shared, DeviceKind kind, uint32_t index, void* record,
                    size_t size) {
    if (index >= deviceCount(shared, kind)) {
        return MMSYSERR_BADDEVICEID;
    }
    if (record == nullptr && size != 0) {
        return MMSYSERR_INVALPARAM;
    }
    const char16_t* name = deviceName(shared, kind, index);
    if (kind == kindOutput) {
        MidiOutCaps caps = {};
        fillCommon(caps, name, outputProductId);
        caps.wTechnology = MOD_MIDIPORT;
        caps.wChannelMask = 0xFFFF;
        copyCut(record, size, &caps, sizeof caps);
    } else {
        MidiInCaps caps = {};
        fillCommon(caps, name, inputProductId);
        copyCut(record, size, &caps, sizeof caps);
    }
    return MMSYSERR_NOERROR;
}
