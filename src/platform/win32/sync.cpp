#include "platform/platform.h"

#include <windows.h>

namespace platform {

uint32_t lastError() {
    return GetLastError();
}

void closeHandle(Handle handle) {
    CloseHandle(reinterpret_cast<HANDLE>(handle));
}

Handle createEvent() {
    return reinterpret_cast<Handle>(CreateEventW(nullptr, FALSE, FALSE, nullptr));
}

void setEvent(Handle event) {
    SetEvent(reinterpret_cast<HANDLE>(event));
}

void waitForever(Handle handle) {
    WaitForSingleObject(reinterpret_cast<HANDLE>(handle), INFINITE);
}

bool waitAlertably(Handle event) {
    return WaitForSingleObjectEx(reinterpret_cast<HANDLE>(event), INFINITE, TRUE) !=
           WAIT_IO_COMPLETION;
}

} // namespace platform
