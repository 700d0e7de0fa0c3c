// One opened device's common record: who the client is and how it is called back, which device
// it opened, its hold on the port and the process's line. Created by openStream
// (driver/open_close.h), handed to the host as the device's instance data, and released by the
// device's close. It is the start of an OutputStream (output/output_stream.h) or an InputStream
// (input/input_stream.h), by its kind.
#pragma once

#include "line/line.h"
#include "platform/host.h"
#include "share/link.h"
#include "stream/device.h"

#include <cstdint>
#include <variant>

// A call of the client's that uses a stream, made on `thread`. It lives on that thread's stack and
// is listed in the stream's calls for as long as it uses the stream.
struct CallUnderWay {
    uint32_t thread;
    CallUnderWay* next;
};

// What the serial line keeps of a stream that has it: its hold on the port and, for an output, the
// record of its writes, whose event is made when the output is given the line.
struct LineEnd {
    PortHold hold;
    PortWriter writer;
};

struct Stream {
    uint32_t deviceIndex;
    DeviceKind kind;
    uintptr_t clientCallback;
    uintptr_t clientInstance;
    uintptr_t deviceHandle;
    uint32_t openFlags; // the high 16 bits say how the client wants to be called back
    // Whether its device, given at open (stream/device.h), is a connection to the sharing service
    // rather than the serial line.
    bool viaService;
    // Its device's own state, made when the device is given: on the line, its end of the line;
    // through the service, its connection. Reached through lineEndOf and linkOf.
    std::variant<LineEnd, ShareLink> deviceState;
    // The process's line, which every stream of the process shares; it outlives them all.
    PortLine* line;
    // The calls using the stream now, listed under the process's stream table lock
    // (driver/open_close.h), and the event by which the last of them to end wakes a close that
    // waits for them.
    CallUnderWay* calls;
    platform::Handle callsEnded;
};

// The stream's end of the line, or its connection to the service: only for a stream given that
// device. Every write on the line asks for its end, so these are inline.
inline LineEnd& lineEndOf(Stream& stream) {
    return *std::get_if<LineEnd>(&stream.deviceState);
}
inline ShareLink& linkOf(Stream& stream) {
    return *std::get_if<ShareLink>(&stream.deviceState);
}

// Whether a client's header can be read: present, at least as long as the host's smallest one,
// and with data unless it is empty.
bool headerIsUsable(const MidiHeader* header, uintptr_t headerSize);
void notifyClient(const Stream& stream, uint32_t notification, uintptr_t param1, uintptr_t param2);
