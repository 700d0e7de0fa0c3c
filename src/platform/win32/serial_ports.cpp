#include "platform/platform.h"

#include <windows.h>

#include <setupapi.h>

namespace {

// The device setup class of serial and parallel ports ("Ports (COM & LPT)").
constexpr GUID portsClass = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

LPCWSTR wide(const char16_t* text) {
    return reinterpret_cast<LPCWSTR>(text);
}

// Whether the device's "PortName" is `portName`, read from its hardware key.
bool deviceHasPort(HDEVINFO devices, SP_DEVINFO_DATA& device, const char16_t* portName) {
    HKEY key =
        SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    if (key == INVALID_HANDLE_VALUE) {
        return false;
    }
    WCHAR name[32] = {};
    DWORD size = sizeof name - sizeof name[0];
    DWORD type = 0;
    bool same = RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name),
                                 &size) == ERROR_SUCCESS &&
                type == REG_SZ && lstrcmpiW(name, wide(portName)) == 0;
    RegCloseKey(key);
    return same;
}

} // namespace

namespace platform {

bool listedSerialPort(uint32_t index, char16_t* name, uint32_t capacity) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE,
                      &key) != ERROR_SUCCESS) {
        return false;
    }
    WCHAR device[256];
    DWORD deviceLength = ARRAYSIZE(device);
    DWORD type = 0;
    DWORD size = (capacity - 1) * sizeof(char16_t);
    LONG result = RegEnumValueW(key, index, device, &deviceLength, nullptr, &type,
                                reinterpret_cast<BYTE*>(name), &size);
    RegCloseKey(key);
    if (result == ERROR_NO_MORE_ITEMS) {
        return false;
    }
    size_t length = result == ERROR_SUCCESS && type == REG_SZ ? size / sizeof(char16_t) : 0;
    name[length] = 0; // the data may lack its terminator
    return true;
}

bool serialPortFriendlyName(const char16_t* portName, char16_t* name, uint32_t capacity) {
    HDEVINFO devices = SetupDiGetClassDevsW(&portsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool found = false;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
        if (deviceHasPort(devices, device, portName)) {
            DWORD size = (capacity - 1) * sizeof(char16_t);
            found = SetupDiGetDeviceRegistryPropertyW(devices, &device, SPDRP_FRIENDLYNAME, nullptr,
                                                      reinterpret_cast<BYTE*>(name), size, nullptr);
            name[capacity - 1] = 0;
            found = found && name[0] != 0;
            break;
        }
    }
    SetupDiDestroyDeviceInfoList(devices);
    return found;
}

} // namespace platform
