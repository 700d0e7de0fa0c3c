#include "driver/process_context.h"

bool createProcessContext(ProcessContext& process, uintptr_t moduleHandle) {
    process.moduleHandle = moduleHandle;
    if (process.heap != platform::nullHandle) {
        return true;
    }
    process.line.portHandle = platform::invalidHandle;
    process.line.heldGeneration = noHold;
    process.line.heldSlots = 0;
    for (auto& row : process.openStreams) {
        for (Stream*& stream : row) {
            stream = nullptr;
        }
    }
    process.heap = platform::createHeap(initialHeapSize);
    if (process.heap == platform::nullHandle) {
        return false;
    }
    process.line.ownerToken = platform::currentProcess();
    if (!connectLine(process.line)) {
        disconnectLine(process.line);
        platform::destroyHeap(process.heap);
        process.heap = platform::nullHandle;
        return false;
    }
    process.owed.notes = process.owed.ownNotes; // until the port is taken: see keepOwedIn
    return true;
}

void destroyProcessContext(ProcessContext& process) {
    if (process.heap == platform::nullHandle) {
        return;
    }
    disconnectLine(process.line);
    platform::destroyHeap(process.heap);
    process.heap = platform::nullHandle;
}
