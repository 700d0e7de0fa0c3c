#include "settings.h"

namespace {

const wchar_t settingsKey[] = L"Software\\MELV\\MELV PC I/F MIDI Driver";

bool writeDword(HKEY key, const wchar_t* name, DWORD value) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof value) == ERROR_SUCCESS;
}

} // namespace

bool writeDriverSettings(DWORD port, DWORD messageMask) {
    HKEY key = nullptr;
    // Both builds of the driver read the 64-bit view.
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, settingsKey, 0, nullptr, 0,
                        KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    bool written = writeDword(key, L"COM", port) && writeDword(key, L"Messages", messageMask);
    RegCloseKey(key);
    return written;
}
