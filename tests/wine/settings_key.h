// The driver's settings as the registry holds them, read and written for the tests: in the
// 64-bit view of HKEY_LOCAL_MACHINE (common/settings_key.h), from the 32-bit host as well.
#pragma once

#include "common/settings_key.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

// A value as "REG_DWORD 0x00007E7F", another type as "type 3: 03 00", or "absent".
std::string readSetting(const wchar_t* name, REGSAM view = KEY_WOW64_64KEY);
bool settingsKeyExists(REGSAM view);

::testing::AssertionResult writeSetting(const wchar_t* name, DWORD type,
                                        const std::vector<BYTE>& data);
::testing::AssertionResult writeSettingDword(const wchar_t* name, DWORD value);
::testing::AssertionResult deleteSettingsKey(REGSAM view);

// Keeps the settings as a test found them and puts them back when it ends, so a test that
// changes them leaves every later test the settings it would have had.
class SettingsSnapshot {
  public:
    SettingsSnapshot();
    SettingsSnapshot(const SettingsSnapshot&) = delete;
    SettingsSnapshot& operator=(const SettingsSnapshot&) = delete;
    ~SettingsSnapshot();

  private:
    struct Value {
        DWORD type = REG_NONE;
        std::vector<BYTE> data;
    };
    static std::optional<Value> read(HKEY key, const wchar_t* name);
    static void restore(HKEY key, const wchar_t* name, const std::optional<Value>& value);

    bool keyExisted_ = false;
    std::optional<Value> port_;
    std::optional<Value> mask_;
    std::optional<Value> share_;
};
