#include "platform/sim/sim.h"

#include <string>
#include <thread>

namespace {

constexpr uint32_t errorIoPending = 997;
constexpr uint32_t errorFileNotFound = 2;
constexpr uint32_t errorInvalidHandle = 6;

// The port a handle was opened on, or 0 when it is no open port.
uint32_t portOf(platform::Handle handle) {
    auto found = sim::world().openHandles.find(handle);
    return found == sim::world().openHandles.end() ? 0 : found->second.port;
}

uint32_t portNumberOf(const char16_t* name) {
    std::u16string text(name);
    if (text.size() != 4 || text.compare(0, 3, u"COM") != 0 || text[3] < u'1' ||
        text[3] > static_cast<char16_t>(u'0' + sim::portCount)) {
        return 0;
    }
    return text[3] - u'0';
}

bool recordWrite(platform::Handle handle, const uint8_t* bytes, uint32_t count,
                 platform::CompletionRecord* record) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    uint32_t number = portOf(handle);
    sim::WriteOutcome outcome = sim::world().writeOutcome;
    if (number == 0 || outcome == sim::WriteOutcome::fails) {
        sim::setLastError(number == 0 ? errorInvalidHandle : sim::world().writeFailureError);
        return false;
    }
    // A pending write has taken its bytes; whether they reach the line is decided at its end.
    if (outcome != sim::WriteOutcome::pendingThenFails && sim::world().keepWrites) {
        sim::world().ports[number].writes.emplace_back(bytes, bytes + count);
    }
    if (outcome == sim::WriteOutcome::done) {
        return true;
    }
    sim::world().pendingWrites[record] = outcome;
    sim::setLastError(errorIoPending);
    return false;
}

} // namespace

namespace platform {

Handle openSerialPort(const char16_t* name, uint32_t access) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    uint32_t number = portNumberOf(name);
    if (number == 0 || !sim::world().ports[number].present) {
        sim::setLastError(number == 0 ? errorFileNotFound : sim::world().ports[number].openError);
        return invalidHandle;
    }
    sim::SerialPort& port = sim::world().ports[number];
    port.access = access;
    ++port.opens;
    return sim::newHandle("COM", number);
}

bool configureSerialLine(Handle handle, const char16_t* settings) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    uint32_t number = portOf(handle);
    if (number == 0 || sim::world().ports[number].configureFails) {
        return false;
    }
    sim::world().ports[number].settings = settings;
    return true;
}

bool probeSerialPort(const char16_t* name) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    uint32_t number = portNumberOf(name);
    if (number == 0 || !sim::world().ports[number].present) {
        return false;
    }
    // Nobody else gets a port that is open already: it is opened exclusively.
    for (const auto& handle : sim::world().openHandles) {
        if (handle.second.port == number) {
            return false;
        }
    }
    return true;
}

bool startWrite(Handle handle, const uint8_t* bytes, uint32_t count, CompletionRecord* record) {
    bool done = recordWrite(handle, bytes, count, record);
    // A real port takes its time over each write, and another sender may run in between.
    if (sim::world().giveWayAfterWrite) {
        std::this_thread::yield();
    }
    return done;
}

bool finishWrite(Handle, CompletionRecord* record) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    auto found = sim::world().pendingWrites.find(record);
    if (found == sim::world().pendingWrites.end()) {
        return false;
    }
    bool succeeded = found->second == sim::WriteOutcome::pending;
    sim::world().pendingWrites.erase(found);
    if (!succeeded) {
        sim::setLastError(sim::world().writeFailureError);
    }
    return succeeded;
}

} // namespace platform
