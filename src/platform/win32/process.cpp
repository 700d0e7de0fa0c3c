#include "platform/platform.h"

#include <windows.h>

#include <cwchar>
#include <iterator>

namespace {

uint64_t startTimeOf(HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        return 0;
    }
    return (uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime;
}

} // namespace

namespace platform {

void stopThreadNotifications(uintptr_t module) {
    DisableThreadLibraryCalls(reinterpret_cast<HMODULE>(module));
}

ProcessIdentity currentProcess() {
    return {GetCurrentProcessId(), startTimeOf(GetCurrentProcess())};
}

bool processIsRunning(ProcessIdentity process) {
    HANDLE handle = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, process.id);
    if (handle == nullptr) {
        // A process we may not look at still runs; only "no such process" means it is gone.
        return GetLastError() == ERROR_ACCESS_DENIED;
    }
    bool running =
        WaitForSingleObject(handle, 0) == WAIT_TIMEOUT && startTimeOf(handle) == process.startTime;
    CloseHandle(handle);
    return running;
}

bool processFileName(ProcessIdentity process, char16_t* name, uint32_t capacity) {
    if (capacity == 0 || !processIsRunning(process)) {
        return false;
    }
    HANDLE handle = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process.id);
    wchar_t path[1024];
    DWORD length = std::size(path);
    bool named = handle != nullptr && QueryFullProcessImageNameW(handle, 0, path, &length);
    if (handle != nullptr) {
        CloseHandle(handle);
    }
    if (!named) {
        return false;
    }
    const wchar_t* file = std::wcsrchr(path, L'\\');
    file = file == nullptr ? path : file + 1;
    uint32_t at = 0;
    for (; file[at] != 0 && at + 1 < capacity; ++at) {
        name[at] = static_cast<char16_t>(file[at]);
    }
    name[at] = 0;
    return true;
}

// Asked of ntdll by name, as the driver imports only through the usual import libraries; looked
// up at each call, which a close makes at most once: a function-local static would have the
// runtime create a lock for its first use.
bool processIsEnding() {
    using Query = BOOLEAN(WINAPI*)();
    auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlDllShutdownInProgress")));
    return query != nullptr && query() != FALSE;
}

void raiseToTimeCritical() {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
}

uint32_t currentThreadId() {
    return GetCurrentThreadId();
}

bool environmentFlag(const char16_t* name) {
    wchar_t value[2] = {};
    return GetEnvironmentVariableW(reinterpret_cast<LPCWSTR>(name), value, 2) == 1 &&
           value[0] == L'1';
}

void debugOutput(const char16_t* line) {
    OutputDebugStringW(reinterpret_cast<LPCWSTR>(line));
}

} // namespace platform
