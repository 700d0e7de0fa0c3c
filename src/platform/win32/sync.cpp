#include "platform/platform.h"

#include "platform/win32/user_only.h"

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

Signalled waitFor(Handle first, Handle second, uint32_t limit) {
    HANDLE handles[] = {reinterpret_cast<HANDLE>(first), reinterpret_cast<HANDLE>(second)};
    switch (WaitForMultipleObjects(second == nullHandle ? 1 : 2, handles, FALSE, limit)) {
    case WAIT_OBJECT_0:
        return Signalled::first;
    case WAIT_OBJECT_0 + 1:
        return Signalled::second;
    default:
        return Signalled::none;
    }
}

Woken waitAlertably(Handle event, uint32_t limit) {
    switch (WaitForSingleObjectEx(reinterpret_cast<HANDLE>(event), limit, TRUE)) {
    case WAIT_IO_COMPLETION:
        return Woken::byCompletions;
    case WAIT_TIMEOUT:
        return Woken::byTimeLimit;
    default:
        return Woken::bySignal;
    }
}

Woken waitAlertablyForAny(const Handle* events, uint32_t count, uint32_t limit, uint32_t& which) {
    DWORD woken = WaitForMultipleObjectsEx(count, reinterpret_cast<const HANDLE*>(events), FALSE,
                                           limit, TRUE);
    if (woken == WAIT_IO_COMPLETION) {
        return Woken::byCompletions;
    }
    if (woken < WAIT_OBJECT_0 + count) {
        which = woken - WAIT_OBJECT_0;
        return Woken::bySignal;
    }
    return Woken::byTimeLimit;
}

} // namespace platform

namespace platform {

Handle openNamedLock(const char16_t* name) {
    UserOnlySecurity security;
    HANDLE lock = CreateMutexW(userOnlySecurity(security), FALSE, reinterpret_cast<LPCWSTR>(name));
    freeUserOnlySecurity(security);
    return reinterpret_cast<Handle>(lock);
}

bool takeNamedLock(Handle lock, uint32_t limit) {
    DWORD waited = WaitForSingleObject(reinterpret_cast<HANDLE>(lock), limit);
    return waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED; // abandoned counts as taken
}

void releaseNamedLock(Handle lock) {
    ReleaseMutex(reinterpret_cast<HANDLE>(lock));
}

} // namespace platform
