#include "driver/process_context.h"

#include <atomic>

namespace {

// Both bitnesses of the driver open these names; "Local\" keeps them within the logon session.
constexpr char16_t sharedStateName[] = u"Local\\MELV-PCIF-MIDI-Driver-State-1";
constexpr char16_t ownerLockName[] = u"Local\\MELV-PCIF-MIDI-Driver-Owner-1";

// How long a process waits for another one to fill in a record it has just made. Filling it takes
// a few instructions; one that is still not done after this died half-way, and the record is
// filled in again.
constexpr uint32_t fillingPatienceMs = 1000;

// The first process to map the record fills in its initial values, without taking ownerLock: this
// runs inside the loader's module attach, which must not wait for other processes.
void makeReady(SharedState& shared) {
    std::atomic_ref<uint32_t> readiness(shared.readiness);
    uint32_t expected = sharedStateFresh;
    if (!readiness.compare_exchange_strong(expected, sharedStateFilling)) {
        uint32_t since = platform::milliseconds();
        while (readiness.load() != sharedStateReady) {
            if (platform::milliseconds() - since > fillingPatienceMs) {
                break;
            }
        }
        if (readiness.load() == sharedStateReady) {
            return;
        }
    }
    SharedState initial = initialSharedState;
    initial.readiness = sharedStateFilling;
    shared = initial;
    readiness.store(sharedStateReady);
}

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
    process.shared = static_cast<SharedState*>(view);
    makeReady(*process.shared);
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
