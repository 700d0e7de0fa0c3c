#include "line/line.h"

#include "monitor/monitor.h"

namespace {

// Both bitnesses of the driver open this name; "Local\" keeps it within the logon session.
constexpr char16_t ownerLockName[] = u"Local\\MELV-PCIF-MIDI-Driver-Owner-1";

} // namespace

bool connectLine(PortLine& line) {
    line.ownerLock = platform::openNamedLock(ownerLockName);
    if (line.ownerLock == platform::nullHandle) {
        return false;
    }
    connectMonitor(line.monitor, line.ownerToken);
    if (line.shared != nullptr) {
        return true;
    }
    void* view =
        platform::mapSharedMemory(sharedStateName, sizeof(SharedState), line.sharedMapping);
    if (view == nullptr) {
        return false;
    }
    // A fresh mapping is all zero, which is the record's initial state: nothing is filled in, so
    // a process that loads while others use the record never overwrites what they use.
    line.shared = static_cast<SharedState*>(view);
    return true;
}

void keepSoundingRecord(PortLine& line) {
    if (line.sounding == nullptr) {
        line.sounding = static_cast<SoundingRecord*>(platform::mapKeptRecord(
            soundingRecordName, sizeof(SoundingRecord), line.soundingMapping));
    }
}

void disconnectLine(PortLine& line) {
    disconnectMonitor(line.monitor);
    if (line.sounding != nullptr) {
        platform::unmapSharedMemory(line.sounding, line.soundingMapping);
        line.sounding = nullptr;
    }
    if (line.ownerLock != platform::nullHandle) {
        platform::closeHandle(line.ownerLock);
        line.ownerLock = platform::nullHandle;
    }
    if (line.sharedMapping != platform::nullHandle) {
        platform::unmapSharedMemory(line.shared, line.sharedMapping);
        line.sharedMapping = platform::nullHandle;
        line.shared = nullptr;
    }
}
