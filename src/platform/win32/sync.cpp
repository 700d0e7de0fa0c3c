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

} // namespace platform
