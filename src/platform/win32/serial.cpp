#include "platform/platform.h"

#include <windows.h>

namespace platform {

Handle openSerialPort(const char16_t* name, uint32_t access) {
    HANDLE port = CreateFileW(reinterpret_cast<LPCWSTR>(name), access, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    return reinterpret_cast<Handle>(port);
}

bool configureSerialLine(Handle port, const char16_t* settings) {
    DCB line = {};
    line.DCBlength = sizeof line;
    HANDLE handle = reinterpret_cast<HANDLE>(port);
    return GetCommState(handle, &line) &&
           BuildCommDCBW(reinterpret_cast<LPCWSTR>(settings), &line) && SetCommState(handle, &line);
}

bool probeSerialPort(const char16_t* name) {
    HANDLE port = CreateFileW(reinterpret_cast<LPCWSTR>(name), GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(port);
    return true;
}

bool startWrite(Handle port, const uint8_t* bytes, uint32_t count, CompletionRecord* record) {
    return WriteFile(reinterpret_cast<HANDLE>(port), bytes, count, nullptr,
                     reinterpret_cast<OVERLAPPED*>(record)) != 0;
}

bool finishWrite(Handle port, CompletionRecord* record) {
    DWORD written = 0;
    return GetOverlappedResult(reinterpret_cast<HANDLE>(port),
                               reinterpret_cast<OVERLAPPED*>(record), &written, TRUE) != 0;
}

} // namespace platform
