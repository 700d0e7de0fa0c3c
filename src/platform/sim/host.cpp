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
        {
            std::lock_guard<std::mutex> begin(sim::world().lock);
            sim::world().tasks[handle].threadId = currentThreadId();
        }
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

namespace sim {

void endThread(platform::Handle thread) {
    std::unique_lock<std::mutex> hold(world().lock);
    Task& task = world().tasks.at(thread);
    uint32_t id = task.threadId;
    world().endingThreads.insert(id);
    world().changed.notify_all();
    world().changed.wait(hold, [id] { return world().endingThreads.count(id) == 0; });
    // The system cancels the reads of a thread it ends; their routines never run.
    std::erase_if(world().reads, [id](const OutstandingRead& read) { return read.thread == id; });
    world().completions.erase(id);
    task.thread.detach();
    task.ended = true;
    --world().moduleReferences;
    world().changed.notify_all();
}

} // namespace sim
