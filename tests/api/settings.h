// The driver's settings as the tests give them before the driver is loaded.
#pragma once

#include <windows.h>

// Every kind of message passes; one output, or four in independent mode.
constexpr DWORD singleOutputMask = 0x7E7F;
constexpr DWORD independentMask = 0x7F7F;

// Writes "COM" and "Messages" where the driver of either bitness reads them.
bool writeDriverSettings(DWORD port, DWORD messageMask);
