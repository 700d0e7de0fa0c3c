#include "platform/sim/sim.h"

#include <cstdlib>

namespace platform {

Handle createHeap(size_t) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    if (sim::world().heapCreateFails) {
        return nullHandle;
    }
    Handle heap = sim::newHandle("heap");
    sim::world().heaps[heap];
    return heap;
}

void* heapAllocate(Handle heap, size_t size) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    if (sim::world().allocationFails) {
        return nullptr;
    }
    void* memory = std::calloc(1, size);
    sim::world().heaps.at(heap).insert(memory);
    return memory;
}

void heapFree(Handle heap, void* memory) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    if (sim::world().heaps.at(heap).erase(memory) == 1) {
        std::free(memory);
    }
}

void destroyHeap(Handle heap) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    for (void* memory : sim::world().heaps.at(heap)) {
        std::free(memory);
    }
    sim::world().heaps.erase(heap);
    sim::world().openHandles.erase(heap);
}

} // namespace platform
