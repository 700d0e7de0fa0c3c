#include "platform/sim/sim.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <thread>

namespace {

constexpr uint32_t errorIoPending = 997;
constexpr uint32_t errorFileNotFound = 2;
constexpr uint32_t errorInvalidHandle = 6;
constexpr uint32_t errorOperationAborted = 995;
constexpr uint32_t errorBadCommand = 22; // what I/O on a vanished serial device ends with

// The port a handle was opened on, or 0 when it is no open port.
uint32_t portOf(platform::Handle handle) {
    auto found = sim::world().openHandles.find(handle);
    return found == sim::world().openHandles.end() ? 0 : found->second.port;
}

bool isDead(platform::Handle handle) {
    auto found = sim::world().openHandles.find(handle);
    return found != sim::world().openHandles.end() && found->second.dead;
}

// The port a name opens, as Windows finds it: "\\.\COMn" for every port, the bare "COMn" for
// COM1 to COM9 only; 0 for none.
uint32_t portNumberOf(const char16_t* name) {
    std::u16string text(name);
    constexpr std::u16string_view devicePath = u"\\\\.\\COM";
    bool byPath = text.starts_with(devicePath);
    std::u16string digits = text.substr(byPath ? devicePath.size() : 3);
    if ((!byPath && (!text.starts_with(u"COM") || digits.size() != 1)) || digits.empty() ||
        digits.size() > 3 || digits[0] == u'0') {
        return 0;
    }
    uint32_t number = 0;
    for (char16_t digit : digits) {
        if (digit < u'0' || digit > u'9') {
            return 0;
        }
        number = number * 10 + (digit - u'0');
    }
    return number <= sim::portCount ? number : 0;
}

// Whether a read with nothing to take is done at once, empty: when the time-outs say so, or when
// the serial driver does it whatever they say.
bool answersReadsEmpty(const sim::SerialPort& port) {
    const platform::SerialTimeouts& at = port.timeouts;
    return port.emptyReads || (at.readInterval == sim::maxDword && at.readTotalMultiplier == 0 &&
                               at.readTotalConstant == 0);
}

// Bytes from the instrument that the port's handling keeps from every reader: all of them while
// it waits for a DSR the instrument never raises, nulls when it strips them, and XON and XOFF
// when it takes them for flow control.
bool takenByThePort(const platform::LineHandling& handling, uint8_t byte) {
    return handling.dsrSensitivity || (handling.null && byte == 0x00) ||
           (handling.outX && (byte == 0x11 || byte == 0x13));
}

bool recordWrite(platform::Handle handle, const uint8_t* bytes, uint32_t count,
                 platform::CompletionRecord* record) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    uint32_t number = portOf(handle);
    sim::WriteOutcome outcome = sim::world().writeOutcome;
    std::deque<sim::WriteOutcome>& next = sim::world().nextWriteOutcomes;
    if (number != 0 && !next.empty()) {
        outcome = next.front();
        next.pop_front();
    }
    if (number == 0 || outcome == sim::WriteOutcome::fails || isDead(handle)) {
        sim::setLastError(number == 0      ? errorInvalidHandle
                          : isDead(handle) ? errorBadCommand
                                           : sim::world().writeFailureError);
        return false;
    }
    // A pending write has taken its bytes; whether they reach the line is decided at its end. A
    // stalled one gets none of them onto the line.
    if (outcome != sim::WriteOutcome::pendingThenFails && outcome != sim::WriteOutcome::stalls &&
        sim::world().keepWrites) {
        sim::world().ports[number].writes.emplace_back(bytes, bytes + count);
    }
    if (outcome == sim::WriteOutcome::done) {
        return true;
    }
    sim::world().pendingWrites[record] = outcome;
    sim::world().changed.notify_all();
    sim::setLastError(errorIoPending);
    return false;
}

} // namespace

namespace platform {

Handle openSerialPort(const char16_t* name, uint32_t access) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    uint32_t number = portNumberOf(name);
    if (number != 0) {
        ++sim::world().ports[number].openAttempts;
    }
    if (number == 0 || !sim::world().ports[number].present) {
        sim::setLastError(number == 0 ? errorFileNotFound : sim::world().ports[number].openError);
        return invalidHandle;
    }
    sim::SerialPort& port = sim::world().ports[number];
    port.access = access;
    ++port.opens;
    return sim::newHandle("COM", number);
}

bool configureSerialLine(Handle handle, const LineSetup& setup) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    uint32_t number = portOf(handle);
    if (number == 0 || sim::world().ports[number].configureFails) {
        return false;
    }
    sim::SerialPort& port = sim::world().ports[number];
    port.settings = setup.mode;
    port.handling = setup.handling;
    port.timeouts = setup.timeouts;
    return true;
}

