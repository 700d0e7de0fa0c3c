#include "platform/platform.h"

#include <windows.h>

namespace {

// Waits for an overlapped operation on the pipe; one still going on at the limit is cancelled and
// waited for to its end, since the OS writes into the record (and, for a read, the buffer) until
// then.
platform::IoEnd finishPipeIo(HANDLE pipe, OVERLAPPED* overlapped, uint32_t limit, uint32_t& count) {
    DWORD moved = 0;
    DWORD waited = WaitForSingleObject(overlapped->hEvent, limit);
    if (waited != WAIT_OBJECT_0) {
        CancelIoEx(pipe, overlapped);
        GetOverlappedResult(pipe, overlapped, &moved, TRUE);
        return waited == WAIT_TIMEOUT ? platform::IoEnd::late : platform::IoEnd::failed;
    }
    bool done = GetOverlappedResult(pipe, overlapped, &moved, FALSE) != 0;
    count = moved;
    return done ? platform::IoEnd::done : platform::IoEnd::failed;
}

// The process id of the machine's service `name` while it runs, or 0.
DWORD serviceProcessId(const char16_t* name) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        return 0;
    }
    SC_HANDLE service =
        OpenServiceW(manager, reinterpret_cast<LPCWSTR>(name), SERVICE_QUERY_STATUS);
    SERVICE_STATUS_PROCESS status = {};
    DWORD size = 0;
    if (service != nullptr) {
        if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                  sizeof status, &size)) {
            status.dwProcessId = 0;
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return status.dwProcessId;
}

} // namespace

namespace platform {

Handle connectPipe(const char16_t* name, uint32_t limit) {
    auto path = reinterpret_cast<LPCWSTR>(name);
    // Identification only: the service may ask who the program is, never act as it. Exactly the
    // rights the service's pipe grants users: GENERIC_WRITE would ask for more, and be refused.
    constexpr DWORD flags = FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
    constexpr DWORD access = FILE_READ_DATA | FILE_WRITE_DATA | FILE_READ_ATTRIBUTES |
                             FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
    // Another program may take the instance that was free before this one gets it: the wait
    // goes on, within its limit, until one is had.
    DWORD start = GetTickCount();
    HANDLE pipe = CreateFileW(path, access, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    while (pipe == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PIPE_BUSY) {
        DWORD waited = GetTickCount() - start;
        if (waited >= limit || !WaitNamedPipeW(path, limit - waited)) {
            SetLastError(ERROR_PIPE_BUSY);
            break;
        }
        pipe = CreateFileW(path, access, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    }
    if (pipe == INVALID_HANDLE_VALUE) {
        return invalidHandle;
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr)) {
        DWORD error = GetLastError();
        CloseHandle(pipe);
        SetLastError(error);
        return invalidHandle;
    }
    return reinterpret_cast<Handle>(pipe);
}

bool pipeServerIsTrusted(Handle pipe, const char16_t* service) {
    ULONG serverId = 0;
    return GetNamedPipeServerProcessId(reinterpret_cast<HANDLE>(pipe), &serverId) &&
           serverId != 0 && serverId == serviceProcessId(service);
}

bool startService(const char16_t* name) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        return false;
    }
    SC_HANDLE service = OpenServiceW(manager, reinterpret_cast<LPCWSTR>(name), SERVICE_START);
    bool started = service != nullptr && StartServiceW(service, 0, nullptr);
    DWORD error = GetLastError();
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    SetLastError(started ? ERROR_SUCCESS : error);
    return started;
}

IoEnd writePipe(Handle pipe, const uint8_t* bytes, uint32_t count, CompletionRecord* record,
                uint32_t limit) {
    HANDLE handle = reinterpret_cast<HANDLE>(pipe);
    auto* overlapped = reinterpret_cast<OVERLAPPED*>(record);
    if (!WriteFile(handle, bytes, count, nullptr, overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
        return IoEnd::failed;
    }
    uint32_t written = 0;
    IoEnd end = finishPipeIo(handle, overlapped, limit, written);
    return end == IoEnd::done && written != count ? IoEnd::failed : end;
}

IoEnd readPipe(Handle pipe, uint8_t* into, uint32_t capacity, CompletionRecord* record,
               uint32_t limit, uint32_t& count) {
    HANDLE handle = reinterpret_cast<HANDLE>(pipe);
    auto* overlapped = reinterpret_cast<OVERLAPPED*>(record);
    count = 0;
    // A message longer than `capacity` fails with ERROR_MORE_DATA: it is none the service sends.
    if (!ReadFile(handle, into, capacity, nullptr, overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
        return IoEnd::failed;
    }
    return finishPipeIo(handle, overlapped, limit, count);
}

void pause(uint32_t ms) {
    Sleep(ms);
}

} // namespace platform
