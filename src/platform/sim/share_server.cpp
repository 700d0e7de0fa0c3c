// The sharing service's own pipe on the simulated machine: instances the service makes, which
// programs a test plays come to, write frames on and leave.
#include "platform/sim/sim.h"

#include <algorithm>

namespace {

constexpr uint32_t errorBrokenPipe = 109;
constexpr uint32_t errorMoreData = 234;
constexpr uint32_t errorPipeNotConnected = 233;
constexpr uint32_t errorAccessDenied = 5;

// The instance's next frame goes to its outstanding read, if it has one; a frame longer than the
// read's buffer fills it and ends the read with ERROR_MORE_DATA.
void deliver(platform::Handle pipe, sim::ServedPipe& served) {
    sim::World& world = sim::world();
    auto read = std::find_if(world.reads.begin(), world.reads.end(),
                             [pipe](const sim::OutstandingRead& r) { return r.pipe == pipe; });
    if (read != world.reads.end() && !served.toService.empty()) {
        std::vector<uint8_t> frame = std::move(served.toService.front());
        served.toService.pop_front();
        auto count = static_cast<uint32_t>(std::min<size_t>(frame.size(), read->capacity));
        std::copy_n(frame.begin(), count, read->into);
        served.anyRead = true;
        world.completions[read->thread].push_back(
            {read->routine, frame.size() > count ? errorMoreData : 0, count, read->record});
        world.reads.erase(read);
    }
    world.changed.notify_all();
}

sim::ServedPipe* servedOf(platform::Handle pipe) {
    auto found = sim::world().servedPipes.find(pipe);
    return found == sim::world().servedPipes.end() ? nullptr : &found->second;
}

sim::ServedPipe& connectionNumbered(size_t connection) {
    return sim::world().servedPipes[sim::world().servedOrder.at(connection)];
}

} // namespace

namespace platform {

Handle listenOnPipe(const char16_t*, uint32_t, bool first, bool, CompletionRecord* connecting) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    sim::World& world = sim::world();
    bool made = std::any_of(world.servedPipes.begin(), world.servedPipes.end(),
                            [](const auto& pipe) { return !pipe.second.closed; });
    if (first && made) {
        sim::setLastError(errorAccessDenied);
        return invalidHandle;
    }
    Handle pipe = sim::newHandle("pipe");
    world.servedPipes[pipe].connecting = connecting;
    return pipe;
}

bool pipeCaller(Handle pipe, PipeCaller& caller) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    sim::ServedPipe* served = servedOf(pipe);
    if (served == nullptr || !served->connected) {
        return false;
    }
    caller.processId = served->caller.processId;
    caller.session = served->caller.session;
    return true;
}

bool pipeCallerUser(Handle pipe, PipeCaller& caller) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    sim::ServedPipe* served = servedOf(pipe);
    if (served == nullptr || !served->anyRead) {
        return false;
    }
    caller.session = served->caller.session;
    caller.userBytes = served->caller.userBytes;
    std::copy_n(served->caller.user, userIdBytesMax, caller.user);
    return true;
}

} // namespace platform

namespace sim {

bool startServedRead(platform::Handle pipe, uint8_t* into, uint32_t capacity,
                     platform::CompletionRecord* record, platform::IoRoutine routine) {
    ServedPipe& served = world().servedPipes[pipe];
    uint32_t thread = platform::currentThreadId();
    if (served.programGone || served.closed) {
        world().completions[thread].push_back({routine, errorBrokenPipe, 0, record});
        world().changed.notify_all();
        return true;
    }
    world().reads.push_back({thread, 0, into, record, routine, pipe, capacity});
    deliver(pipe, served);
    return true;
}

bool startServedWrite(platform::Handle pipe, const uint8_t* bytes, uint32_t count,
                      platform::CompletionRecord* record, platform::IoRoutine routine) {
    ServedPipe& served = world().servedPipes[pipe];
    if (served.closed || !served.connected) {
        setLastError(errorPipeNotConnected);
        return false;
    }
    // A program that has gone takes nothing: the write ends as the pipe is found broken.
    bool taken = !served.programGone;
    if (taken) {
        served.toProgram.emplace_back(bytes, bytes + count);
    }
    world().completions[platform::currentThreadId()].push_back(
        {routine, taken ? 0 : errorBrokenPipe, taken ? count : 0, record});
    world().changed.notify_all();
    return true;
}

int32_t programConnects(const platform::PipeCaller& caller) {
    std::lock_guard<std::mutex> hold(world().lock);
    for (auto& [pipe, served] : world().servedPipes) {
        if (!served.connected && !served.closed) {
            served.connected = true;
            served.caller = caller;
            world().events[served.connecting->event] = true;
            world().servedOrder.push_back(pipe);
            world().changed.notify_all();
            return static_cast<int32_t>(world().servedOrder.size() - 1);
        }
    }
    return -1;
}

void programWrites(size_t connection, const std::vector<uint8_t>& frame) {
    std::lock_guard<std::mutex> hold(world().lock);
    ServedPipe& served = connectionNumbered(connection);
    served.toService.push_back(frame);
    deliver(world().servedOrder[connection], served);
}

void programLeaves(size_t connection) {
    std::lock_guard<std::mutex> hold(world().lock);
    platform::Handle pipe = world().servedOrder.at(connection);
    world().servedPipes[pipe].programGone = true;
    abortReads([pipe](const OutstandingRead& read) { return read.pipe == pipe; }, errorBrokenPipe);
}

std::vector<std::vector<uint8_t>> framesToProgram(size_t connection) {
    std::lock_guard<std::mutex> hold(world().lock);
    return connectionNumbered(connection).toProgram;
}

bool servedPipeClosed(size_t connection) {
    std::lock_guard<std::mutex> hold(world().lock);
    return connectionNumbered(connection).closed;
}

} // namespace sim
