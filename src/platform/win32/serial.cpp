#include "platform/platform.h"

#include <windows.h>

namespace {

// ReadFileEx and WriteFileEx leave the record's event alone: the caller's routine travels there,
// so that this thin layer keeps no state of its own.
VOID CALLBACK ioDone(DWORD error, DWORD count, LPOVERLAPPED overlapped) {
    auto* record = reinterpret_cast<platform::CompletionRecord*>(overlapped);
    reinterpret_cast<platform::IoRoutine>(record->event)(error, count, record);
}

// Wine reads a serial port as its time-outs say, except that under the documented ones for "what
// has arrived, waiting for the first byte" a read waits until its buffer is full. It gives that
// behaviour under the ones that on Windows make a read return at once, empty or not.
bool runsUnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

COMMTIMEOUTS hostTimeouts(const platform::SerialTimeouts& wanted) {
    COMMTIMEOUTS timeouts = {wanted.readInterval, wanted.readTotalMultiplier,
                             wanted.readTotalConstant, wanted.writeTotalMultiplier,
                             wanted.writeTotalConstant};
    if (wanted == platform::readsTakeWhatHasArrived && runsUnderWine()) {
        timeouts.ReadTotalTimeoutMultiplier = 0;
        timeouts.ReadTotalTimeoutConstant = 0;
    }
    return timeouts;
}

} // namespace

namespace platform {

Handle openSerialPort(const char16_t* name, uint32_t access) {
    HANDLE port = CreateFileW(reinterpret_cast<LPCWSTR>(name), access, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    return reinterpret_cast<Handle>(port);
}

bool configureSerialLine(Handle port, const LineSetup& setup) {
    DCB line = {};
    line.DCBlength = sizeof line;
    HANDLE handle = reinterpret_cast<HANDLE>(port);
    if (!GetCommState(handle, &line) ||
        !BuildCommDCBW(reinterpret_cast<LPCWSTR>(setup.mode), &line)) {
        return false;
    }
    const LineHandling& handling = setup.handling;
    line.fOutxCtsFlow = handling.outxCtsFlow;
    line.fOutxDsrFlow = handling.outxDsrFlow;
    line.fDtrControl = handling.dtrControl;
    line.fDsrSensitivity = handling.dsrSensitivity;
    line.fOutX = handling.outX;
    line.fInX = handling.inX;
    line.fErrorChar = handling.errorChar;
    line.fNull = handling.null;
    line.fRtsControl = handling.rtsControl;
    line.fAbortOnError = handling.abortOnError;
    COMMTIMEOUTS timeouts = hostTimeouts(setup.timeouts);
    return SetCommState(handle, &line) && SetCommTimeouts(handle, &timeouts);
}

void discardReceived(Handle port) {
    PurgeComm(reinterpret_cast<HANDLE>(port), PURGE_RXCLEAR);
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

IoEnd finishWrite(Handle port, CompletionRecord* record, uint32_t limit) {
    HANDLE handle = reinterpret_cast<HANDLE>(port);
    auto* overlapped = reinterpret_cast<OVERLAPPED*>(record);
    DWORD waited = WaitForSingleObject(reinterpret_cast<HANDLE>(record->event), limit);
    if (waited == WAIT_TIMEOUT) {
        return IoEnd::late;
    }
    DWORD written = 0;
    if (waited == WAIT_OBJECT_0) {
        return GetOverlappedResult(handle, overlapped, &written, FALSE) != 0 ? IoEnd::done
                                                                             : IoEnd::failed;
    }
    // The wait itself failed: the write may still be going on, and the OS would write into the
    // record after the caller has let it go. It is cancelled and waited for to its end.
    CancelIoEx(handle, overlapped);
    GetOverlappedResult(handle, overlapped, &written, TRUE);
    return IoEnd::failed;
}

void cancelWrite(Handle port, CompletionRecord* record) {
    CancelIoEx(reinterpret_cast<HANDLE>(port), reinterpret_cast<OVERLAPPED*>(record));
}

bool startRead(Handle handle, uint8_t* into, uint32_t capacity, CompletionRecord* record,
               IoRoutine routine) {
    record->event = reinterpret_cast<Handle>(routine);
    return ReadFileEx(reinterpret_cast<HANDLE>(handle), into, capacity,
                      reinterpret_cast<OVERLAPPED*>(record), ioDone) != 0;
}

bool startWriteWithRoutine(Handle port, const uint8_t* bytes, uint32_t count,
                           CompletionRecord* record, IoRoutine routine) {
    record->event = reinterpret_cast<Handle>(routine);
    return WriteFileEx(reinterpret_cast<HANDLE>(port), bytes, count,
                       reinterpret_cast<OVERLAPPED*>(record), ioDone) != 0;
}

bool serialReadsWaitInTurn() {
    return !runsUnderWine();
}

void cancelReads(Handle port) {
    CancelIo(reinterpret_cast<HANDLE>(port));
}

} // namespace platform
