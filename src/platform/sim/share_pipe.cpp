// The simulated sharing service: installed when a test says so, started on demand, its pipe
// there while it runs. It answers requests as the test says, and a test hands input frames to a
// connection and ends the service.
#include "platform/sim/sim.h"

namespace {

constexpr uint32_t errorFileNotFound = 2;
constexpr uint32_t errorBrokenPipe = 109;
constexpr uint32_t errorServiceDoesNotExist = 1060;

sim::ShareConnection* connectionOf(platform::Handle pipe) {
    auto found = sim::world().sharing.connections.find(pipe);
    return found == sim::world().sharing.connections.end() ? nullptr : &found->second;
}

// The frame goes to the connection's outstanding read, if it has one, or waits for the next.
void deliver(platform::Handle pipe, sim::ShareConnection& connection) {
    sim::World& world = sim::world();
    for (auto read = world.reads.begin(); read != world.reads.end(); ++read) {
        if (read->pipe == pipe && !connection.toDriver.empty()) {
            std::vector<uint8_t> frame = connection.toDriver.front();
            connection.toDriver.pop_front();
            std::copy(frame.begin(), frame.end(), read->into);
            world.completions[read->thread].push_back(
                {read->routine, 0, static_cast<uint32_t>(frame.size()), read->record});
            world.reads.erase(read);
            break;
        }
    }
    world.changed.notify_all();
}

} // namespace

namespace platform {

Handle connectPipe(const char16_t*, uint32_t) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    if (!sim::world().sharing.running) {
        sim::setLastError(errorFileNotFound);
        return invalidHandle;
    }
    Handle pipe = sim::newHandle("pipe");
    sim::world().sharing.connections[pipe] = {};
    sim::world().sharing.order.push_back(pipe);
    return pipe;
}

bool pipeServerIsTrusted(Handle, const char16_t*) {
    return true;
}

bool startService(const char16_t*) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    sim::SharingService& sharing = sim::world().sharing;
    ++sharing.starts;
    if (!sharing.installed) {
        sim::setLastError(errorServiceDoesNotExist);
        return false;
    }
    sharing.running = true;
    return true;
}

IoEnd writePipe(Handle pipe, const uint8_t* bytes, uint32_t count, CompletionRecord*, uint32_t) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    sim::ShareConnection* connection = connectionOf(pipe);
    if (connection == nullptr || connection->broken) {
        return IoEnd::failed;
    }
    connection->requests.emplace_back(bytes, bytes + count);
    std::vector<uint8_t> answer =
        sim::world().sharing.answer ? sim::world().sharing.answer(pipe, connection->requests.back())
                                    : std::vector<uint8_t>{};
    if (!answer.empty()) {
        connection->toDriver.push_back(answer);
        deliver(pipe, *connection);
    }
    return IoEnd::done;
}

IoEnd readPipe(Handle pipe, uint8_t* into, uint32_t, CompletionRecord*, uint32_t, uint32_t& count) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    sim::ShareConnection* connection = connectionOf(pipe);
    count = 0;
    if (connection == nullptr || connection->toDriver.empty()) {
        return connection == nullptr || connection->broken ? IoEnd::failed : IoEnd::late;
    }
    std::vector<uint8_t> frame = connection->toDriver.front();
    connection->toDriver.pop_front();
    std::copy(frame.begin(), frame.end(), into);
    count = static_cast<uint32_t>(frame.size());
    return IoEnd::done;
}

void pause(uint32_t) {
    std::this_thread::yield();
}

} // namespace platform

namespace sim {

// A read of the connection's next frame (platform::startRead on a pipe); called with the lock held.
bool startPipeRead(platform::Handle pipe, uint8_t* into, platform::CompletionRecord* record,
                   platform::IoRoutine routine) {
    ShareConnection* connection = connectionOf(pipe);
    uint32_t thread = platform::currentThreadId();
    if (connection == nullptr || connection->broken) {
        world().completions[thread].push_back({routine, errorBrokenPipe, 0, record});
        world().changed.notify_all();
        return true;
    }
    world().reads.push_back({thread, 0, into, record, routine, pipe});
    deliver(pipe, *connection);
    return true;
}

void serviceSends(size_t connection, const std::vector<uint8_t>& frame) {
    std::lock_guard<std::mutex> hold(world().lock);
    platform::Handle pipe = world().sharing.order.at(connection);
    world().sharing.connections[pipe].toDriver.push_back(frame);
    deliver(pipe, world().sharing.connections[pipe]);
}

void serviceEnds() {
    std::lock_guard<std::mutex> hold(world().lock);
    world().sharing.running = false;
    for (auto& connection : world().sharing.connections) {
        connection.second.broken = true;
        connection.second.toDriver.clear();
    }
    abortReads([](const OutstandingRead& read) { return read.pipe != platform::nullHandle; },
               errorBrokenPipe);
}

std::vector<std::vector<uint8_t>> shareRequests(size_t connection) {
    std::lock_guard<std::mutex> hold(world().lock);
    return world().sharing.connections[world().sharing.order.at(connection)].requests;
}

} // namespace sim
