#include "output/encoder.h"

#include "port/port.h"

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

// Announces `output` on the wire unless it is the last one announced; the status of the select's
// write.
uint32_t selectDestination(OutputStream& stream, uint32_t output) {
    SharedState& shared = *stream.line->shared;
    if (lastDestination(shared) == output) {
        return MMSYSERR_NOERROR;
    }
    WireWrite pair = selectPair(output);
    uint32_t status = writePort(*stream.line, stream.slot, stream.writer, pair.bytes, pair.count);
    // Only a pair the instrument was given counts as announced. After a failed one nobody knows
    // which destination the instrument has, so the next data of any output announces its own.
    setLastDestination(shared,
                       status == MMSYSERR_NOERROR ? static_cast<uint16_t>(output) : noDestination);
    return status;
}

// Writes the data framed for `output`, write by write; writePort refuses every write after a reset
// cut the message.
uint32_t writeFramed(OutputStream& stream, uint32_t output, const uint8_t* bytes, uint32_t count) {
    if (!holdsOpenPort(*stream.line, stream.slot)) {
        return MMSYSERR_INVALPARAM;
    }
    uint32_t status = MMSYSERR_NOERROR;
    WireWrite write;
    for (uint32_t offset = 0; offset < count && status == MMSYSERR_NOERROR;) {
        offset += frameNextWrite(output, bytes + offset, count - offset, write);
        status = writePort(*stream.line, stream.slot, stream.writer, write.bytes, write.count);
    }
    return status;
}

} // namespace

bool kindEnabled(const SharedState& shared, MessageKind kind, uint32_t index) {
    return (messageMask(shared) >> messageBit(kind, outputTable[index].kindsAt) & 1u) != 0;
}

uint32_t messageLength(const OutputStream& stream, const uint8_t* bytes) {
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
    stream.rememberedDrop = length == 0 ? filteredKind(stream, bytes) : MessageKind{0};
}

MessageKind droppedKind(const OutputStream& stream, const uint8_t* bytes) {
    return bytes[0] < 0x80 ? stream.rememberedDrop : filteredKind(stream, bytes);
}

uint32_t sendOnWire(OutputStream& stream, uint32_t output, const uint8_t* bytes, uint32_t count,
                    bool canBeCut, uint32_t cutsBefore) {
    // A lost line is picked up, when it is due, before the select is decided: the instrument
    // hears the destination again on a line opened anew. Until then sends fail at once.
    if (!holdsOpenPort(*stream.line, stream.slot) || !lineIsUp(*stream.line)) {
        return MMSYSERR_INVALPARAM;
    }
    // Only the client's long message is cut by a reset, never the reset's own Note Offs nor a
    // short message of the same stream.
    setCuttable(*stream.line, stream.writer, canBeCut, cutsBefore);
    // Data behind a select that failed would reach whatever destination the instrument still has.
    uint32_t status = selectDestination(stream, output);
    if (status == MMSYSERR_NOERROR) {
        status = writeFramed(stream, output, bytes, count);
    }
    setCuttable(*stream.line, stream.writer, false, 0);
    return status;
}
