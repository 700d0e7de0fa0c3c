#include "share/merger.h"

#include "platform/host.h"

namespace {

constexpr uint8_t exclusiveStart = 0xF0;
constexpr uint8_t exclusiveEnd = 0xF7;
constexpr uint8_t firstRealTime = 0xF8;

// Follows one byte handed out on `message`'s destination: an exclusive's start takes the line for
// its sender, and any other status byte but real time ends it, as the instrument ends it. A channel
// status becomes the running status; a system one leaves none.
void followByte(ShareWire& wire, const Outgoing& message, uint8_t byte) {
    // A program's own select would send the next program's data astray: whoever writes next
    // announces their destination again.
    if (byte == destinationSelect) {
        wire.lastOutput = noDestination;
    }
    if (byte >= firstRealTime) {
        return;
    }
    const ShareSender* sender = message.sender;
    if (byte >= 0x80) {
        if (byte == exclusiveStart) {
            wire.holder = sender;
        } else if (wire.holder == sender) {
            wire.holder = nullptr;
        }
        uint8_t running = byte < 0xF0 ? byte : 0;
        wire.runningStatus[sender->output] = running;
        if (!message.silencing) {
            message.sender->runningStatus = running;
        }
    }
    if (wire.holder == sender) {
        ++wire.heldBytesOut;
    }
}

// One byte framed alone: the sender's status put back before its running-status data.
void frameStatus(ShareWire& wire, const Outgoing& message, WireWrite& write) {
    uint8_t status = message.sender->runningStatus;
    frameNextWrite(message.sender->output, &status, 1, write);
    wire.runningStatus[message.sender->output] = status;
}

// The first byte that is not real time, which decides whether a message starts under running
// status; 0xFF when there is none.
uint8_t firstNonRealTime(const uint8_t* bytes, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        if (bytes[i] < firstRealTime) {
            return bytes[i];
        }
    }
    return 0xFF;
}

// Data at the start of a sender's own message that continues no exclusive of its own.
bool startsUnderRunningStatus(const ShareWire& wire, const Outgoing& message) {
    return !message.silencing && wire.holder != message.sender &&
           firstNonRealTime(message.bytes, message.count) < 0x80;
}

bool needsStatusBack(const ShareWire& wire, const Outgoing& message) {
    const ShareSender& sender = *message.sender;
    return startsUnderRunningStatus(wire, message) && sender.runningStatus != 0 &&
           wire.runningStatus[sender.output] != sender.runningStatus;
}

// Data that no status of its sender's goes before would be taken under whatever another program
// last sent: it goes nowhere.
void skipOrphanData(const ShareWire& wire, Outgoing& message) {
    if (!startsUnderRunningStatus(wire, message) || message.sender->runningStatus != 0) {
        return;
    }
    while (message.handedOut < message.count && message.bytes[message.handedOut] < 0x80) {
        ++message.handedOut;
    }
}

struct SilencingBuffer {
    uint8_t* bytes;
    uint32_t count;
};

uint32_t appendRelease(void* context, const uint8_t* message) {
    auto* buffer = static_cast<SilencingBuffer*>(context);
    for (uint32_t i = 0; i < 3; ++i) {
        buffer->bytes[buffer->count++] = message[i];
    }
    return MMSYSERR_NOERROR;
}

} // namespace

ShareWire freshWire() {
    return ShareWire{noDestination, {}, nullptr, 0};
}

Outgoing outgoingOf(ShareSender& sender, const uint8_t* bytes, uint32_t count) {
    return Outgoing{&sender, bytes, count, 0, false, 0, false};
}

Outgoing silencingOutgoing(ShareSender& sender, const uint8_t* bytes, uint32_t count) {
    return Outgoing{&sender, bytes, count, 0, true, 0, true};
}

bool passesBetween(const ShareWire& wire, const Outgoing& message) {
    return isRealTimeOnly(message.bytes, message.count) ||
           (message.silencing && wire.holder != nullptr && wire.holder != message.sender &&
            wire.holder->output != message.sender->output);
}

bool mayStart(const ShareWire& wire, const Outgoing& message) {
    return wire.holder == nullptr || wire.holder == message.sender || passesBetween(wire, message);
}

bool nextWrite(ShareWire& wire, Outgoing& message, WireWrite& write) {
    uint32_t output = message.sender->output;
    if (message.handedOut == message.count) {
        return false;
    }
    if (wire.lastOutput != output) {
        write = selectPair(output);
        wire.lastOutput = static_cast<uint16_t>(output);
        return true;
    }
    if (!message.statusChecked) {
        message.statusChecked = true;
        message.statusAtStart = message.sender->runningStatus;
        if (needsStatusBack(wire, message)) {
            frameStatus(wire, message, write);
            return true;
        }
        skipOrphanData(wire, message);
        if (message.handedOut == message.count) {
            return false;
        }
    }
    const uint8_t* from = message.bytes + message.handedOut;
    uint32_t taken = frameNextWrite(output, from, message.count - message.handedOut, write);
    for (uint32_t i = 0; i < taken; ++i) {
        followByte(wire, message, from[i]);
    }
    message.handedOut += taken;
    if (message.handedOut == message.count && !message.silencing) {
        trackLongMessage(message.sender->sounding, message.bytes, message.count,
                         message.statusAtStart);
    }
    return true;
}

bool isRealTimeOnly(const uint8_t* bytes, uint32_t count) {
    return count > 0 && firstNonRealTime(bytes, count) == 0xFF;
}

void cutShort(ShareWire& wire, const Outgoing& message) {
    if (message.handedOut == 0 || message.handedOut == message.count) {
        return;
    }
    if (!message.silencing) {
        trackLongMessage(message.sender->sounding, message.bytes, message.handedOut,
                         message.statusAtStart);
    }
    wire.runningStatus[message.sender->output] = 0;
}

uint32_t endOfExclusive(const ShareWire& wire, const ShareSender& sender, uint8_t* bytes) {
    if (wire.holder != &sender) {
        return 0;
    }
    bytes[0] = exclusiveEnd;
    return 1;
}

uint32_t silencingOf(const ShareWire& wire, ShareSender& sender, uint8_t* bytes) {
    SilencingBuffer buffer = {bytes, endOfExclusive(wire, sender, bytes)};
    releaseSounding(sender.sounding, appendRelease, &buffer);
    return buffer.count;
}
