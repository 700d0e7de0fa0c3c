#include "platform/platform.h"

#include "platform/win32/user_only.h"

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

namespace platform {

void* mapSharedMemory(const char16_t* name, size_t size, Handle& mapping, bool unsandboxed) {
    UserOnlySecurity security;
    HANDLE made = CreateFileMappingW(INVALID_HANDLE_VALUE, userOnlySecurity(security, unsandboxed),
                                     PAGE_READWRITE, 0, static_cast<DWORD>(size),
                                     reinterpret_cast<LPCWSTR>(name));
    freeUserOnlySecurity(security);
    if (made == nullptr) {
        return nullptr;
    }
    void* view = MapViewOfFile(made, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, size);
    if (view == nullptr) {
        CloseHandle(made);
        return nullptr;
    }
    mapping = reinterpret_cast<Handle>(made);
    return view;
}

void unmapSharedMemory(void* view, Handle mapping) {
    UnmapViewOfFile(view);
    CloseHandle(reinterpret_cast<HANDLE>(mapping));
}

} // namespace platform
