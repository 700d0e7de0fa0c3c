// What every room calls the driver's devices and the MIDI it carries by: the devices' kinds and
// slots, the length of a short message, and the kinds of message the settings' filters know.
#pragma once

#include <cstdint>

// Which way a device goes. Its number places the device's slots: slot number = kind + device
// index (1 = input, 2..5 = outputs).
enum class DeviceKind : uint32_t {};
constexpr DeviceKind kindInput{1};
constexpr DeviceKind kindOutput{2};

// One open flag per device slot.
constexpr uint32_t deviceSlotCount = 5;
constexpr uint32_t outputSlotCount = deviceSlotCount - 1;
constexpr uint32_t deviceSlot(DeviceKind kind, uint32_t index) {
    return static_cast<uint32_t>(kind) + index;
}

// The bytes of a short message with this status byte: 1, 2 or 3.
constexpr uint32_t shortMessageBytes(uint8_t status) {
    if (status >= 0xF0) {
        return status == 0xF1 || status == 0xF3 ? 2 : status == 0xF2 ? 3 : 1;
    }
    return (status & 0xE0) == 0xC0 ? 2 : 3; // Program Change and Channel Pressure have one byte
}

// What is sounding on a destination: the keys down per channel and the sustain pedals down.
constexpr uint32_t channelCount = 16;
constexpr uint32_t keyCount = 128;
struct SoundingNotes {
    uint8_t keys[channelCount][keyCount / 8]; // bit k % 8 of byte k / 8: key k is on
    uint16_t sustained;                       // bit n: channel n's sustain pedal is down
};
static_assert(sizeof(SoundingNotes) == 258);

// The message kinds that MessageMask filters, numbered by their bit in a group of the mask.
enum class MessageKind : uint32_t {};
constexpr MessageKind noMessageKind{0}; // what no filter group stands for
constexpr MessageKind kindProgramChange{1};
constexpr MessageKind kindControlChange{2};
constexpr MessageKind kindBankSelect{3};
constexpr MessageKind kindChannelPressure{4};
constexpr MessageKind kindPolyKeyPressure{5};
constexpr MessageKind kindExclusive{6};
constexpr MessageKind firstMessageKind = kindProgramChange;
constexpr MessageKind lastMessageKind = kindExclusive;
constexpr MessageKind nextMessageKind(MessageKind kind) {
    return MessageKind{static_cast<uint32_t>(kind) + 1};
}
