// What crosses between a program's driver and the sharing service: frames on the stream's own
// pipe connection, in fixed-width little-endian fields, the same for 32-bit, 64-bit and ARM64
// drivers. A frame is a header (its kind, flags and the length of what follows) and its payload.
//
// Everything a program sends is checked here before the service uses any of it: a frame that is
// not one of these, whole and in its place on its connection, ends that connection and nothing
// else. What the service sends is checked as strictly by the driver.
#pragma once

#include <cstdint>

// The service's name among the machine's services, and where it listens, for the programs of
// this machine only.
constexpr char16_t shareServiceName[] = u"melvpcif-share";
constexpr char16_t sharePipeName[] = u"\\\\.\\pipe\\melvpcif-share";
constexpr uint32_t shareProtocolVersion = 1;
constexpr uint32_t shareHeaderBytes = 8;
// A long message goes in one frame; the host's buffers for one are at most 64 KiB.
constexpr uint32_t shareMessageBytesMax = 0x10000;
constexpr uint32_t shareFrameBytesMax = shareHeaderBytes + shareMessageBytesMax;

enum class ShareFrameKind : uint16_t {
    // From a program:
    hello = 1,      // the connection's first frame: ShareHello
    message = 2,    // an output's short message or long message, bytes as the client gave them
    reset = 3,      // an output's reset: what the stream left sounding is silenced
    startInput = 4, // an input's start: every byte the instrument sends from now on
    stopInput = 5,  // an input's stop
    // From the service:
    answer = 0x81, // to a hello, a reset, or a message flagged shareAnswerWanted: its status
    input = 0x82,  // bytes from the instrument, each with the system time it came in at
};

// On a message: answer once it has gone out whole (a long message); short ones are not answered.
constexpr uint16_t shareAnswerWanted = 1;
// On input: bytes for this stream were dropped before these, as it did not read them in time.
constexpr uint16_t shareInputLost = 1;

enum ShareDeviceKind : uint32_t {
    shareOutput = 0,
    shareInput = 1,
};

struct ShareHello {
    uint32_t version;   // shareProtocolVersion
    uint32_t kind;      // ShareDeviceKind
    uint32_t device;    // the output's index, 0 for the input
    uint32_t processId; // the program's, as it says; the service counts by the system's
};
constexpr uint32_t shareHelloBytes = 16;
// One byte of input: the system time in ms it came in at, then the byte.
constexpr uint32_t shareInputEntryBytes = 5;

// Where a connection is, as the service checks what comes next on it.
enum class ShareConnection : uint8_t {
    greeting, // nothing but a hello yet
    output,
    input,
};

// One frame, checked; the payload points into the bytes it was read from.
struct ShareFrame {
    ShareFrameKind kind;
    uint16_t flags;
    const uint8_t* payload;
    uint32_t length;
    ShareHello hello; // a hello's fields
};

// Writes a frame's header into `bytes` (shareHeaderBytes), for a payload written after it.
void writeShareHeader(ShareFrameKind kind, uint16_t flags, uint32_t length, uint8_t* bytes);
// Writes a frame's header and payload into `bytes` (shareHeaderBytes + length); its size.
uint32_t writeShareFrame(ShareFrameKind kind, uint16_t flags, const uint8_t* payload,
                         uint32_t length, uint8_t* bytes);
// Whether the service answers a request of `kind` with `flags`: every one but a message that does
// not ask for it.
bool shareIsAnswered(ShareFrameKind kind, uint16_t flags);
// A hello's payload, into `bytes` (shareHelloBytes).
void writeShareHello(const ShareHello& hello, uint8_t* bytes);
// Reads one whole frame that a program sent on a connection in `state`: true when it is one that
// connection may send now, which a hello moves on to output or input. False for anything else:
// the service then ends the connection.
bool readShareRequest(ShareConnection& state, const uint8_t* bytes, uint32_t count,
                      ShareFrame& frame);
// Reads one whole frame the service sent: an answer (four bytes of status) or input (whole
// entries). False for anything else.
bool readShareAnswer(const uint8_t* bytes, uint32_t count, ShareFrame& frame);
// A field of four bytes, little-endian.
void writeU32(uint8_t* bytes, uint32_t value);
uint32_t readU32(const uint8_t* bytes);
