// Feeds arbitrary frames, as hostile or broken programs could send them, from four connections to
// the sharing service's checks, and what they let through to the line's merger; checks that a
// frame is only taken whole and in its place, that every message taken goes out whole on its own
// destination, and that a reset leaves nothing of its stream sounding.
//
// The input is a run of frames, each as one byte choosing the connection, two bytes of length
// (little-endian) and that many bytes of frame.
#include "share/merger.h"
#include "share/protocol.h"

#include <cstdint>
#include <cstdlib>

namespace {

constexpr uint32_t connectionCount = 4;

struct Connection {
    ShareConnection state = ShareConnection::greeting;
    ShareSender sender = {};
};

void check(bool holds) {
    if (!holds) {
        std::abort();
    }
}

// Puts a message on the wire whole, as the service does once it may start, and checks each write:
// its destination's select, its sender's status put back, or the next of its bytes, framed.
void sendWhole(ShareWire& wire, Outgoing message) {
    bool packets = outputTable[message.sender->output].framing == Framing::packets;
    uint32_t lead = packets ? 1 : 0;
    WireWrite write;
    for (uint32_t before = message.handedOut; nextWrite(wire, message, write);
         before = message.handedOut) {
        uint32_t taken = message.handedOut - before;
        bool select = write.count == 2 && write.bytes[0] == destinationSelect &&
                      write.bytes[1] == message.sender->output;
        if (taken == 0 && select) {
            continue;
        }
        check(!packets || (write.bytes[0] == packetLead && write.count <= 1 + packetDataBytes));
        check(write.count > lead && write.count <= sizeof write.bytes);
        bool status =
            write.count == lead + 1 && write.bytes[lead] >= 0x80 && write.bytes[lead] < 0xF0;
        check(taken > 0 ? write.count == lead + taken : status);
    }
    check(message.handedOut == message.count);
}

void takeFrame(ShareWire& wire, Connection& connection, const uint8_t* bytes, uint32_t count) {
    ShareConnection before = connection.state;
    ShareFrame frame;
    if (!readShareRequest(connection.state, bytes, count, frame)) {
        check(connection.state == before);
        return;
    }
    check(frame.length == count - shareHeaderBytes);
    if (frame.kind == ShareFrameKind::hello) {
        check(before == ShareConnection::greeting);
        connection.sender.output = frame.hello.device;
        return;
    }
    check(before != ShareConnection::greeting);
    if (frame.kind == ShareFrameKind::message) {
        check(before == ShareConnection::output);
        Outgoing message = outgoingOf(connection.sender, frame.payload, frame.length);
        if (mayStart(wire, message)) {
            sendWhole(wire, message);
        }
    } else if (frame.kind == ShareFrameKind::reset) {
        static uint8_t silencing[silencingBytesMax];
        uint32_t length = silencingOf(wire, connection.sender, silencing);
        check(length <= silencingBytesMax && !anySounding(connection.sender.sounding));
        Outgoing message = silencingOutgoing(connection.sender, silencing, length);
        if (mayStart(wire, message)) {
            sendWhole(wire, message);
            check(wire.holder != &connection.sender);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Connection connections[connectionCount];
    ShareWire wire = freshWire();
    size_t at = 0;
    while (at + 3 <= size) {
        Connection& connection = connections[data[at] % connectionCount];
        uint32_t length = data[at + 1] | data[at + 2] << 8;
        at += 3;
        if (length > size - at) {
            length = static_cast<uint32_t>(size - at);
        }
        takeFrame(wire, connection, data + at, length);
        at += length;
    }
    return 0;
}
