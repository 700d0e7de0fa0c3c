#include "settings_key.h"

#include "common/hex.h"

#include <cstdio>

std::string readSetting(const wchar_t* name, REGSAM view) {
    HKEY key = openSettingsKey(KEY_READ, view);
    if (key == nullptr) {
        return "absent";
    }
    DWORD type = REG_NONE;
    BYTE data[64];
    DWORD size = sizeof(data);
    LONG result = RegQueryValueExW(key, name, nullptr, &type, data, &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS) {
        return "absent";
    }
    if (type == REG_DWORD && size == 4) {
        DWORD value = data[0] | data[1] << 8 | data[2] << 16 | static_cast<DWORD>(data[3]) << 24;
        char text[32];
        std::snprintf(text, sizeof(text), "REG_DWORD 0x%08lX", static_cast<unsigned long>(value));
        return text;
    }
    return "type " + std::to_string(type) + ": " + hexBytes(data, size);
}

bool settingsKeyExists(REGSAM view) {
    HKEY key = openSettingsKey(KEY_READ, view);
    if (key == nullptr) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

::testing::AssertionResult writeSetting(const wchar_t* name, DWORD type,
                                        const std::vector<BYTE>& data) {
    HKEY key = createSettingsKey(KEY_ALL_ACCESS);
    if (key == nullptr) {
        return ::testing::AssertionFailure() << "the settings key cannot be created";
    }
    LONG result = RegSetValueExW(key, name, 0, type, data.data(), static_cast<DWORD>(data.size()));
    RegCloseKey(key);
    if (result != ERROR_SUCCESS) {
        return ::testing::AssertionFailure() << "the setting cannot be written, error " << result;
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult writeSettingDword(const wchar_t* name, DWORD value) {
    return writeSetting(name, REG_DWORD,
                        {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8),
                         static_cast<BYTE>(value >> 16), static_cast<BYTE>(value >> 24)});
}

::testing::AssertionResult deleteSettingsKey(REGSAM view) {
    LONG result = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, settingsKeyPath, view, 0);
    if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) {
        return ::testing::AssertionFailure()
               << "the settings key cannot be deleted, error " << result;
    }
    return ::testing::AssertionSuccess();
}

SettingsSnapshot::SettingsSnapshot() {
    HKEY key = openSettingsKey(KEY_READ, KEY_WOW64_64KEY);
    keyExisted_ = key != nullptr;
    if (keyExisted_) {
        port_ = read(key, portSetting);
        mask_ = read(key, messagesSetting);
        share_ = read(key, shareSetting);
        RegCloseKey(key);
    }
}

SettingsSnapshot::~SettingsSnapshot() {
    if (!keyExisted_) {
        EXPECT_TRUE(deleteSettingsKey(KEY_WOW64_64KEY)) << "while restoring the settings";
        return;
    }
    HKEY key = createSettingsKey(KEY_ALL_ACCESS);
    if (key == nullptr) {
        ADD_FAILURE() << "the settings key cannot be restored";
        return;
    }
    restore(key, portSetting, port_);
    restore(key, messagesSetting, mask_);
    restore(key, shareSetting, share_);
    RegCloseKey(key);
}

std::optional<SettingsSnapshot::Value> SettingsSnapshot::read(HKEY key, const wchar_t* name) {
    Value value;
    DWORD size = 0;
    if (RegQueryValueExW(key, name, nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    value.data.resize(size);
    if (RegQueryValueExW(key, name, nullptr, &value.type, value.data.data(), &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    value.data.resize(size);
    return value;
}

void SettingsSnapshot::restore(HKEY key, const wchar_t* name, const std::optional<Value>& value) {
    if (value) {
        RegSetValueExW(key, name, 0, value->type, value->data.data(),
                       static_cast<DWORD>(value->data.size()));
    } else {
        RegDeleteValueW(key, name);
    }
}
