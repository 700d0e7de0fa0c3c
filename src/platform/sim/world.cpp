#include "platform/sim/sim.h"

namespace sim {

namespace {
World* theWorld = new World;
} // namespace

World& world() {
    return *theWorld;
}

void reset() {
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

platform::Handle newHandle(const std::string& kind) {
    platform::Handle handle = world().nextHandle++;
    world().openHandles[handle] = kind;
    return handle;
}

} // namespace sim
