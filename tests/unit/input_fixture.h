// An input stream's assembler and buffer queue on their own, fed byte by byte at set times, with
// what the client is told written down as (message, param1, param2).
#pragma once

#include "driver_fixture.h"
#include "input/assembler.h"
#include "input/exclusive_queue.h"

#include <deque>
#include <ostream>

struct Told {
    uint32_t message;
    uintptr_t param1;
    uintptr_t param2;
    bool operator==(const Told&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Told& told) {
    return out << std::hex << "{0x" << told.message << ", 0x" << told.param1 << ", " << std::dec
               << told.param2 << "}";
}

// A client buffer together with its memory.
struct ClientBuffer {
    Bytes memory;
    MidiHeader header = {};

    explicit ClientBuffer(uint32_t capacity) : memory(capacity, 0xEE) {
        header.lpData = memory.data();
        header.dwBufferLength = capacity;
        header.dwFlags = MHDR_PREPARED | MHDR_INQUEUE;
    }
    Bytes recorded() const {
        return Bytes(memory.begin(), memory.begin() + header.dwBytesRecorded);
    }
    uintptr_t address() const { return reinterpret_cast<uintptr_t>(&header); }
};

class InputTest : public DriverTest {
  protected:
    InputTest() {
        stream.kind = kindInput;
        stream.clientCallback = 0xCA11BAC4;
        assembler.started = 1;
    }

    // Feeds the bytes as if each arrived at `time`.
    void feed(const Bytes& bytes, uint32_t time = 0) {
        assembler.now = time;
        for (uint8_t byte : bytes) {
            parseInputByte(assembler, exclusive, stream, byte);
        }
    }
    ClientBuffer& queue(uint32_t capacity) {
        ClientBuffer& buffer = buffers.emplace_back(capacity);
        appendBuffer(exclusive, &buffer.header);
        return buffer;
    }
    std::vector<Told> told() {
        std::vector<Told> result;
        for (const sim::Notification& n : sim::world().notifications) {
            result.push_back({n.message, n.param1, n.param2});
        }
        return result;
    }

    InputAssembler assembler = {};
    ExclusiveQueue exclusive = {};
    Stream stream = {};
    std::deque<ClientBuffer> buffers;
};
