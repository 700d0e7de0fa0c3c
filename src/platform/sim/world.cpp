#include "platform/sim/sim.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace sim {

namespace {
World* theWorld = new World;
} // namespace

World& world() {
    return *theWorld;
}

void reset() {
    for (auto& task : theWorld->tasks) {
        // A thread still running would outlive the machine it runs on.
        if (!task.second.ended) {
            std::fprintf(stderr, "a simulated thread is still running at the end of a test\n");
            std::abort();
        }
        if (task.second.thread.joinable()) {
            task.second.thread.join();
        }
    }
    for (auto& heap : theWorld->heaps) {
        for (void* memory : heap.second) {
            std::free(memory);
        }
    }
    delete theWorld;
    theWorld = new World;
}

std::vector<uint8_t> wire(uint32_t port) {
    std::lock_guard<std::mutex> hold(world().lock);
    std::vector<uint8_t> bytes;
    for (const auto& chunk : world().ports[port].writes) {
        bytes.insert(bytes.end(), chunk.begin(), chunk.end());
    }
    return bytes;
}

size_t liveAllocations() {
    std::lock_guard<std::mutex> hold(world().lock);
    size_t count = 0;
    for (const auto& heap : world().heaps) {
        count += heap.second.size();
    }
    return count;
}

} // namespace sim

namespace sim {

platform::Handle newHandle(const std::string& kind, uint32_t port, const std::u16string& path) {
    platform::Handle handle = world().nextHandle++;
    world().openHandles[handle] = {kind, port, path};
    return handle;
}

} // namespace sim

namespace sim {

RegistryValue dwordValue(uint32_t value) {
    return {4,
            {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
             static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)}};
}

} // namespace sim

namespace sim {

bool waitUntil(const std::function<bool()>& condition) {
    std::unique_lock<std::mutex> hold(world().lock);
    return world().changed.wait_for(hold, std::chrono::seconds(20), condition);
}

size_t notificationCount() {
    std::lock_guard<std::mutex> hold(world().lock);
    return world().notifications.size();
}

void setClock(uint32_t milliseconds) {
    std::lock_guard<std::mutex> hold(world().lock);
    world().clock = milliseconds;
    world().changed.notify_all(); // waits with a time limit run on this clock
}

} // namespace sim
