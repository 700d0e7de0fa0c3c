// Test-only: stands between Wine's multimedia system and the driver, registered as the MIDI
// driver in the driver's place, and passes every call through unchanged. It adds only what
// Windows' winmm does and Wine's does not: when the driver leaves header preparation to the host
// (it answers the prepare and unprepare messages with MMSYSERR_NOTSUPPORTED), the host prepares
// and unprepares the header itself. It is built for the tests and never ships.
#include "common/driver_loader.h"
#include "common/process.h"

#include <windows.h>

#include <mmddk.h>
#include <mmsystem.h>

#include <cstddef>

namespace {

BOOL CALLBACK loadForwardedDriver(PINIT_ONCE, PVOID, PVOID* context) {
    // The driver sits beside this module, in the system folder of its bitness.
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&loadForwardedDriver), &self);
    static DriverExports driver;
    driver = driverExportsOf(LoadLibraryW(besideModule(self, L"melvpcif.dll").c_str()));
    *context = &driver;
    return TRUE;
}

const DriverExports& driver() {
    static INIT_ONCE once = INIT_ONCE_STATIC_INIT;
    void* loaded = nullptr;
    InitOnceExecuteOnce(&once, loadForwardedDriver, nullptr, &loaded);
    return *static_cast<const DriverExports*>(loaded);
}

// What Windows' winmm does with a header the driver would not prepare: a header too short to
// hold the fields up to dwOffset, or without data, is refused; any other is marked prepared.
DWORD prepareOnHostSide(DWORD_PTR headerAddress, DWORD_PTR size) {
    auto* header = reinterpret_cast<MIDIHDR*>(headerAddress);
    if (header == nullptr || size < offsetof(MIDIHDR, dwOffset) || header->lpData == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    header->dwFlags |= MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

DWORD unprepareOnHostSide(DWORD_PTR headerAddress, DWORD_PTR size) {
    auto* header = reinterpret_cast<MIDIHDR*>(headerAddress);
    if (header == nullptr || size < offsetof(MIDIHDR, dwOffset)) {
        return MMSYSERR_INVALPARAM;
    }
    if ((header->dwFlags & MHDR_PREPARED) == 0) {
        return MMSYSERR_NOERROR;
    }
    if ((header->dwFlags & MHDR_INQUEUE) != 0) {
        return MIDIERR_STILLPLAYING;
    }
    header->dwFlags &= ~MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

DWORD forward(DriverMessageEntry procedure, UINT prepare, UINT unprepare, UINT device, UINT message,
              DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR param2) {
    if (procedure == nullptr) {
        return MMSYSERR_NODRIVER;
    }
    DWORD status = procedure(device, message, instance, param1, param2);
    if (status != MMSYSERR_NOTSUPPORTED) {
        return status;
    }
    if (message == prepare) {
        return prepareOnHostSide(param1, param2);
    }
    if (message == unprepare) {
        return unprepareOnHostSide(param1, param2);
    }
    return status;
}

} // namespace

extern "C" {

LRESULT WINAPI DriverProc(DWORD_PTR driverId, HDRVR handle, UINT message, LPARAM param1,
                          LPARAM param2) {
    DriverProcEntry procedure = driver().driverProc;
    if (procedure == nullptr) {
        return 0; // the driver did not load: the host sees a driver that refuses to open
    }
    return procedure(driverId, handle, message, param1, param2);
}

DWORD WINAPI modMessage(UINT device, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                        DWORD_PTR param2) {
    return forward(driver().modMessage, MODM_PREPARE, MODM_UNPREPARE, device, message, instance,
                   param1, param2);
}

DWORD WINAPI midMessage(UINT device, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                        DWORD_PTR param2) {
    return forward(driver().midMessage, MIDM_PREPARE, MIDM_UNPREPARE, device, message, instance,
                   param1, param2);
}

} // extern "C"
