// The sharing service's serial line: the port it holds for every program, the one write under way
// at a time (the hub's next), and eight one-byte reads whose bytes go to the hub in the order the
// reads were issued. Every port call goes through the platform, as the driver's own do. Its
// routines run on the service's thread while it waits alertably, and only note what completed:
// the loop hands bytes on and issues reads again after the wait (ARCHITECTURE.md).
#pragma once

#include "line/outputs.h"
#include "platform/platform.h"
#include "share/hub.h"

#include <cstdint>

constexpr uint32_t serviceLineReads = 8;

struct ServiceLine;

struct ServiceLineRead {
    platform::CompletionRecord record; // first: its routine is handed the record
    ServiceLine* line;
    uint8_t byte;
    bool done;
    uint32_t time; // when it came, on the hub's clock
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
    ServiceLineRead reads[serviceLineReads];
    uint32_t nextRead; // the read whose byte comes next, in issue order
    // A write or a read failed, or a read ended empty: what comes after could no longer be put in
    // order, and every program is let go.
    bool failed;
};

// Opens COM`portNumber`, sets it up as the driver does, drops what it received before and issues
// every read; false when the port cannot be had, with nothing held.
bool openServiceLine(ServiceLine& line, uint16_t portNumber);
// Closes the port: its reads end, and their routines run no more once the thread stops waiting.
void closeServiceLine(ServiceLine& line);
// Starts the hub's next write, unless one is under way, the line failed, or nothing may go `now`.
void writeServiceLine(ServiceLine& line, ShareHub& hub, uint32_t now);
// Hands the bytes of the reads that have completed to the hub, in issue order, and issues each
// read again.
void takeServiceLineInput(ServiceLine& line, ShareHub& hub);
// Cancels a write past its deadline (its routine then fails the line); how soon the one under way
// falls due, or platform::noTimeLimit.
uint32_t endOverdueWrite(ServiceLine& line, uint32_t now);
