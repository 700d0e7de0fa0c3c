// The driver's settings in the registry where its documentation puts them: in the 64-bit view of
// HKEY_LOCAL_MACHINE, which both builds of the driver share, so a 32-bit program reads and writes
// them there too. Named here apart from the driver's own sources, so that the tests see the
// driver keep to the documented place.
#pragma once

#include <windows.h>

inline constexpr wchar_t settingsKeyPath[] = L"Software\\MELV\\MELV PC I/F MIDI Driver";
inline constexpr wchar_t portSetting[] = L"COM";
inline constexpr wchar_t messagesSetting[] = L"Messages";

// The mask of a driver that never ran (every kind of message passes, one output), and the bit that
// turns on independent mode (four outputs).
constexpr DWORD defaultMessageMask = 0x7E7F;
constexpr DWORD independentModeBit = 1u << 8;

// The settings key opened with `access`; nullptr when it is absent or refused.
HKEY openSettingsKey(REGSAM access, REGSAM view = KEY_WOW64_64KEY);
// The same, made when it is absent (in the 64-bit view).
HKEY createSettingsKey(REGSAM access);

bool readDword(HKEY key, const wchar_t* name, DWORD& value);
bool writeDword(HKEY key, const wchar_t* name, DWORD value);

// Sets the driver to COM`port` with every kind of message passing, one output or, `independent`,
// four, where the driver of either bitness reads them: what the programs that test the installed
// driver start from. The driver reads them when winmm loads it, at a process's first MIDI call.
bool writeTestSettings(DWORD port, bool independent);
