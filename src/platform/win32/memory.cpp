#include "platform/platform.h"

#include "platform/win32/user_only.h"

#include <windows.h>

#include <cwchar>
#include <iterator>

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

namespace {

// The whole of a mapping just made, or null, the mapping closed again, when it cannot be had.
void* viewOf(HANDLE made, size_t size, platform::Handle& mapping) {
    if (made == nullptr) {
        return nullptr;
    }
    void* view = MapViewOfFile(made, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, size);
    if (view == nullptr) {
        CloseHandle(made);
        return nullptr;
    }
    mapping = reinterpret_cast<platform::Handle>(made);
    return view;
}

} // namespace

namespace platform {

void* mapSharedMemory(const char16_t* name, size_t size, Handle& mapping, bool unsandboxed) {
    UserOnlySecurity security;
    HANDLE made = CreateFileMappingW(INVALID_HANDLE_VALUE, userOnlySecurity(security, unsandboxed),
                                     PAGE_READWRITE, 0, static_cast<DWORD>(size),
                                     reinterpret_cast<LPCWSTR>(name));
    freeUserOnlySecurity(security);
    return viewOf(made, size, mapping);
}

void* mapKeptRecord(const char16_t* name, size_t size, Handle& mapping) {
    wchar_t path[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", path, MAX_PATH);
    const wchar_t folder[] = L"\\MELV PC IF MIDI Driver";
    size_t nameLength = std::wcslen(reinterpret_cast<const wchar_t*>(name));
    if (length == 0 || length + std::size(folder) + 1 + nameLength >= MAX_PATH) {
        return nullptr;
    }
    std::wcscpy(path + length, folder);
    CreateDirectoryW(path, nullptr); // there already, or it cannot be, which the file tells
    std::wcscat(path, L"\\");
    std::wcscat(path, reinterpret_cast<const wchar_t*>(name));
    HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    // The mapping keeps the file open, and grows a new one to the record's size, zero-filled.
    HANDLE made =
        CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, static_cast<DWORD>(size), nullptr);
    CloseHandle(file);
    return viewOf(made, size, mapping);
}

void unmapSharedMemory(void* view, Handle mapping) {
    UnmapViewOfFile(view);
    CloseHandle(reinterpret_cast<HANDLE>(mapping));
}

} // namespace platform
