// The sharing service's serial line: the port it holds for every program, the one write under way
// at a time (the hub's next), and one read that takes every byte that has arrived, up to a few KiB,
// and waits only for the first. One read at a time keeps the bytes in the line's order on every
// host, and what arrives while the service hands the last read's bytes on waits in the port for
// the next. Every port call goes through the platform, as the driver's own do. Its routines run on
// the service's thread while it waits alertably, and only note what completed: the loop hands
// bytes on and issues the read again after the wait (ARCHITECTURE.md).
#pragma once

#include "line/outputs.h"
#include "platform/platform.h"
#include "share/hub.h"

#include <cstdint>

// More than a second of the cable's input: a backlog however long the service was held up is
// taken in one or two reads.
constexpr uint32_t serviceReadBytes = 4096;

struct ServiceLine;

struct ServiceLineRead {
    platform::CompletionRecord record; // first: its routine is handed the record
    ServiceLine* line;
    bool done;
    uint32_t count;
    uint32_t time; // when it came, on the hub's clock: the time of all its bytes
    uint8_t bytes[serviceReadBytes];
};

struct ServiceLineWrite {
    platform::CompletionRecord record; // first: its routine is handed the record
    ServiceLine* line;
    WireWrite bytes;
    bool underWay;
    uint32_t started;
    uint32_t deadline; // past it the line has stopped taking bytes: the write is cancelled
};

struct ServiceLine {
    platform::Handle port;
    ServiceLineWrite write;
    ServiceLineRead read;
    // A write or a read failed, or a read ended empty: what comes after could no longer be put in
    // order, and every program is let go.
    bool failed;
};

// Opens COM`portNumber`, sets it up as the driver does, drops what it received before and issues
// the read; false when the port cannot be had, with nothing held.
bool openServiceLine(ServiceLine& line, uint16_t portNumber);
// Closes the port: its reads end, and their routines run no more once the thread stops waiting.
void closeServiceLine(ServiceLine& line);
// Starts the hub's next write, unless one is under way, the line failed, or nothing may go `now`.
void writeServiceLine(ServiceLine& line, ShareHub& hub, uint32_t now);
// Hands the bytes of the read, once it has completed, to the hub, and issues it again.
void takeServiceLineInput(ServiceLine& line, ShareHub& hub);
// Cancels a write past its deadline (its routine then fails the line); how soon the one under way
// falls due, or platform::noTimeLimit.
uint32_t endOverdueWrite(ServiceLine& line, uint32_t now);
