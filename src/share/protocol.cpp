#include "share/protocol.h"

#include "line/outputs.h"

namespace {

void writeU16(uint8_t* bytes, uint16_t value) {
    bytes[0] = static_cast<uint8_t>(value);
    bytes[1] = static_cast<uint8_t>(value >> 8);
}

uint16_t readU16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

// The header, when the frame is whole: its length is exactly what follows it.
bool readHeader(const uint8_t* bytes, uint32_t count, ShareFrame& frame) {
    if (count < shareHeaderBytes || count > shareFrameBytesMax) {
        return false;
    }
    frame.kind = static_cast<ShareFrameKind>(readU16(bytes));
    frame.flags = readU16(bytes + 2);
    frame.length = readU32(bytes + 4);
    frame.payload = bytes + shareHeaderBytes;
    frame.hello = {};
    return frame.length == count - shareHeaderBytes;
}

bool isFrame(const ShareFrame& frame, ShareFrameKind kind, uint32_t length) {
    return frame.kind == kind && frame.flags == 0 && frame.length == length;
}

// A hello names a device of ours and speaks this protocol.
bool readHello(ShareConnection& state, ShareFrame& frame) {
    if (!isFrame(frame, ShareFrameKind::hello, shareHelloBytes)) {
        return false;
    }
    const uint8_t* payload = frame.payload;
    frame.hello = {readU32(payload), readU32(payload + 4), readU32(payload + 8),
                   readU32(payload + 12)};
    const ShareHello& hello = frame.hello;
    if (hello.version != shareProtocolVersion) {
        return false;
    }
    if (hello.kind == shareOutput && hello.device < outputCount) {
        state = ShareConnection::output;
        return true;
    }
    if (hello.kind == shareInput && hello.device == 0) {
        state = ShareConnection::input;
        return true;
    }
    return false;
}

bool isOutputRequest(const ShareFrame& frame) {
    if (frame.kind == ShareFrameKind::message) {
        return (frame.flags & ~shareAnswerWanted) == 0 && frame.length > 0 &&
               frame.length <= shareMessageBytesMax;
    }
    return isFrame(frame, ShareFrameKind::reset, 0);
}

bool isInputRequest(const ShareFrame& frame) {
    return isFrame(frame, ShareFrameKind::startInput, 0) ||
           isFrame(frame, ShareFrameKind::stopInput, 0);
}

} // namespace

void writeU32(uint8_t* bytes, uint32_t value) {
    for (uint32_t i = 0; i < 4; ++i) {
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

uint32_t readU32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

void writeShareHeader(ShareFrameKind kind, uint16_t flags, uint32_t length, uint8_t* bytes) {
    writeU16(bytes, static_cast<uint16_t>(kind));
    writeU16(bytes + 2, flags);
    writeU32(bytes + 4, length);
}

uint32_t writeShareFrame(ShareFrameKind kind, uint16_t flags, const uint8_t* payload,
                         uint32_t length, uint8_t* bytes) {
    writeShareHeader(kind, flags, length, bytes);
    for (uint32_t i = 0; i < length; ++i) {
        bytes[shareHeaderBytes + i] = payload[i];
    }
    return shareHeaderBytes + length;
}

bool shareIsAnswered(ShareFrameKind kind, uint16_t flags) {
    return kind != ShareFrameKind::message || (flags & shareAnswerWanted) != 0;
}

void writeShareHello(const ShareHello& hello, uint8_t* bytes) {
    writeU32(bytes, hello.version);
    writeU32(bytes + 4, hello.kind);
    writeU32(bytes + 8, hello.device);
    writeU32(bytes + 12, hello.processId);
}

bool readShareRequest(ShareConnection& state, const uint8_t* bytes, uint32_t count,
                      ShareFrame& frame) {
    if (!readHeader(bytes, count, frame)) {
        return false;
    }
    switch (state) {
    case ShareConnection::greeting:
        return readHello(state, frame);
    case ShareConnection::output:
        return isOutputRequest(frame);
    case ShareConnection::input:
        return isInputRequest(frame);
    }
    return false;
}

bool readShareAnswer(const uint8_t* bytes, uint32_t count, ShareFrame& frame) {
    if (!readHeader(bytes, count, frame)) {
        return false;
    }
    if (frame.kind == ShareFrameKind::input) {
        return (frame.flags & ~shareInputLost) == 0 && frame.length > 0 &&
               frame.length % shareInputEntryBytes == 0;
    }
    return isFrame(frame, ShareFrameKind::answer, 4);
}
