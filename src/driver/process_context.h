// What one process that loaded the driver owns: its module handle, its private heap, its
// OwnerToken and its view of the state shared between processes.
#pragma once

#include "port/shared_state.h"

#include <cstdint>
#include <mutex>

struct ProcessContext {
    uintptr_t moduleHandle;
    platform::Handle heap;
    OwnerToken ownerToken;
    SharedState* shared;
    // Output streams of one process are driven from several threads at once. This lock makes the
    // port's state changes and each send (destination select plus its data) one step on the wire.
    // It is never held while the client's callback runs, since callbacks may call back in.
    std::mutex portLock;
    uint16_t pendingPort; // the port chosen in the configuration dialog while it is open
};

// The private heap starts small and grows as streams are opened.
constexpr size_t initialHeapSize = 800;

bool createProcessContext(ProcessContext& process, uintptr_t moduleHandle);
void destroyProcessContext(ProcessContext& process);
