#include "platform/platform.h"

#include <windows.h>

namespace {

HKEY keyOf(platform::Handle key) {
    return reinterpret_cast<HKEY>(key);
}

LPCWSTR wide(const char16_t* text) {
    return reinterpret_cast<LPCWSTR>(text);
}

} // namespace

namespace platform {

Handle createRegistryKey(const char16_t* path, uint32_t access) {
    HKEY key = nullptr;
    LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, wide(path), 0, nullptr,
                                  REG_OPTION_NON_VOLATILE, access, nullptr, &key, nullptr);
    return result == ERROR_SUCCESS ? reinterpret_cast<Handle>(key) : nullHandle;
}

Handle openRegistryKey(const char16_t* path, uint32_t access) {
    HKEY key = nullptr;
    LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, wide(path), 0, access, &key);
    return result == ERROR_SUCCESS ? reinterpret_cast<Handle>(key) : nullHandle;
}

bool readRegistryValue(Handle key, const char16_t* name, uint8_t* data, uint32_t& size) {
    DWORD length = size;
    if (RegQueryValueExW(keyOf(key), wide(name), nullptr, nullptr, data, &length) !=
        ERROR_SUCCESS) {
        return false;
    }
    size = length;
    return true;
}

void writeRegistryDword(Handle key, const char16_t* name, uint32_t value) {
    DWORD data = value;
    RegSetValueExW(keyOf(key), wide(name), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                   sizeof data);
}

void closeRegistryKey(Handle key) {
    RegCloseKey(keyOf(key));
}

} // namespace platform
