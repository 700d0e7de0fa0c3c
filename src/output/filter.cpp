#include "output/filter.h"

#include "line/outputs.h"

namespace {

bool passes(const OutputStream& stream, MessageKind kind) {
    return kindEnabled(*stream.line->shared, kind, stream.deviceIndex);
}

// Controllers 0 and 32 select the bank; they pass only when Bank Select does.
bool isBankSelect(uint8_t controller) {
    return (controller & ~0x20) == 0;
}

// The kind that drops the channel message in `bytes`, which did not pass.
MessageKind filteredKind(const OutputStream& stream, const uint8_t* bytes) {
    switch (bytes[0] & 0xF0) {
    case 0xA0:
        return kindPolyKeyPressure;
    case 0xB0:
        return passes(stream, kindControlChange) ? kindBankSelect : kindControlChange;
    case 0xC0:
        return kindProgramChange;
    default:
        return kindChannelPressure;
    }
}

uint32_t channelMessageLength(const OutputStream& stream, const uint8_t* bytes) {
    switch (bytes[0] & 0xF0) {
    case 0xA0:
        return passes(stream, kindPolyKeyPressure) ? 3 : 0;
    case 0xB0:
        return passes(stream, kindControlChange) &&
                       (passes(stream, kindBankSelect) || !isBankSelect(bytes[1]))
                   ? 3
                   : 0;
    case 0xC0:
        return passes(stream, kindProgramChange) ? 2 : 0;
    case 0xD0:
        return passes(stream, kindChannelPressure) ? 2 : 0;
    default: // Note Off, Note On and Pitch Bend are never filtered
        return 3;
    }
}

} // namespace

bool kindEnabled(const SharedState& shared, MessageKind kind, uint32_t index) {
    return (messageMask(shared) >> messageBit(kind, outputTable[index].kindsAt) & 1u) != 0;
}

uint32_t passingLength(const OutputStream& stream, const uint8_t* bytes) {
    uint8_t status = bytes[0];
    if (status >= 0xF8) {
        return 1;
    }
    if (status < 0x80) {
        // Running status: the data shares the decision taken for its status byte.
        return stream.rememberedLength == 0 ? 0 : stream.rememberedLength - 1;
    }
    return status >= 0xF0 ? shortMessageBytes(status) : channelMessageLength(stream, bytes);
}

void rememberStatus(OutputStream& stream, const uint8_t* bytes, uint32_t length) {
    uint8_t status = bytes[0];
    // Data bytes go under the status in force, and real-time bytes leave it alone.
    if (status < 0x80 || status >= 0xF8) {
        return;
    }
    stream.rememberedStatus = status;
    stream.rememberedLength = length;
    stream.rememberedDrop = length == 0 ? filteredKind(stream, bytes) : noMessageKind;
}

MessageKind droppedKind(const OutputStream& stream, const uint8_t* bytes) {
    return bytes[0] < 0x80 ? stream.rememberedDrop : filteredKind(stream, bytes);
}
