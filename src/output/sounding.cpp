#include "output/sounding.h"

#include "driver/stream.h"
#include "output/encoder.h"
#include "platform/host.h"

#include <chrono>
#include <thread>

namespace {

constexpr uint8_t noteOff = 0x80;
constexpr uint8_t noteOn = 0x90;
constexpr uint8_t controlChange = 0xB0;
constexpr uint8_t sustainPedal = 64;
constexpr uint8_t pedalDownFrom = 64;
// What a keyboard without release velocity sends.
constexpr uint8_t releaseVelocity = 0x40;

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

// Data bytes of a channel message by its status: Program Change and Channel Pressure have one.
uint32_t dataBytesOf(uint8_t status) {
    uint8_t kind = status & 0xF0;
    return kind == 0xC0 || kind == 0xD0 ? 1 : 2;
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

// One message of a reset, as `output`'s data; the caller holds the process's sendLock.
uint32_t sendReleasing(Stream& sender, uint32_t output, uint8_t status, uint8_t data1,
                       uint8_t data2) {
    uint8_t message[3] = {status, data1, data2};
    return sendOnWire(sender, output, message, sizeof message);
}

// Turns off, as `output`'s data, every note and pedal `sounding` holds, forgetting each once it
// has gone out; the status of the first write that failed. The caller holds sendLock.
uint32_t sendSilencing(SoundingNotes& sounding, Stream& sender, uint32_t output) {
    for (uint32_t channel = 0; channel < channelCount; ++channel) {
        for (uint32_t key = 0; key < keyCount; ++key) {
            if (!keyIsOn(sounding, channel, key)) {
                continue;
            }
            uint32_t status = sendReleasing(sender, output, static_cast<uint8_t>(noteOff | channel),
                                            static_cast<uint8_t>(key), releaseVelocity);
            if (status != MMSYSERR_NOERROR) {
                return status;
            }
            setKey(sounding, channel, key, false);
        }
        if ((sounding.sustained >> channel & 1u) != 0) {
            uint32_t status = sendReleasing(
                sender, output, static_cast<uint8_t>(controlChange | channel), sustainPedal, 0);
            if (status != MMSYSERR_NOERROR) {
                return status;
            }
            setPedal(sounding, channel, false);
        }
    }
    return MMSYSERR_NOERROR;
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
void handOverSilence(Stream& stream) {
    if (!anySounding(stream.sounding)) {
        return;
    }
    ProcessContext& process = *stream.process;
    std::lock_guard<std::mutex> hold(process.owedLock);
    addSounding(process.owedSilence[stream.deviceIndex], stream.sounding);
    stream.sounding = {};
    stream.runningStatusOverwritten = 1;
    process.owedOutputs.fetch_or(1u << stream.deviceIndex);
}

} // namespace

void noteChannelMessage(SoundingNotes& sounding, const uint8_t* message) {
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

void noteLongMessage(SoundingNotes& sounding, const uint8_t* bytes, uint32_t count) {
    uint8_t message[3] = {};
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
            noteChannelMessage(sounding, message);
            have = 0;
        }
    }
}

uint32_t silenceOutput(Stream& stream) {
    ProcessContext& process = *stream.process;
    std::unique_lock<std::mutex> wire(process.line.sendLock, std::defer_lock);
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

void sendOwedSilence(Stream& sender) {
    ProcessContext& process = *sender.process;
    for (uint32_t output = 0; output < outputCount; ++output) {
        uint32_t bit = 1u << output;
        if ((process.owedOutputs.load() & bit) == 0) {
            continue;
        }
        SoundingNotes owed;
        {
            std::lock_guard<std::mutex> hold(process.owedLock);
            owed = process.owedSilence[output];
            process.owedSilence[output] = {};
            process.owedOutputs.fetch_and(~bit);
        }
        if (sendSilencing(owed, sender, output) != MMSYSERR_NOERROR) {
            // What did not go out stays owed, for the next sender.
            std::lock_guard<std::mutex> hold(process.owedLock);
            addSounding(process.owedSilence[output], owed);
            process.owedOutputs.fetch_or(bit);
        }
    }
}

void sendSilenceOwedMeanwhile(Stream& sender) {
    ProcessContext& process = *sender.process;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (process.owedOutputs.load() == 0) {
        return;
    }
    std::unique_lock<std::mutex> wire(process.line.sendLock, std::try_to_lock);
    if (wire.owns_lock()) {
        sendOwedSilence(sender);
    }
}
