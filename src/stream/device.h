// Where a stream's bytes go: the serial line under the owner rule, or a connection to the sharing
// service. The driver gives a stream its device at open (driver/open_close.cpp), the one place that
// chooses; output, input and the close call it and never ask which one it is. Each device's calls
// are a table that stands beside the functions it names: the line's in output/line_output.cpp and
// input/line_input.cpp, the service's in output/service_output.cpp and input/service_input.cpp.
#pragma once

#include <cstdint>

struct OutputStream;
struct InputStream;

// An output stream's device.
struct OutputDevice {
    // The data of a short or long message, written whole, or cut by a reset when `canBeCut` and
    // the stream's cutsRequested has moved on from `cutsBefore`; what reached the instrument is
    // told to a monitor in the instrument's order. A message a reset cut has ended as the client
    // asked: its send succeeds. Any other send that did not go out whole fails.
    uint32_t (*send)(OutputStream& stream, const uint8_t* bytes, uint32_t count, bool canBeCut,
                     uint32_t cutsBefore);
    // A reset's silencing of what the stream left sounding.
    uint32_t (*silence)(OutputStream& stream);
    // A reset's cut of the long messages under way on other threads, once it has moved the
    // stream's cutsRequested on: each ends as soon as it can, and none starts another write.
    void (*cut)(OutputStream& stream);
};

// An input stream's device.
struct InputDevice {
    // Input from now on: the device's reads are issued, or asked for again when due.
    void (*startInput)(InputStream& stream);
    // Input no longer: the device's reads have ended.
    void (*stopInput)(InputStream& stream);
    // Asks the device's reads outstanding to end; the worker waits for their routines.
    void (*cancelReads)(InputStream& stream);
    // Hands what completed reads brought to the assembler, in the order they were issued.
    void (*takeInput)(InputStream& stream);
    // A device in trouble is picked up again when due; reads that came back empty are issued
    // again once their pause, `restOver`, has passed.
    void (*tendInput)(InputStream& stream, bool restOver);
};
