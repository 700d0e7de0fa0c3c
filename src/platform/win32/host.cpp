#include "platform/platform.h"

#include <windows.h>

#include <mmsystem.h>

#include <new>

// winmm exports it, but the SDK headers at hand do not declare it.
extern "C" BOOL WINAPI DriverCallback(DWORD_PTR callback, DWORD flags, HDRVR device, DWORD message,
                                      DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR param2);

namespace {

struct TaskStart {
    platform::TaskRoutine routine;
    uintptr_t data;
    HMODULE module; // the reference the thread holds on this module
};

DWORD WINAPI runTask(LPVOID start) {
    TaskStart task = *static_cast<TaskStart*>(start);
    delete static_cast<TaskStart*>(start);
    task.routine(task.data);
    // Releasing the last reference unloads this very code, so the thread never returns into it.
    FreeLibraryAndExitThread(task.module, 1);
}

} // namespace

namespace platform {

void driverCallback(uintptr_t callback, uint32_t flags, uintptr_t device, uint32_t message,
                    uintptr_t instance, uintptr_t param1, uintptr_t param2) {
    DriverCallback(callback, flags, reinterpret_cast<HDRVR>(device), message, instance, param1,
                   param2);
}

intptr_t defaultDriverProc(uintptr_t driverId, uintptr_t driver, uint32_t message, intptr_t param1,
                           intptr_t param2) {
    return DefDriverProc(driverId, reinterpret_cast<HDRVR>(driver), message, param1, param2);
}

void beginFineTimer() {
    timeBeginPeriod(1);
}

void endFineTimer() {
    timeEndPeriod(1);
}

// The host's mmTaskCreate would do, but Wine's keeps only 32 bits of the thread's data in 64-bit
// processes and hands back an event rather than the thread: a plain thread serves both hosts.
bool startTask(TaskRoutine routine, uintptr_t data, Handle& thread) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&runTask), &module)) {
        return false;
    }
    auto* start = new (std::nothrow) TaskStart{routine, data, module};
    HANDLE handle =
        start == nullptr ? nullptr : CreateThread(nullptr, 0, runTask, start, 0, nullptr);
    if (handle == nullptr) {
        delete start;
        FreeLibrary(module);
        return false;
    }
    thread = reinterpret_cast<Handle>(handle);
    return true;
}

uint32_t milliseconds() {
    return timeGetTime();
}

} // namespace platform
