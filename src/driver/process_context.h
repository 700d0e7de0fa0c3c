// What one process that loaded the driver owns: its module handle, its private heap, and its line
// (its OwnerToken, its view of the state shared between processes, and the serial port while it
// holds it).
#pragma once

#include "output/sounding.h"
#include "port/line.h"
#include "port/outputs.h"

#include <atomic>
#include <cstdint>
#include <mutex>

struct ProcessContext {
    uintptr_t moduleHandle;
    platform::Handle heap;
    PortLine line;
    OwedSilence owed; // what resets handed over, for whichever sender has the wire
};

// The private heap starts small and grows as streams are opened.
constexpr size_t initialHeapSize = 800;

bool createProcessContext(ProcessContext& process, uintptr_t moduleHandle);
void destroyProcessContext(ProcessContext& process);
