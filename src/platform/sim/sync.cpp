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
    if (sim::world().lockHandles.erase(handle) != 0) {
        return;
    }
    auto found = sim::world().openHandles.find(handle);
    if (found == sim::world().openHandles.end()) {
        ++sim::world().badCloses;
        return;
    }
    // Closing a port ends the reads and writes still going on it, as the OS does. The simulated
    // machine has one writer per port at a time, so every stalled write is this port's.
    // So does closing a connection to the sharing service, or an instance of its own pipe.
    if (auto connection = sim::world().sharing.connections.find(handle);
        connection != sim::world().sharing.connections.end()) {
        connection->second.closed = true;
        sim::abortReads([handle](const sim::OutstandingRead& read) { return read.pipe == handle; });
    }
    if (auto served = sim::world().servedPipes.find(handle);
        served != sim::world().servedPipes.end()) {
        served->second.closed = true;
        sim::abortReads([handle](const sim::OutstandingRead& read) { return read.pipe == handle; });
    }
    uint32_t port = found->second.port;
    if (port != 0) {
        sim::abortReads([port](const sim::OutstandingRead& read) { return read.port == port; });
        for (auto& write : sim::world().pendingWrites) {
            if (write.second == sim::WriteOutcome::stalls) {
                write.second = sim::WriteOutcome::cancelled;
            }
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

} // namespace platform

namespace {

// Whether the handle is signalled: an event that is set, or a task that has ended.
bool signalled(sim::World& world, platform::Handle handle) {
    auto event = world.events.find(handle);
    if (event != world.events.end()) {
        return event->second;
    }
    auto task = world.tasks.find(handle);
    return task != world.tasks.end() && task->second.ended;
}

// A thread the system ends (sim::endThread) stops at its wait and never runs again. It waits on
// something of its own, which outlives every simulated machine.
void stopIfEnded(sim::World& world, std::unique_lock<std::mutex>& hold) {
    uint32_t me = platform::currentThreadId();
    if (world.endingThreads.count(me) == 0) {
        return;
    }
    world.endingThreads.erase(me);
    world.changed.notify_all();
    hold.unlock();
    static auto* nothing = new std::pair<std::mutex, std::condition_variable>();
    std::unique_lock<std::mutex> never(nothing->first);
    nothing->second.wait(never, [] { return false; });
}

bool ending(sim::World& world) {
    return world.endingThreads.count(platform::currentThreadId()) != 0;
}

} // namespace

namespace platform {

Signalled waitFor(Handle first, Handle second, uint32_t limit) {
    std::unique_lock<std::mutex> hold(sim::world().lock);
    sim::World& world = sim::world();
    // The limit runs on the simulated clock, which only a test moves.
    uint32_t start = world.clock;
    auto limitPassed = [&] { return limit != noTimeLimit && world.clock - start >= limit; };
    world.timedWaits += limit != noTimeLimit;
    world.changed.notify_all();
    world.changed.wait(hold, [&] {
        return signalled(world, first) || signalled(world, second) || limitPassed() ||
               ending(world);
    });
    world.timedWaits -= limit != noTimeLimit;
    stopIfEnded(world, hold);
    for (Signalled which : {Signalled::first, Signalled::second}) {
        Handle handle = which == Signalled::first ? first : second;
        if (signalled(world, handle)) {
            if (world.events.count(handle) != 0) {
                world.events[handle] = false; // auto-reset: one waiter released per signal
            }
            return which;
        }
    }
    return Signalled::none;
}

Woken waitAlertably(Handle event, uint32_t limit) {
    uint32_t which = 0;
    return waitAlertablyForAny(&event, 1, limit, which);
}

Woken waitAlertablyForAny(const Handle* events, uint32_t count, uint32_t limit, uint32_t& which) {
    std::unique_lock<std::mutex> hold(sim::world().lock);
    sim::World& world = sim::world();
    std::deque<sim::Completion>& mine = world.completions[currentThreadId()];
    auto firstSignalled = [&] {
        uint32_t at = 0;
        while (at < count && !world.events[events[at]]) {
            ++at;
        }
        return at;
    };
    // The limit runs on the simulated clock, which only a test moves.
    uint32_t start = world.clock;
    auto limitPassed = [&] { return limit != noTimeLimit && world.clock - start >= limit; };
    world.timedWaits += limit != noTimeLimit;
    ++world.alertableWaits;
    world.lastAlertableWaitStart = start;
    world.changed.notify_all();
    world.changed.wait(hold, [&] {
        return !mine.empty() || firstSignalled() < count || limitPassed() || ending(world);
    });
    world.timedWaits -= limit != noTimeLimit;
    --world.alertableWaits;
    stopIfEnded(world, hold);
    if (mine.empty()) {
        which = firstSignalled();
        if (which == count) {
            return Woken::byTimeLimit;
        }
        world.events[events[which]] = false;
        return Woken::bySignal;
    }
    // Completion routines run on this thread, inside its wait, in the order the reads completed.
    std::deque<sim::Completion> due;
    due.swap(mine);
    hold.unlock();
    for (const sim::Completion& completion : due) {
        completion.routine(completion.error, completion.count, completion.record);
    }
    return Woken::byCompletions;
}

} // namespace platform

namespace platform {

Handle openNamedLock(const char16_t* name) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    if (sim::world().namedObjectsFail) {
        return nullHandle;
    }
    Handle lock = sim::world().nextHandle++;
    sim::world().namedLocks[name];
    sim::world().lockHandles[lock] = name;
    return lock;
}

bool takeNamedLock(Handle lock, uint32_t limit) {
    std::unique_lock<std::mutex> hold(sim::world().lock);
    sim::World& world = sim::world();
    sim::NamedLock& named = world.namedLocks.at(world.lockHandles.at(lock));
    uint32_t me = currentThreadId();
    // The limit runs on the simulated clock, which only a test moves.
    uint32_t start = world.clock;
    ++world.timedWaits;
    world.changed.notify_all();
    world.changed.wait(hold, [&] {
        return named.depth == 0 || named.holder == me || world.clock - start >= limit;
    });
    --world.timedWaits;
    if (named.depth != 0 && named.holder != me) {
        return false;
    }
    named.holder = me;
    ++named.depth;
    ++named.takes;
    return true;
}

void releaseNamedLock(Handle lock) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    sim::World& world = sim::world();
    sim::NamedLock& named = world.namedLocks.at(world.lockHandles.at(lock));
    if (named.depth > 0 && named.holder == currentThreadId() && --named.depth == 0) {
        named.holder = 0;
        world.changed.notify_all();
    }
}

} // namespace platform
