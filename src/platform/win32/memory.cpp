#include "platform/platform.h"

#include <windows.h>

namespace platform {

Handle createHeap(size_t initialSize) {
    return reinterpret_cast<Handle>(HeapCreate(0, initialSize, 0));
}

void* heapAllocate(Handle heap, size_t size) {
    return HeapAlloc(reinterpret_cast<HANDLE>(heap), HEAP_ZERO_MEMORY, size);
}

void heapFree(Handle heap, void* memory) {
    HeapFree(reinterpret_cast<HANDLE>(heap), 0, memory);
}

void destroyHeap(Handle heap) {
    HeapDestroy(reinterpret_cast<HANDLE>(heap));
}

} // namespace platform
