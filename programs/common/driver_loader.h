// The driver loaded as Windows' multimedia system loads an installed one: OpenDriver on its path
// (DRV_LOAD, DRV_ENABLE and DRV_OPEN to its DriverProc), then the module's modMessage and
// midMessage, which the host calls directly.
#pragma once

#include <windows.h>

#include <mmsystem.h>

using DriverProcEntry = LRESULT(WINAPI*)(DWORD_PTR driverId, HDRVR driver, UINT message,
                                         LPARAM param1, LPARAM param2);
using DriverMessageEntry = DWORD(WINAPI*)(UINT device, UINT message, DWORD_PTR user,
                                          DWORD_PTR param1, DWORD_PTR param2);

// The driver's three exports, by their undecorated names; nullptr for each that `module` (which
// may be nullptr) does not export.
struct DriverExports {
    DriverProcEntry driverProc = nullptr;
    DriverMessageEntry modMessage = nullptr;
    DriverMessageEntry midMessage = nullptr;
};
DriverExports driverExportsOf(HMODULE module);

// A driver opened with OpenDriver and the message entries of its module.
struct DriverEntries {
    HDRVR driver = nullptr;
    DriverMessageEntry modMessage = nullptr;
    DriverMessageEntry midMessage = nullptr;
};

enum class DriverLoad {
    loaded,
    refused, // the module did not load, or DriverProc declined DRV_LOAD, DRV_ENABLE or DRV_OPEN
    noModMessage, // no undecorated modMessage export
    noMidMessage, // no undecorated midMessage export
};

// Opens the driver at `path` and finds its entries. Anything but `loaded` leaves `entries` empty
// and the driver closed again.
DriverLoad loadDriver(const wchar_t* path, DriverEntries& entries);
// CloseDriver (DRV_CLOSE, DRV_DISABLE, DRV_FREE); winmm frees the module with its last driver.
// Does nothing for entries that hold no driver.
void unloadDriver(DriverEntries& entries);
