// The driver's settings in the registry where its documentation puts them: in the 64-bit view of
// HKEY_LOCAL_MACHINE, which both builds of the driver share, so a 32-bit program reads and writes
// them there too. Named here apart from the driver's own sources, so that the tests see the
// driver keep to the documented place.
#pragma once

#include <windows.h>

inline constexpr wchar_t settingsKeyPath[] = L"Software\\MELV\\MELV PC I/F MIDI Driver";
inline constexpr wchar_t portSetting[] = L"COM";
inline constexpr wchar_t messagesSetting[] = L"Messages";
inline constexpr wchar_t shareSetting[] = L"Share";

// The mask of a driver that never ran (every kind of message passes, one output), and the bit that
// turns on independent mode (four outputs).
constexpr DWORD defaultMessageMask = 0x7E7F;
constexpr DWORD independentModeMaskBit = 1u << 8;

// The settings key opened with `access`; nullptr when it is absent or refused.
HKEY openSettingsKey(REGSAM access, REGSAM view = KEY_WOW64_64KEY);
// The same, made when it is absent (in the 64-bit view).
HKEY createSettingsKey(REGSAM access);

bool readDword(HKEY key, const wchar_t* name, DWORD& value);
bool writeDword(HKEY key, const wchar_t* name, DWORD value);

// Sets the driver to COM1 with every kind of message passing, where the driver of either bitness
// reads it, for a test program: one output or, when the program's first argument is
// --independent (then taken off the arguments), four; --shared is four with the instrument shared
// between programs, which is otherwise not. The driver reads its settings when winmm
// loads it, at a process's first MIDI call, so a program calls this before any; it sees one mode
// for its whole life. Says why and answers false when the settings cannot be written.
bool writeTestSettings(int& argc, char**& argv);