void discardReceived(Handle handle) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    uint32_t number = portOf(handle);
    if (number != 0) {
        sim::world().ports[number].unread.clear();
    }
}

bool probeSerialPort(const char16_t* name) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    uint32_t number = portNumberOf(name);
    if (number != 0) {
        ++sim::world().ports[number].probes;
    }
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

IoEnd finishWrite(Handle, CompletionRecord* record, uint32_t limit) {
    std::unique_lock<std::mutex> hold(sim::world().lock);
    sim::World& world = sim::world();
    auto found = world.pendingWrites.find(record);
    if (found == world.pendingWrites.end()) {
        return IoEnd::failed;
    }
    // A stalled write ends only when cancelled; the limit runs on the simulated clock.
    uint32_t start = world.clock;
    auto limitPassed = [&] {
        ++world.timedWaitChecks;
        return limit != noTimeLimit && world.clock - start >= limit;
    };
    world.timedWaits += limit != noTimeLimit;
    world.changed.notify_all();
    world.changed.wait(hold,
                       [&] { return found->second != sim::WriteOutcome::stalls || limitPassed(); });
    world.timedWaits -= limit != noTimeLimit;
    if (found->second == sim::WriteOutcome::stalls) {
        return IoEnd::late;
    }
    sim::WriteOutcome outcome = found->second;
    world.pendingWrites.erase(found);
    world.changed.notify_all();
    if (outcome == sim::WriteOutcome::pending) {
        return IoEnd::done;
    }
    sim::setLastError(outcome == sim::WriteOutcome::cancelled ? errorOperationAborted
                                                              : world.writeFailureError);
    return IoEnd::failed;
}

void cancelWrite(Handle, CompletionRecord* record) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    sim::World& world = sim::world();
    auto found = world.pendingWrites.find(record);
    if (found == world.pendingWrites.end() || found->second != sim::WriteOutcome::stalls) {
        return;
    }
    found->second = sim::WriteOutcome::cancelled;
    auto withRoutine = world.stalledRoutineWrites.find(record);
    if (withRoutine != world.stalledRoutineWrites.end()) {
        const sim::OutstandingRead& write = withRoutine->second;
        world.completions[write.thread].push_back(
            {write.routine, errorOperationAborted, 0, record});
        world.stalledRoutineWrites.erase(withRoutine);
        world.pendingWrites.erase(found);
    }
    world.changed.notify_all();
}

// The write's outcome comes to its routine in the thread's next alertable wait; a stalled one's
// only once it is cancelled. On the service's own pipe, a frame for its program.
bool startWriteWithRoutine(Handle port, const uint8_t* bytes, uint32_t count,
                           CompletionRecord* record, IoRoutine routine) {
    if (std::lock_guard<std::mutex> hold(sim::world().lock);
        sim::world().servedPipes.count(port) != 0) {
        return sim::startServedWrite(port, bytes, count, record, routine);
    }
    bool done = recordWrite(port, bytes, count, record);
    if (!done && lastError() != errorIoPending) {
        return false;
    }
    std::lock_guard<std::mutex> hold(sim::world().lock);
    sim::World& world = sim::world();
    uint32_t thread = currentThreadId();
    sim::WriteOutcome outcome = done ? sim::WriteOutcome::done : world.pendingWrites[record];
    if (outcome == sim::WriteOutcome::stalls) {
        world.stalledRoutineWrites[record] = {thread, 0, nullptr, record, routine};
        return true;
    }
    world.pendingWrites.erase(record);
    bool fails = outcome == sim::WriteOutcome::pendingThenFails;
    world.completions[thread].push_back(
        {routine, fails ? world.writeFailureError : 0, fails ? 0 : count, record});
    world.changed.notify_all();
    return true;
}

