// Where the driver is installed: the slot of Drivers32 that registers it with Windows' multimedia
// system, which loads the file a "midi".."midi9" value names for every WinMM program.
#pragma once

#include <windows.h>

#include <string>

inline constexpr wchar_t driverFileName[] = L"melvpcif.dll";

// The first of "midi", "midi1" .. "midi9" under Drivers32 in the registry view `view` (0 for this
// program's own) that names the driver's file; "" when none does.
std::wstring registeredDriverSlot(REGSAM view = 0);
