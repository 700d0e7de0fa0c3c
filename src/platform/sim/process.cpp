#include "platform/sim/sim.h"

namespace platform {

void stopThreadNotifications(uintptr_t) {}

ProcessIdentity currentProcess() {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    return sim::world().currentProcess;
}

bool processIsRunning(ProcessIdentity process) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    for (const ProcessIdentity& ended : sim::world().endedProcesses) {
        if (ended.id == process.id && ended.startTime == process.startTime) {
            return false;
        }
    }
    return true;
}

} // namespace platform
