#include "platform/sim/sim.h"

namespace {
thread_local uint32_t lastErrorOfThread = 0;
} // namespace

namespace sim {
void setLastError(uint32_t error) {
    lastErrorOfThread = error;
}
} // namespace sim

namespace platform {

uint32_t lastError() {
    return lastErrorOfThread;
}

void closeHandle(Handle handle) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    if (sim::world().openHandles.erase(handle) == 0) {
        ++sim::world().badCloses;
    }
}

Handle createEvent() {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    if (sim::world().eventCreateFails) {
        return nullHandle;
    }
    return sim::newHandle("event");
}

} // namespace platform
