#include "input/assembler.h"

namespace {

// Whatever is half-assembled is reported once as broken and dropped; a new message begins now.
void abandonPendingMessage(InputAssembler& a, const Stream& client, uint8_t runningStatus) {
    if (a.pending != 0) {
        notifyClient(client, MIM_ERROR, a.pending, toldTime(a, a.messageTime));
        a.pending = 0;
    }
    a.runningStatus = runningStatus;
    a.messageTime = a.now;
}

void beginMessage(InputAssembler& a, uint8_t status, uint8_t dataBytes) {
    a.pending |= status;
    a.remaining = dataBytes;
    a.byteCount = 1;
}

void systemByte(InputAssembler& a, ExclusiveQueue& exclusive, const Stream& client, uint8_t byte) {
    if (a.inExclusive) {
        a.inExclusive = 0;
        if (byte == endOfExclusive) {
            sinkExclusiveByte(exclusive, client, byte, toldTime(a, a.messageTime));
            a.byteCount = 0;
            return;
        }
        abortExclusive(exclusive, client, toldTime(a, a.messageTime));
    }
    abandonPendingMessage(a, client, 0);
    switch (byte) {
    case startOfExclusive:
        a.inExclusive = 1;
        a.byteCount = 0;
        sinkExclusiveByte(exclusive, client, byte, toldTime(a, a.messageTime));
        break;
    case 0xF1: // time code quarter frame
    case 0xF3: // song select
        beginMessage(a, byte, 1);
        break;
    case 0xF2: // song position
        beginMessage(a, byte, 2);
        break;
    case endOfExclusive: // with no exclusive in progress
        notifyClient(client, MIM_ERROR, byte, toldTime(a, a.messageTime));
        a.byteCount = 0;
        break;
    default: // 0xF4, 0xF5, 0xF6: complete in themselves
        notifyClient(client, MIM_DATA, byte, toldTime(a, a.messageTime));
        a.byteCount = 0;
        break;
    }
}

void channelStatus(InputAssembler& a, ExclusiveQueue& exclusive, const Stream& client,
                   uint8_t status) {
    if (a.inExclusive) {
        a.inExclusive = 0;
        abortExclusive(exclusive, client, toldTime(a, a.messageTime));
    }
    abandonPendingMessage(a, client, status);
    bool oneDataByte = status >= 0xC0 && status <= 0xDF; // Program Change, Channel Pressure
    beginMessage(a, status, oneDataByte ? 1 : 2);
}

void dataByte(InputAssembler& a, ExclusiveQueue& exclusive, const Stream& client, uint8_t byte) {
    if (a.inExclusive) {
        sinkExclusiveByte(exclusive, client, byte, toldTime(a, a.messageTime));
        return;
    }
    if (a.byteCount == 0) { // no status known: the byte belongs to nothing
        notifyClient(client, MIM_ERROR, byte, toldTime(a, a.messageTime));
        return;
    }
    if (a.runningStatus != 0 && a.byteCount == 1) {
        // The first data byte dates the message; with running status it also brings the status.
        a.pending |= a.runningStatus;
        a.messageTime = a.now;
    }
    a.pending += static_cast<uint32_t>(byte) << (8 * a.byteCount);
    ++a.byteCount;
    --a.remaining;
    if (a.remaining != 0) {
        return;
    }
    notifyClient(client, MIM_DATA, a.pending, toldTime(a, a.messageTime));
    a.pending = 0;
    if (a.runningStatus != 0) {
        a.remaining = static_cast<uint8_t>(a.byteCount - 1);
        a.byteCount = 1;
    } else {
        a.byteCount = 0;
    }
}

} // namespace

uint32_t toldTime(InputAssembler& a, uint32_t time) {
    // A time told goes back only when the client was told a later one while this message came
    // in, that is between `time` and now. Looked at on the clock's circle, so that neither its
    // wrap after 49.7 days of input nor a long silence before the message confuses the two.
    if (a.latestTold - time > a.now - time) {
        a.latestTold = time;
    }
    return a.latestTold;
}

void restartClock(InputAssembler& a) {
    a.now = 0;
    a.messageTime = 0;
    a.latestTold = 0;
}

void parseInputByte(InputAssembler& a, ExclusiveQueue& exclusive, const Stream& client,
                    uint8_t byte) {
    if (a.started == 0) {
        return;
    }
    if (byte >= 0xF8) {
        // Real time: delivered at once, without disturbing a message or an exclusive.
        notifyClient(client, MIM_DATA, byte, toldTime(a, a.now));
    } else if (byte >= 0xF0) {
        systemByte(a, exclusive, client, byte);
    } else if (byte >= 0x80) {
        channelStatus(a, exclusive, client, byte);
    } else {
        dataByte(a, exclusive, client, byte);
    }
}

void forgetPartialMessage(InputAssembler& a, ExclusiveQueue& exclusive, const Stream& client) {
    if (a.inExclusive != 0) {
        a.inExclusive = 0;
        abortExclusive(exclusive, client, toldTime(a, a.messageTime));
    }
    a.pending = 0;
    a.remaining = 0;
    a.byteCount = 0;
    a.runningStatus = 0;
}

void loseBytes(InputAssembler& a, ExclusiveQueue& exclusive, const Stream& client) {
    if (a.inExclusive == 0) {
        uint32_t time = a.pending != 0 ? a.messageTime : a.now;
        notifyClient(client, MIM_ERROR, a.pending, toldTime(a, time));
        a.pending = 0;
    }
    forgetPartialMessage(a, exclusive, client);
}
