#include "driver_loader.h"

namespace {

template <typename Entry> Entry entryOf(HMODULE module, const char* name) {
    // FARPROC says nothing of the real signature; passing through void (*)() marks the cast as
    // intended.
    return module == nullptr ? nullptr
                             : reinterpret_cast<Entry>(
                                   reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

} // namespace

DriverExports driverExportsOf(HMODULE module) {
    return {entryOf<DriverProcEntry>(module, "DriverProc"),
            entryOf<DriverMessageEntry>(module, "modMessage"),
            entryOf<DriverMessageEntry>(module, "midMessage")};
}

DriverLoad loadDriver(const wchar_t* path, DriverEntries& entries) {
    entries = {};
    // Wine's OpenDriver cuts the name at its first space (the rest become arguments), so the path
    // must have none.
    HDRVR driver = OpenDriver(path, nullptr, 0);
    if (driver == nullptr) {
        return DriverLoad::refused;
    }
    DriverExports exports = driverExportsOf(GetDriverModuleHandle(driver));
    if (exports.modMessage == nullptr || exports.midMessage == nullptr) {
        CloseDriver(driver, 0, 0);
        return exports.modMessage == nullptr ? DriverLoad::noModMessage : DriverLoad::noMidMessage;
    }
    entries = {driver, exports.modMessage, exports.midMessage};
    return DriverLoad::loaded;
}

void unloadDriver(DriverEntries& entries) {
    if (entries.driver != nullptr) {
        CloseDriver(entries.driver, 0, 0);
    }
    entries = {};
}
