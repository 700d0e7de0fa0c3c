#include "line/sounding.h"

#include "platform/host.h"

namespace {

constexpr uint8_t pedalDownFrom = 64;
// What a keyboard without release velocity sends.
constexpr uint8_t releaseVelocity = 0x40;

// Data bytes of a channel message by its status: Program Change and Channel Pressure have one.
uint32_t dataBytesOf(uint8_t status) {
    uint8_t kind = status & 0xF0;
    return kind == 0xC0 || kind == 0xD0 ? 1 : 2;
}

} // namespace

bool keyIsOn(const SoundingNotes& sounding, uint32_t channel, uint32_t key) {
    return (sounding.keys[channel][key / 8] >> (key % 8) & 1u) != 0;
}

void setKey(SoundingNotes& sounding, uint32_t channel, uint32_t key, bool on) {
    uint8_t& bits = sounding.keys[channel][key / 8];
    uint8_t bit = static_cast<uint8_t>(1u << (key % 8));
    bits = static_cast<uint8_t>(on ? bits | bit : bits & ~bit);
}

void setPedal(SoundingNotes& sounding, uint32_t channel, bool down) {
    uint16_t bit = static_cast<uint16_t>(1u << channel);
    sounding.sustained =
        static_cast<uint16_t>(down ? sounding.sustained | bit : sounding.sustained & ~bit);
}

bool anySounding(const SoundingNotes& sounding) {
    for (const auto& channelKeys : sounding.keys) {
        for (uint8_t bits : channelKeys) {
            if (bits != 0) {
                return true;
            }
        }
    }
    return sounding.sustained != 0;
}

void addSounding(SoundingNotes& into, const SoundingNotes& from) {
    for (uint32_t channel = 0; channel < channelCount; ++channel) {
        for (uint32_t byte = 0; byte < keyCount / 8; ++byte) {
            into.keys[channel][byte] |= from.keys[channel][byte];
        }
    }
    into.sustained |= from.sustained;
}

uint32_t releaseSounding(SoundingNotes& sounding, SendRelease send, void* context) {
    for (uint32_t channel = 0; channel < channelCount; ++channel) {
        for (uint32_t key = 0; key < keyCount; ++key) {
            if (!keyIsOn(sounding, channel, key)) {
                continue;
            }
            uint8_t noteOffMessage[3] = {static_cast<uint8_t>(noteOff | channel),
                                         static_cast<uint8_t>(key), releaseVelocity};
            uint32_t status = send(context, noteOffMessage);
            if (status != MMSYSERR_NOERROR) {
                return status;
            }
            setKey(sounding, channel, key, false);
        }
        if ((sounding.sustained >> channel & 1u) != 0) {
            uint8_t pedalUp[3] = {static_cast<uint8_t>(controlChange | channel), sustainPedal, 0};
            uint32_t status = send(context, pedalUp);
            if (status != MMSYSERR_NOERROR) {
                return status;
            }
            setPedal(sounding, channel, false);
        }
    }
    return MMSYSERR_NOERROR;
}

void trackChannelMessage(SoundingNotes& sounding, const uint8_t* message) {
    // A client may pack any value into a short message; a "key" of 0x80 or more names no key
    // and must not be taken for one.
    if (message[1] >= 0x80 || message[2] >= 0x80) {
        return;
    }
    uint8_t status = message[0];
    uint32_t channel = status & 0x0F;
    switch (status & 0xF0) {
    case noteOff:
        setKey(sounding, channel, message[1], false);
        break;
    case noteOn:
        setKey(sounding, channel, message[1], message[2] != 0);
        break;
    case controlChange:
        if (message[1] == sustainPedal) {
            setPedal(sounding, channel, message[2] >= pedalDownFrom);
        }
        break;
    default:
        break;
    }
}

void trackLongMessage(SoundingNotes& sounding, const uint8_t* bytes, uint32_t count,
                      uint8_t runningStatus) {
    uint8_t message[3] = {runningStatus >= 0x80 && runningStatus < 0xF0 ? runningStatus
                                                                        : uint8_t{0}};
    uint32_t have = 0; // data bytes of the message under way
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t byte = bytes[i];
        if (byte >= 0xF8) {
            continue; // real time, anywhere, changes nothing
        }
        if (byte >= 0x80) {
            // A channel status starts a message; exclusive and system common end running status.
            message[0] = byte < 0xF0 ? byte : 0;
            have = 0;
            continue;
        }
        if (message[0] == 0) {
            continue; // exclusive data, or data with no status in this buffer
        }
        message[1 + have++] = byte;
        if (have == dataBytesOf(message[0])) {
            trackChannelMessage(sounding, message);
            have = 0;
        }
    }
}

void keepOwedIn(OwedSilence& owed, SoundingNotes (&record)[outputCount]) {
    std::lock_guard<std::mutex> hold(owed.lock);
    if (owed.notes == record) {
        return;
    }
    for (uint32_t output = 0; output < outputCount; ++output) {
        addSounding(record[output], owed.notes[output]);
        owed.notes[output] = {};
    }
    owed.notes = record;
}
