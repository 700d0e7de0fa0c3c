// The simulated machine has no sharing service: its pipe is never there and the service is not
// installed, as on a machine set up without it.
#include "platform/sim/sim.h"

#include <thread>

namespace {
constexpr uint32_t errorFileNotFound = 2;
constexpr uint32_t errorServiceDoesNotExist = 1060;
} // namespace

namespace platform {

Handle connectPipe(const char16_t*, uint32_t) {
    sim::setLastError(errorFileNotFound);
    return invalidHandle;
}

bool pipeServerIsTrusted(Handle, const char16_t*) {
    return false;
}

bool startService(const char16_t*) {
    sim::setLastError(errorServiceDoesNotExist);
    return false;
}

WriteEnd writePipe(Handle, const uint8_t*, uint32_t, CompletionRecord*, uint32_t) {
    return WriteEnd::failed;
}

WriteEnd readPipe(Handle, uint8_t*, uint32_t, CompletionRecord*, uint32_t, uint32_t& count) {
    count = 0;
    return WriteEnd::failed;
}

void pause(uint32_t) {
    std::this_thread::yield();
}

} // namespace platform
