#include "config/settings.h"

#include "platform/platform.h"
#include "share/protocol.h"

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

// The value as a number of up to four bytes; false when it is absent or longer.
bool readNumber(platform::Handle key, const char16_t* name, uint32_t& value) {
    uint8_t data[4] = {};
    uint32_t size = sizeof data;
    if (key == platform::nullHandle || !platform::readRegistryValue(key, name, data, size)) {
        return false;
    }
    value = readU32(data);
    return true;
}

// The value's low 16 bits; false when the value is absent or longer than four bytes.
bool readLow16(platform::Handle key, const char16_t* name, uint16_t& value) {
    uint32_t number = 0;
    if (!readNumber(key, name, number)) {
        return false;
    }
    value = static_cast<uint16_t>(number);
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

    uint32_t share = 0;
    shared.sharing = readNumber(key.handle, shareValue, share) && share == 1 ? 1 : 0;

    if (key.writable) {
        platform::writeRegistryDword(key.handle, portNumberValue, shared.portNumber);
        platform::writeRegistryDword(key.handle, messageMaskValue, messageMask(shared));
    }
    if (key.handle != platform::nullHandle) {
        platform::closeRegistryKey(key.handle);
    }
}

bool developerTraceWanted() {
    if (platform::environmentFlag(traceVariable)) {
        return true;
    }
    platform::Handle key = platform::openRegistryKey(settingsKeyPath, keyRead | key64BitView);
    uint32_t trace = 0;
    bool wanted = readNumber(key, traceValue, trace) && trace == 1;
    if (key != platform::nullHandle) {
        platform::closeRegistryKey(key);
    }
    return wanted;
}

bool saveSettings(uint16_t portNumber, uint16_t mask, bool sharing) {
    platform::Handle key = openKeyForWriting();
    if (key == platform::nullHandle) {
        return false;
    }
    platform::writeRegistryDword(key, portNumberValue, portNumber);
    platform::writeRegistryDword(key, messageMaskValue, mask);
    platform::writeRegistryDword(key, shareValue, sharing ? 1 : 0);
    platform::closeRegistryKey(key);
    return true;
}
