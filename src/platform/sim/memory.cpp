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

namespace platform {

void* mapSharedMemory(const char16_t* name, size_t size, Handle& mapping, bool) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    sim::World& world = sim::world();
    if (world.namedObjectsFail) {
        return nullptr;
    }
    sim::SharedMemory& memory = world.sharedMemories[name];
    if (memory.words.empty() || (memory.users == 0 && !memory.kept)) {
        memory.words.assign((size + 7) / 8, 0);
    }
    ++memory.users;
    mapping = world.nextHandle++;
    world.mappingHandles[mapping] = name;
    return memory.words.data();
}

void* mapKeptRecord(const char16_t* name, size_t size, Handle& mapping) {
    void* view = mapSharedMemory(name, size, mapping);
    if (view != nullptr) {
        std::lock_guard<std::mutex> hold(sim::world().lock);
        sim::world().sharedMemories[name].kept = true;
    }
    return view;
}

void unmapSharedMemory(void*, Handle mapping) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    sim::World& world = sim::world();
    auto found = world.mappingHandles.find(mapping);
    if (found == world.mappingHandles.end()) {
        ++world.badCloses;
        return;
    }
    // The last process to let go takes the memory with it, as the OS does.
    sim::SharedMemory& memory = world.sharedMemories.at(found->second);
    if (--memory.users == 0 && !memory.kept) {
        world.sharedMemories.erase(found->second);
    }
    world.mappingHandles.erase(found);
}

} // namespace platform
