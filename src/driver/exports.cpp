// The module's entry point and its three exports. Each forwards into the core with the one process
// context of this process, which reaches the state shared by every process that loaded the module.
#include "driver/entry.h"

#include <cstdint>

namespace {

// The state shared with other processes is mapped at load, under a name that both bitnesses of
// the driver use; the module itself has no shared section.
ProcessContext theProcess = {
    .moduleHandle = 0,
    .heap = platform::nullHandle,
    .line = {.ownerToken = noOwner,
             .shared = nullptr,
             .sharedMapping = platform::nullHandle,
             .monitor = {.record = nullptr, .mapping = platform::nullHandle, .process = {}},
             .sounding = nullptr,
             .soundingMapping = platform::nullHandle,
             .ownerLock = platform::nullHandle,
             .portHandle = platform::invalidHandle,
             .heldGeneration = noHold,
             .heldSlots = 0,
             .sendLock = {},
             .lineLock = {},
             .heldPortNumber = 0,
             .lineOpening = 0,
             .lineAway = false,
             .reopenTried = false,
             .lastReopenTry = 0},
    .owed = {}};

constexpr uint32_t processDetach = 0;
constexpr uint32_t processAttach = 1;

} // namespace

// The loader's last argument at detach is null when the module is unloaded from a process that
// goes on, and set when the process ends.
extern "C" int __stdcall DllMain(void* module, uint32_t reason, void* reserved) {
    if (reason == processAttach) {
        return moduleAttach(theProcess, reinterpret_cast<uintptr_t>(module));
    }
    if (reason == processDetach) {
        moduleDetach(theProcess, reserved != nullptr);
    }
    return 1;
}

extern "C" intptr_t __stdcall DriverProc(uintptr_t driverId, void* driver, uint32_t message,
                                         intptr_t param1, intptr_t param2) {
    return driverProc(theProcess, driverId, reinterpret_cast<uintptr_t>(driver), message, param1,
                      param2);
}

extern "C" uint32_t __stdcall modMessage(uint32_t deviceIndex, uint32_t message, uintptr_t instance,
                                         uintptr_t param1, uintptr_t param2) {
    return modMessage(theProcess, deviceIndex, message, instance, param1, param2);
}

extern "C" uint32_t __stdcall midMessage(uint32_t deviceIndex, uint32_t message, uintptr_t instance,
                                         uintptr_t param1, uintptr_t param2) {
    return midMessage(theProcess, deviceIndex, message, instance, param1, param2);
}
