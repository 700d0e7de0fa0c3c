// Plays hostile or broken programs against the sharing service's hub: arbitrary frames from four
// connections of two programs, mixed with the line taking writes, connections ending, input
// arriving and time passing. Checks that only whole frames in their place are taken, that every
// write is one the line can take (a select of a real destination, a packet, a raw block), that a
// program's driver takes from the service only whole answers and input, that no program has more
// than its share of places, that an exclusive whose program's slack is gone holds the line no
// longer than that program's message under way, and that once every connection has ended and the
// line has taken everything, nothing is left sounding or holding the line and every slot is free
// again.
//
// Each operation is one byte: its low three bits choose it, and a frame follows its operation as
// two bytes of length (little-endian) and that many bytes.
#include "share/hub.h"

#include <cstdint>
#include <cstdlib>
#include <memory>

namespace {

constexpr uint32_t connectionCount = 4;

void check(bool holds) {
    if (!holds) {
        std::abort();
    }
}

struct Harness {
    ShareHub hub;
    int32_t clients[connectionCount];
    // A connection's frame stays until its message has gone out, as the service's read buffer.
    uint8_t frames[connectionCount][shareFrameBytesMax];
    uint8_t inputFrame[shareFrameBytesMax];
    uint32_t now = 0;
};

void checkWrite(const WireWrite& write) {
    check(write.count > 0 && write.count <= sizeof write.bytes);
    if (write.bytes[0] == destinationSelect && write.count == 2) {
        check(write.bytes[1] < outputCount);
    }
}

// Up to `count` writes for the line.
void drain(Harness& h, uint32_t count) {
    WireWrite write;
    for (uint32_t i = 0; i < count && nextLineWrite(h.hub, h.now, write); ++i) {
        checkWrite(write);
    }
}

// The same bytes as the service might send them to a program: its driver takes only a whole
// answer or whole input entries.
void readAsTheDriver(const uint8_t* bytes, uint32_t count) {
    ShareFrame frame;
    if (!readShareAnswer(bytes, count, frame)) {
        return;
    }
    check(frame.length + shareHeaderBytes == count && frame.payload == bytes + shareHeaderBytes);
    check(frame.kind == ShareFrameKind::answer
              ? frame.length == 4
              : frame.kind == ShareFrameKind::input && frame.length > 0 &&
                    frame.length % shareInputEntryBytes == 0);
}

// After the line has taken what it may: no program holds more places than its share, and a holder
// whose slack is gone is still sending a message of its own.
void checkFairness(const ShareHub& hub) {
    for (const ShareClient& client : hub.clients) {
        uint32_t places = 0;
        for (const ShareClient& other : hub.clients) {
            places += client.inUse && other.inUse && other.processId == client.processId;
        }
        check(places <= shareClientsPerProcess);
        check(!client.inUse || hub.wire.holder != &client.sender || client.holdSlack > 0 ||
              client.hasMessage);
    }
}

void sendFrame(Harness& h, uint32_t connection, const uint8_t* bytes, uint32_t count) {
    readAsTheDriver(bytes, count);
    int32_t client = h.clients[connection];
    if (client < 0) {
        client = h.clients[connection] = openClient(h.hub, 1 + connection % 2);
        if (client < 0) {
            return; // every slot taken: the service refuses the connection
        }
    }
    // As the service, which reads a connection's next frame only once its message has gone.
    if (!readsNext(h.hub, static_cast<uint32_t>(client))) {
        return;
    }
    uint8_t* frame = h.frames[connection];
    for (uint32_t i = 0; i < count; ++i) {
        frame[i] = bytes[i];
    }
    if (!takeRequest(h.hub, static_cast<uint32_t>(client), frame, count)) {
        clientGone(h.hub, static_cast<uint32_t>(client)); // the service ends that connection
        h.clients[connection] = -1;
    }
}

void endEverything(Harness& h) {
    for (int32_t& client : h.clients) {
        if (client >= 0) {
            clientGone(h.hub, static_cast<uint32_t>(client));
            client = -1;
        }
    }
    h.now += shareHoldSlackMs;
    drain(h, 1u << 20);
    check(h.hub.wire.holder == nullptr);
    for (const ShareClient& client : h.hub.clients) {
        check(!client.inUse);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static auto* h = new Harness;
    resetHub(h->hub);
    for (int32_t& client : h->clients) {
        client = -1;
    }
    size_t at = 0;
    while (at < size) {
        uint8_t op = data[at++];
        uint32_t connection = op >> 3 & (connectionCount - 1);
        switch (op & 7) {
        case 0:
        case 1:
        case 2: {
            if (at + 2 > size) {
                return 0;
            }
            uint32_t length = data[at] | data[at + 1] << 8;
            at += 2;
            if (length > size - at) {
                length = static_cast<uint32_t>(size - at);
            }
            sendFrame(*h, connection, data + at, length);
            at += length;
            break;
        }
        case 3:
            drain(*h, op >> 3);
            if (op >> 3 == 0) {
                drain(*h, 1u << 20);
                checkFairness(h->hub);
            }
            break;
        case 4:
            if (h->clients[connection] >= 0) {
                clientGone(h->hub, static_cast<uint32_t>(h->clients[connection]));
                h->clients[connection] = -1;
            }
            break;
        case 5:
            takeInput(h->hub, op, h->now);
            break;
        case 6:
            if (h->clients[connection] >= 0) {
                uint32_t count = takeInputFrame(
                    h->hub, static_cast<uint32_t>(h->clients[connection]), h->inputFrame);
                ShareFrame frame;
                check(count == 0 || readShareAnswer(h->inputFrame, count, frame));
            }
            break;
        default:
            h->now += 100u * (op >> 3);
            break;
        }
    }
    endEverything(*h);
    return 0;
}
