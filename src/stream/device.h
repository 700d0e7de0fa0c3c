// Where a stream's bytes go: the serial line under the owner rule, or a connection to the sharing
// service. The driver gives a stream its device at open (driver/open_close.cpp), the one place that
// chooses; output, input and the close call it and never ask which one it is. An output stream's
// device is called for output only, an input stream's for input only.
#pragma once

#include <cstdint>

struct OutputStream;
struct InputStream;

struct StreamDevice {
    // What a monitor is told of the stream: that it reaches the instrument through the service.
    bool viaService;
    // The data of a short or long message, written whole, or cut by a reset when `canBeCut`; what
    // reached the instrument is told to a monitor in the instrument's order.
    uint32_t (*send)(OutputStream& stream, const uint8_t* bytes, uint32_t count, bool canBeCut,
                     uint32_t cutsBefore);
    // A reset's silencing of what the stream left sounding.
    uint32_t (*silence)(OutputStream& stream);
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
