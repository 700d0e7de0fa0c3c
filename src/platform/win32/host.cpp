#include "platform/platform.h"

#include <windows.h>

#include <mmsystem.h>

#include <mmddk.h>

// winmm exports it, but the SDK headers at hand do not declare it.
extern "C" BOOL WINAPI DriverCallback(DWORD_PTR callback, DWORD flags, HDRVR device, DWORD message,
                                      DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR param2);

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

bool startTask(TaskRoutine routine, uintptr_t data, Handle& thread) {
    HANDLE handle = nullptr;
    if (mmTaskCreate(reinterpret_cast<LPTASKCALLBACK>(routine), &handle, data) != 0) {
        return false;
    }
    thread = reinterpret_cast<Handle>(handle);
    return true;
}

uint32_t milliseconds() {
    return timeGetTime();
}

} // namespace platform
