#include "settings_key.h"

#include <cstdio>
#include <cstring>

HKEY openSettingsKey(REGSAM access, REGSAM view) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, settingsKeyPath, 0, access | view, &key) !=
        ERROR_SUCCESS) {
        return nullptr;
    }
    return key;
}

HKEY createSettingsKey(REGSAM access) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, settingsKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        access | KEY_WOW64_64KEY, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return nullptr;
    }
    return key;
}

bool readDword(HKEY key, const wchar_t* name, DWORD& value) {
    DWORD size = sizeof value;
    return RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size) ==
           ERROR_SUCCESS;
}

bool writeDword(HKEY key, const wchar_t* name, DWORD value) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof value) == ERROR_SUCCESS;
}

bool writeTestSettings(int& argc, char**& argv) {
    bool shared = argc >= 2 && std::strcmp(argv[1], "--shared") == 0;
    bool independent = shared || (argc >= 2 && std::strcmp(argv[1], "--independent") == 0);
    if (independent) {
        --argc;
        ++argv;
    }
    HKEY key = createSettingsKey(KEY_SET_VALUE);
    DWORD mask = defaultMessageMask | (independent ? independentModeMaskBit : 0);
    bool written = key != nullptr && writeDword(key, portSetting, 1) &&
                   writeDword(key, messagesSetting, mask) &&
                   writeDword(key, shareSetting, shared ? 1 : 0);
    if (key != nullptr) {
        RegCloseKey(key);
    }
    if (!written) {
        std::fprintf(stderr, "the driver's settings cannot be written\n");
    }
    return written;
}
