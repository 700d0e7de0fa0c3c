#include "platform/sim/sim.h"

namespace {
thread_local uint32_t lastErrorOfThread = 0;
} // namespace

namespace sim {
void setLastError(uint32_t error) {
    lastErrorOfThread = error;
}
} // namespace sim

namespace platform {

uint32_t lastError() {
    return lastErrorOfThread;
}

void closeHandle(Handle handle) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    auto found = sim::world().openHandles.find(handle);
    if (found == sim::world().openHandles.end()) {
        ++sim::world().badCloses;
        return;
    }
    // Closing a port ends the reads still outstanding on it, as the OS does.
    uint32_t port = found->second.port;
    auto& reads = sim::world().reads;
    for (auto read = reads.begin(); read != reads.end();) {
        if (port != 0 && read->port == port) {
            sim::world().completions[read->thread].push_back({read->routine, 995, 0, read->record});
            read = reads.erase(read);
        } else {
            ++read;
        }
    }
    sim::world().openHandles.erase(found);
    sim::world().changed.notify_all();
}

Handle createEvent() {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    if (sim::world().eventCreateFails) {
        return nullHandle;
    }
    Handle event = sim::newHandle("event");
    sim::world().events[event] = false;
    return event;
}

void setEvent(Handle event) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    sim::world().events[event] = true;
    sim::world().changed.notify_all();
}

void waitForever(Handle handle) {
    std::unique_lock<std::mutex> hold(sim::world().lock);
    sim::World& world = sim::world();
    if (world.events.count(handle) != 0) {
        world.changed.wait(hold, [&] { return world.events[handle]; });
        world.events[handle] = false; // auto-reset: one waiter released per signal
        return;
    }
    auto task = world.tasks.find(handle);
    if (task != world.tasks.end()) {
        world.changed.wait(hold, [&] { return task->second.ended; });
        std::thread ended = std::move(task->second.thread);
        hold.unlock();
        if (ended.joinable()) {
            ended.join();
        }
    }
}

bool waitAlertably(Handle event) {
    std::unique_lock<std::mutex> hold(sim::world().lock);
    sim::World& world = sim::world();
    std::deque<sim::Completion>& mine = world.completions[currentThreadId()];
    world.changed.wait(hold, [&] { return !mine.empty() || world.events[event]; });
    if (mine.empty()) {
        world.events[event] = false;
        return true;
    }
    // Completion routines run on this thread, inside its wait, in the order the reads completed.
    std::deque<sim::Completion> due;
    due.swap(mine);
    hold.unlock();
    for (const sim::Completion& completion : due) {
        completion.routine(completion.error, completion.count, completion.record);
    }
    return false;
}

} // namespace platform
