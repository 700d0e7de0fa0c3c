#include "platform/sim/sim.h"

#include <algorithm>
#include <atomic>

namespace platform {

void stopThreadNotifications(uintptr_t) {}

ProcessIdentity currentProcess() {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    return sim::world().currentProcess;
}

bool environmentFlag(const char16_t* name) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    auto found = sim::world().environment.find(name);
    return found != sim::world().environment.end() && found->second == u"1";
}

void debugOutput(const char16_t* line) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    sim::world().debugLines.emplace_back(line);
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

bool processFileName(ProcessIdentity process, char16_t* name, uint32_t capacity) {
    if (capacity == 0 || !processIsRunning(process)) {
        return false;
    }
    std::lock_guard<std::mutex> hold(sim::world().lock);
    auto found = sim::world().processNames.find(process.id);
    if (found == sim::world().processNames.end()) {
        return false;
    }
    size_t length = std::min<size_t>(found->second.size(), capacity - 1);
    found->second.copy(name, length);
    name[length] = 0;
    return true;
}

bool processIsEnding() {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    return sim::world().processEnding;
}

void raiseToTimeCritical() {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    ++sim::world().timeCriticalThreads;
}

uint32_t currentThreadId() {
    static std::atomic<uint32_t> lastId = 0;
    thread_local uint32_t id = ++lastId;
    return id;
}

} // namespace platform
