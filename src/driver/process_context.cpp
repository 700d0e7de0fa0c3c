#include "driver/process_context.h"

namespace {

// Both bitnesses of the driver open these names; "Local\" keeps them within the logon session.
constexpr char16_t sharedStateName[] = u"Local\\MELV-PCIF-MIDI-Driver-State-1";
constexpr char16_t ownerLockName[] = u"Local\\MELV-PCIF-MIDI-Driver-Owner-1";

bool connectSharedState(ProcessContext& process) {
    process.line.ownerLock = platform::openNamedLock(ownerLockName);
    if (process.line.ownerLock == platform::nullHandle) {
        return false;
    }
    if (process.line.shared != nullptr) {
        return true;
    }
    void* view =
        platform::mapSharedMemory(sharedStateName, sizeof(SharedState), process.sharedMapping);
    if (view == nullptr) {
        return false;
    }
    // A fresh mapping is all zero, which is the record's initial state: nothing is filled in, so
    // a process that loads while others use the record never overwrites what they use.
    process.line.shared = static_cast<SharedState*>(view);
    return true;
}

void disconnectSharedState(ProcessContext& process) {
    if (process.line.ownerLock != platform::nullHandle) {
        platform::closeHandle(process.line.ownerLock);
        process.line.ownerLock = platform::nullHandle;
    }
    if (process.sharedMapping != platform::nullHandle) {
        platform::unmapSharedMemory(process.line.shared, process.sharedMapping);
        process.sharedMapping = platform::nullHandle;
        process.line.shared = nullptr;
    }
}

} // namespace

bool createProcessContext(ProcessContext& process, uintptr_t moduleHandle) {
    process.moduleHandle = moduleHandle;
    if (process.heap != platform::nullHandle) {
        return true;
    }
    process.line.portHandle = platform::invalidHandle;
    process.line.heldGeneration = noHold;
    process.line.heldSlots = 0;
    process.heap = platform::createHeap(initialHeapSize);
    if (process.heap == platform::nullHandle) {
        return false;
    }
    if (!connectSharedState(process)) {
        disconnectSharedState(process);
        platform::destroyHeap(process.heap);
        process.heap = platform::nullHandle;
        return false;
    }
    process.line.ownerToken = platform::currentProcess();
    return true;
}

void destroyProcessContext(ProcessContext& process) {
    if (process.heap == platform::nullHandle) {
        return;
    }
    disconnectSharedState(process);
    platform::destroyHeap(process.heap);
    process.heap = platform::nullHandle;
}
