// Feeds arbitrary byte streams to an input stream's assembler, interleaved with the client adding
// buffers of any size and with input being stopped and reset, and checks what the client is
// handed: nothing written outside a buffer, no header returned twice for one add or while still
// queued, no short message wider than three bytes, and no data byte lost.
//
// Each input byte is an operation: its low three bits choose it, and most operations take the
// following byte as their argument.
#include "input/assembler.h"
#include "input/exclusive_queue.h"
#include "platform/sim/sim.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

struct Buffer {
    std::unique_ptr<uint8_t[]> memory; // exactly the capacity: ASan sees any write past it
    MidiHeader header = {};
    bool queued = false;
};

struct Harness {
    InputAssembler assembler = {};
    ExclusiveQueue exclusive = {};
    Stream stream = {};
    std::vector<std::unique_ptr<Buffer>> buffers;

    uint64_t dataIn = 0;      // data bytes fed
    uint64_t dataOut = 0;     // data bytes the client was handed, in messages or buffers
    uint64_t dataDropped = 0; // exclusive data fed while no buffer could take it
    uint64_t realTimeIn = 0;
    uint64_t realTimeOut = 0;
    uint32_t latestTime = 0; // the latest time the client was told
};

Harness* current = nullptr;

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Data bytes are never 0 in this harness, so that a message's data bytes can be counted.
int dataBytesIn(uint32_t packed) {
    int count = 0;
    for (int shift = 8; shift < 24; shift += 8) {
        count += ((packed >> shift) & 0xFF) != 0;
    }
    return count;
}

void onNotify(const sim::Notification& n) {
    Harness& h = *current;
    check(n.param2 >= h.latestTime); // times told never go back
    h.latestTime = static_cast<uint32_t>(n.param2);
    if (n.message == MIM_DATA || n.message == MIM_ERROR) {
        uint32_t packed = static_cast<uint32_t>(n.param1);
        check(n.param1 <= 0x00FFFFFF);
        if (packed >= 0xF8 && packed <= 0xFF) {
            check(n.message == MIM_DATA);
            ++h.realTimeOut;
        } else if (packed < 0x80) {
            ++h.dataOut; // a stray data byte
        } else {
            h.dataOut += dataBytesIn(packed);
        }
        return;
    }
    check(n.message == MIM_LONGDATA || n.message == MIM_LONGERROR);
    auto* header = reinterpret_cast<MidiHeader*>(n.param1);
    for (MidiHeader* q = h.exclusive.head; q != nullptr; q = q->lpNext) {
        check(q != header);
    }
    for (auto& buffer : h.buffers) {
        if (&buffer->header != header) {
            continue;
        }
        check(buffer->queued);
        buffer->queued = false;
        check((header->dwFlags & MHDR_DONE) != 0 && (header->dwFlags & MHDR_INQUEUE) == 0);
        check(header->dwBytesRecorded <= header->dwBufferLength);
        for (uint32_t i = 0; i < header->dwBytesRecorded; ++i) {
            h.dataOut += header->lpData[i] < 0x80;
        }
        return;
    }
    check(false); // a header the client never added
}

bool someBufferTakesData(const Harness& h) {
    for (MidiHeader* q = h.exclusive.head; q != nullptr; q = q->lpNext) {
        if (q->dwBufferLength > 0) {
            return true;
        }
    }
    return false;
}

void feed(Harness& h, uint8_t byte) {
    if (byte < 0x80) {
        byte = byte == 0 ? 1 : byte;
        ++h.dataIn;
        if (h.assembler.inExclusive && !someBufferTakesData(h)) {
            ++h.dataDropped;
        }
    } else if (byte >= 0xF8) {
        ++h.realTimeIn;
    }
    parseInputByte(h.assembler, h.exclusive, h.stream, byte);
}

void addBuffer(Harness& h, uint8_t capacity) {
    Buffer* buffer = nullptr;
    for (auto& candidate : h.buffers) {
        if (!candidate->queued && candidate->header.dwBufferLength == capacity) {
            buffer = candidate.get();
        }
    }
    if (buffer == nullptr) {
        h.buffers.push_back(std::make_unique<Buffer>());
        buffer = h.buffers.back().get();
        buffer->memory = std::make_unique<uint8_t[]>(capacity);
        buffer->header.lpData = buffer->memory.get();
        buffer->header.dwBufferLength = capacity;
    }
    buffer->header.dwFlags = MHDR_PREPARED | MHDR_INQUEUE;
    buffer->queued = true;
    appendBuffer(h.exclusive, &buffer->header);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    sim::reset();
    Harness h;
    current = &h;
    h.stream.kind = kindInput;
    h.stream.clientCallback = 1;
    h.assembler.started = 1;
    sim::world().onNotify = onNotify;

    for (size_t at = 0; at < size; ++at) {
        ++h.assembler.now;
        uint8_t operation = data[at] & 7;
        uint8_t argument = at + 1 < size ? data[at + 1] : 0;
        if (operation <= 4) { // most of the time: a byte from the instrument
            feed(h, argument);
            ++at;
        } else if (operation == 5) {
            addBuffer(h, argument % 48);
            ++at;
        } else if (operation == 6) { // stop and start again
            returnPartialBuffer(h.exclusive, h.stream,
                                toldTime(h.assembler, h.assembler.messageTime));
        } else { // reset and start again
            returnPartialBuffer(h.exclusive, h.stream,
                                toldTime(h.assembler, h.assembler.messageTime));
            returnAllBuffers(h.exclusive, h.stream, toldTime(h.assembler, h.assembler.now));
        }
    }
    // Whatever is still held: the head buffer's bytes and the message being assembled.
    returnPartialBuffer(h.exclusive, h.stream, toldTime(h.assembler, h.assembler.messageTime));
    returnAllBuffers(h.exclusive, h.stream, toldTime(h.assembler, h.assembler.now));
    for (auto& buffer : h.buffers) {
        check(!buffer->queued);
    }
    check(h.realTimeIn == h.realTimeOut);
    check(h.dataIn == h.dataOut + h.dataDropped + dataBytesIn(h.assembler.pending));

    sim::world().onNotify = nullptr;
    current = nullptr;
    return 0;
}
