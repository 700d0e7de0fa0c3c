// What one process that loaded the driver owns: its module handle, its private heap, and its line
// (its OwnerToken, its view of the state shared between processes, and the serial port while it
// holds it).
#pragma once

#include "line/line.h"
#include "line/outputs.h"
#include "line/sounding.h"
#include "stream/stream.h"

#include <atomic>
#include <cstdint>
#include <mutex>

constexpr uint32_t streamsPerDevice = 8;

struct ProcessContext {
    uintptr_t moduleHandle;
    platform::Handle heap;
    PortLine line;
    OwedSilence owed; // what resets handed over, for whichever sender has the wire
    // The streams open now, in the row of their device (at its slot number - 1): the rule of a
    // stream's life is in driver/open_close.h. A call names its stream by the device and the
    // pointer the host hands back, which may be one closed already, or one whose close has begun
    // (a client closing again from its close notification): only a stream found here is ever
    // touched. A device the process holds the port for is open once at a time; one opened through
    // the sharing service up to streamsPerDevice times, as by a host's several plug-ins.
    std::mutex streamsLock;
    Stream* openStreams[deviceSlotCount][streamsPerDevice];
    // How many streams of each device go through the sharing service, counted from the start of
    // their open until their close has let them go, under streamsLock: a row has a place for
    // every one of them.
    uint8_t linkedStreams[deviceSlotCount];
    bool developerTrace; // a line per call for a debug viewer (driver/trace.h)
};

// The private heap starts small and grows as streams are opened.
constexpr size_t initialHeapSize = 800;

bool createProcessContext(ProcessContext& process, uintptr_t moduleHandle);
void destroyProcessContext(ProcessContext& process);
