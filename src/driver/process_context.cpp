#include "driver/process_context.h"

namespace {

// Both bitnesses of the driver open these names; "Local\" keeps them within the logon session.
constexpr char16_t sharedStateName[] = u"Local\\MELV-PCIF-MIDI-Driver-State-1";
constexpr char16_t ownerLockName[] = u"Local\\MELV-PCIF-MIDI-Driver-Owner-1";

bool connectSharedState(ProcessContext& process) {
    process.ownerLock = platform::openNamedLock(ownerLockName);
    if (process.ownerLock == platform::nullHandle) {
        return false;
    }
    if (process.shared != nullptr) {
        return true;
    }
    void* view =
        platform::mapSharedMemory(sharedStateName, sizeof(SharedState), process.sharedMapping);
    if (view == nullptr) {
        return false;
    }
    // A fresh mapping is all zero, which is the record's initial state: nothing is filled in, so
    // a process that loads while others use the record never overwrites what they use.
    process.shared = static_cast<SharedState*>(view);
    return true;
}

void disconnectSharedState(ProcessContext& process) {
    if (process.ownerLock != platform::nullHandle) {
        platform::closeHandle(process.ownerLock);
        process.ownerLock = platform::nullHandle;
    }
    if (process.sharedMapping != platform::nullHandle) {
        platform::unmapSharedMemory(process.shared, process.sharedMapping);
        process.sharedMapping = platform::nullHandle;
        process.shared = nullptr;
    }
}

} // namespace

bool createProcessContext(ProcessContext& process, uintptr_t moduleHandle) {
    process.moduleHandle = moduleHandle;
    if (process.heap != platform::nullHandle) {
        return true;
    }
    process.portHandle = platform::invalidHandle;
    process.heldGeneration = noHold;
    process.heldSlots = 0;
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
    process.ownerToken = platform::currentProcess();
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
