#include "config/settings.h"

#include "platform/platform.h"

namespace {

constexpr uint32_t keyAllAccess = 0xF003F;
constexpr uint32_t keyRead = 0x20019;
// Both builds of the driver must share one set of settings, so a 32-bit process on 64-bit
// Windows looks past its redirected view of the key.
constexpr uint32_t key64BitView = 0x0100;

struct SettingsKey {
    platform::Handle handle;
    bool writable;
};

platform::Handle openKeyForWriting() {
    return platform::createRegistryKey(settingsKeyPath, keyAllAccess | key64BitView);
}

// Full access when the process may change the key. A process without administrator rights may
// not, but it still reads the settings an administrator saved: it only skips the write-back.
SettingsKey openSettingsKey() {
    platform::Handle key =
        platform::createRegistryKey(settingsKeyPath, keyAllAccess | key64BitView);
    if (key != platform::nullHandle) {
        return {key, true};
    }
    return {platform::openRegistryKey(settingsKeyPath, keyRead | key64BitView), false};
}

// The value's low 16 bits; false when the value is absent or longer than four bytes.
bool readLow16(platform::Handle key, const char16_t* name, uint16_t& value) {
    uint8_t data[4] = {};
    uint32_t size = sizeof data;
    if (key == platform::nullHandle || !platform::readRegistryValue(key, name, data, size)) {
        return false;
    }
    value = static_cast<uint16_t>(data[0] | data[1] << 8);
    return true;
}

} // namespace

void loadSettings(SharedState& shared) {
    SettingsKey key = openSettingsKey();

    uint16_t portNumber = 0xFFFF;
    readLow16(key.handle, portNumberValue, portNumber);
    if (portNumber < firstPort || portNumber > lastPort) {
        portNumber = firstPort;
    }
    shared.portNumber = portNumber;

    uint16_t mask = messageMask(shared);
    if (readLow16(key.handle, messageMaskValue, mask)) {
        setMessageMask(shared, mask);
    }

    if (key.writable) {
        platform::writeRegistryDword(key.handle, portNumberValue, shared.portNumber);
        platform::writeRegistryDword(key.handle, messageMaskValue, messageMask(shared));
    }
    if (key.handle != platform::nullHandle) {
        platform::closeRegistryKey(key.handle);
    }
}

bool saveSettings(uint16_t portNumber, uint16_t mask) {
    platform::Handle key = openKeyForWriting();
    if (key == platform::nullHandle) {
        return false;
    }
    platform::writeRegistryDword(key, portNumberValue, portNumber);
    platform::writeRegistryDword(key, messageMaskValue, mask);
    platform::closeRegistryKey(key);
    return true;
}
