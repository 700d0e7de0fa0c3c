#include "driver/devices.h"

#include "driver/host.h"

#include <cstring>

namespace {

constexpr const char16_t* deviceNames[] = {
    u"MELV PC I/F MIDI Port", u"MELV PC I/F Default MIDI", u"MELV PC I/F MIDI Out",
    u"MELV PC I/F Synth-A",   u"MELV PC I/F Synth-B",
};

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

uint32_t deviceCount(const SharedState& shared, uint32_t kind) {
    return kind == kindOutput && independentMode(shared) ? 4 : 1;
}

const char16_t* deviceName(const SharedState& shared, uint32_t kind, uint32_t index) {
    // With independent mode on, the four outputs take the names after the input's.
    bool shifted = kind == kindOutput && independentMode(shared);
    return deviceNames[shifted ? index + 1 : index];
}

uint32_t getDevCaps(const SharedState& shared, uint32_t index, uint32_t kind, void* record,
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
