// One opened device's common record: who the client is and how it is called back, which device
// it opened, its hold on the port and the process's line. Created by openStream
// (driver/open_close.h), handed to the host as the device's instance data, and released by
// closeStream. It is the start of an OutputStream (output/output_stream.h) or an InputStream
// (input/input_stream.h), by its kind.
#pragma once

#include "platform/host.h"
#include "port/line.h"

#include <atomic>
#include <cstdint>

struct Stream {
    uint32_t deviceIndex;
    DeviceKind kind;
    uintptr_t clientCallback;
    uintptr_t clientInstance;
    uintptr_t deviceHandle;
    uint32_t openFlags; // the high 16 bits say how the client wants to be called back
    PortSlot slot;      // the stream's hold on the port
    // The process's line, which every stream of the process shares; it outlives them all.
    PortLine* line;
    // Calls of the client's threads using the stream now, and whether its close has begun. A call
    // is counted and a close begun under the process's stream table lock (driver/open_close.h);
    // a call's count is the last it touches of the stream. While a call is under way the stream
    // cannot be closed; once its close has begun nothing more may use it.
    std::atomic<uint32_t> callsUnderWay;
    bool closing;
};

// Whether a client's header can be read: present, at least as long as the host's smallest one,
// and with data unless it is empty.
bool headerIsUsable(const MidiHeader* header, uintptr_t headerSize);
void notifyClient(const Stream& stream, uint32_t notification, uintptr_t param1, uintptr_t param2);