// A serial port's read takes what has arrived, up to its capacity, and waits for the first byte
// unless its time-outs or its driver answer at once; a connection to the sharing service's, a
// frame.
bool startRead(Handle handle, uint8_t* into, uint32_t capacity, CompletionRecord* record,
               IoRoutine routine) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    sim::World& world = sim::world();
    if (world.sharing.connections.count(handle) != 0) {
        return sim::startPipeRead(handle, into, record, routine);
    }
    if (world.servedPipes.count(handle) != 0) {
        return sim::startServedRead(handle, into, capacity, record, routine);
    }
    uint32_t number = portOf(handle);
    if (number == 0 || world.readsBeforeFailure == 0) {
        sim::setLastError(number == 0 ? errorInvalidHandle : world.readFailureError);
        return false;
    }
    if (world.ports[number].errorPending) {
        sim::setLastError(errorOperationAborted);
        return false;
    }
    if (world.readsBeforeFailure > 0) {
        --world.readsBeforeFailure;
    }
    ++world.readsIssued;
    for (const sim::OutstandingRead& read : world.reads) {
        world.readsOnBusyRecords += read.record == record;
    }
    for (const auto& queue : world.completions) {
        for (const sim::Completion& completion : queue.second) {
            world.readsOnBusyRecords += completion.record == record;
        }
    }
    uint32_t thread = currentThreadId();
    if (isDead(handle)) {
        world.completions[thread].push_back({routine, errorBadCommand, 0, record});
        world.changed.notify_all();
        return true;
    }
    std::deque<uint8_t>& unread = world.ports[number].unread;
    if (unread.empty() && !answersReadsEmpty(world.ports[number])) {
        world.reads.push_back({thread, number, into, record, routine, nullHandle, capacity});
        return true;
    }
    if (unread.empty()) { // done at once, without a byte
        world.completions[thread].push_back({routine, 0, 0, record});
        world.changed.notify_all();
        return true;
    }
    uint32_t count = 0;
    for (; count < capacity && !unread.empty(); ++count) {
        into[count] = unread.front();
        unread.pop_front();
    }
    world.completions[thread].push_back({routine, 0, count, record});
    world.changed.notify_all();
    return true;
}

bool serialReadsWaitInTurn() {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    return sim::world().serialReadsWaitInTurn;
}

void cancelReads(Handle handle) {
    std::lock_guard<std::mutex> hold(sim::world().lock);
    uint32_t number = portOf(handle);
    uint32_t thread = currentThreadId();
    sim::abortReads([number, handle, thread](const sim::OutstandingRead& read) {
        bool onHandle = read.pipe != nullHandle ? read.pipe == handle : read.port == number;
        return onHandle && read.thread == thread;
    });
}

} // namespace platform

namespace sim {

namespace {

// Hands the first read waiting on the port what it takes of the bytes waiting there, at most
// `count`; false when no read waits.
bool handToFirstRead(uint32_t port, uint32_t count) {
    std::deque<uint8_t>& unread = world().ports[port].unread;
    auto read = world().reads.begin();
    while (read != world().reads.end() && read->port != port) {
        ++read;
    }
    if (read == world().reads.end()) {
        return false;
    }
    uint32_t taken = 0;
    for (; taken < std::min(count, read->capacity) && !unread.empty(); ++taken) {
        read->into[taken] = unread.front();
        unread.pop_front();
    }
    world().completions[read->thread].push_back({read->routine, 0, taken, read->record});
    world().reads.erase(read);
    return true;
}

} // namespace

// Bytes that arrive together go to the first read waiting, as many as it takes; the rest to the
// next one, or to the port's buffer when none waits.
void instrumentSends(const std::vector<uint8_t>& bytes, uint32_t port) {
    std::lock_guard<std::mutex> hold(world().lock);
    SerialPort& line = world().ports[port];
    for (uint8_t byte : bytes) {
        if (!takenByThePort(line.handling, byte)) {
            line.unread.push_back(byte);
        }
    }
    while (world().serialReadsWaitInTurn && !line.unread.empty() &&
           handToFirstRead(port, maxDword)) {
    }
    world().changed.notify_all();
}

void wakeFirstRead(uint32_t count, uint32_t port) {
    std::lock_guard<std::mutex> hold(world().lock);
    handToFirstRead(port, count);
    world().changed.notify_all();
}

void lineError(uint32_t port) {
    std::lock_guard<std::mutex> hold(world().lock);
    if (!world().ports[port].handling.abortOnError) {
        return;
    }
    world().ports[port].errorPending = true;
    abortReads([port](const OutstandingRead& read) { return read.port == port; });
}

void abortReads(const std::function<bool(const OutstandingRead&)>& which, uint32_t error) {
    for (auto read = world().reads.begin(); read != world().reads.end();) {
        if (which(*read)) {
            world().completions[read->thread].push_back({read->routine, error, 0, read->record});
            read = world().reads.erase(read);
        } else {
            ++read;
        }
    }
    world().changed.notify_all();
}

void pullDevice(uint32_t port) {
    std::lock_guard<std::mutex> hold(world().lock);
    world().ports[port].present = false;
    world().ports[port].unread.clear();
    for (auto& handle : world().openHandles) {
        if (handle.second.port == port) {
            handle.second.dead = true;
        }
    }
    abortReads([port](const OutstandingRead& read) { return read.port == port; }, errorBadCommand);
}

void plugDevice(uint32_t port) {
    std::lock_guard<std::mutex> hold(world().lock);
    world().ports[port].present = true;
    world().changed.notify_all();
}

size_t outstandingReads() {
    std::lock_guard<std::mutex> hold(world().lock);
    return world().reads.size();
}

} // namespace sim
