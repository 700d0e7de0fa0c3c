#include "platform/sim/sim.h"

namespace platform {

void driverCallback(uintptr_t callback, uint32_t flags, uintptr_t device, uint32_t message,
                    uintptr_t instance, uintptr_t param1, uintptr_t param2) {
    sim::Notification notification = {callback, flags, device, message, instance, param1, param2};
    std::function<void(const sim::Notification&)> client;
    {
        std::lock_guard<std::mutex> hold(sim::world().lock);
        sim::world().notifications.push_back(notification);
        client = sim::world().onNotify;
        sim::world().changed.notify_all();
    }
    if (client) {
        client(notification);
    }
}

intptr_t defaultDriverProc(uintptr_t driverId, uintptr_t driver, uint32_t message, intptr_t param1,
                           intptr_t param2) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    sim::world().defaultDriverProcCalls.push_back({driverId, driver, message, param1, param2});
    return sim::world().defaultDriverProcResult;
}

void beginFineTimer() {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    ++sim::world().finePeriods;
}

void endFineTimer() {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    --sim::world().finePeriods;
}

bool startTask(TaskRoutine routine, uintptr_t data, Handle& thread) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    if (sim::world().taskStartFails) {
        return false;
    }
    Handle handle = sim::newHandle("thread");
    sim::Task& task = sim::world().tasks[handle];
    ++sim::world().moduleReferences;
    task.thread = std::thread([routine, data, handle] {
        routine(data);
        std::lock_guard<std::mutex> end(sim::world().lock);
        --sim::world().moduleReferences;
        sim::world().tasks[handle].ended = true;
        sim::world().changed.notify_all();
    });
    thread = handle;
    return true;
}

uint32_t milliseconds() {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    return sim::world().clock;
}

} // namespace platform
