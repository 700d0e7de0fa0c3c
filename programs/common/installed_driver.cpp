#include "installed_driver.h"

namespace {

const wchar_t driversKey[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32";
const wchar_t* const slotNames[] = {L"midi",  L"midi1", L"midi2", L"midi3", L"midi4",
                                    L"midi5", L"midi6", L"midi7", L"midi8", L"midi9"};

} // namespace

std::wstring registeredDriverSlot(REGSAM view) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, driversKey, 0, KEY_QUERY_VALUE | view, &key) !=
        ERROR_SUCCESS) {
        return std::wstring();
    }
    std::wstring found;
    for (const wchar_t* slot : slotNames) {
        wchar_t file[MAX_PATH] = {};
        DWORD size = sizeof file - sizeof file[0];
        DWORD type = 0;
        if (RegQueryValueExW(key, slot, nullptr, &type, reinterpret_cast<BYTE*>(file), &size) ==
                ERROR_SUCCESS &&
            type == REG_SZ && lstrcmpiW(file, driverFileName) == 0) {
            found = slot;
            break;
        }
    }
    RegCloseKey(key);
    return found;
}
