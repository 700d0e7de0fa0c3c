#include "driver/process_context.h"

bool createProcessContext(ProcessContext& process, uintptr_t moduleHandle) {
    process.moduleHandle = moduleHandle;
    if (process.heap != platform::nullHandle) {
        return true;
    }
    process.heap = platform::createHeap(initialHeapSize);
    if (process.heap == platform::nullHandle) {
        return false;
    }
    process.ownerToken = platform::currentProcess();
    return true;
}

void destroyProcessContext(ProcessContext& process) {
    if (process.heap == platform::nullHandle) {
        return;
    }
    platform::destroyHeap(process.heap);
    process.heap = platform::nullHandle;
}
