#include "monitor/monitor.h"

#include <atomic>

namespace {

// Whether the clock has not yet reached `until`, looked at on the clock's circle.
bool before(uint32_t now, uint32_t until) {
    return static_cast<int32_t>(until - now) > 0;
}

} // namespace

void connectMonitor(MonitorLink& monitor, platform::ProcessIdentity process) {
    // What programs send is nothing for a sandboxed program of the user to read.
    void* view =
        platform::mapSharedMemory(monitorRecordName, sizeof(MonitorRecord), monitor.mapping, true);
    monitor.record = static_cast<MonitorRecord*>(view);
    monitor.process = process;
}

void disconnectMonitor(MonitorLink& monitor) {
    if (monitor.record != nullptr) {
        platform::unmapSharedMemory(monitor.record, monitor.mapping);
        monitor.record = nullptr;
        monitor.mapping = platform::nullHandle;
    }
}

bool monitorWatches(const MonitorLink& monitor) {
    if (monitor.record == nullptr) {
        return false;
    }
    uint32_t until = loadShared(monitor.record->watchedUntil);
    if (until == 0) {
        return false;
    }
    if (before(platform::milliseconds(), until)) {
        return true;
    }
    // A lapsed lease is cleared, lest the clock's wrap weeks later make it look current again.
    replaceShared(monitor.record->watchedUntil, until, uint32_t{0});
    return false;
}

void countUp(const MonitorLink& monitor, Count count, uint64_t by) {
    if (monitor.record != nullptr) {
        addShared(monitor.record->figures[static_cast<uint32_t>(count)], by);
    }
}

namespace {

// Writes the next entry in place, whatever the monitor does meanwhile.
void writeEntry(const MonitorLink& monitor, const TraceNote& note, const TracedBytes& message) {
    MonitorRecord& record = *monitor.record;
    uint64_t number = addShared(record.nextEntry, uint64_t{1});
    TraceEntry& entry = record.trace[number % traceEntryCount];
    // Unsealed while it is written: a monitor that reads it meanwhile takes it for missed.
    storeShared(entry.sealed, uint64_t{0});
    std::atomic_thread_fence(std::memory_order_release);
    entry.time = platform::milliseconds();
    entry.processId = monitor.process.id;
    entry.status = note.status;
    entry.event = note.event;
    entry.slot = note.slot;
    entry.detail = note.detail;
    entry.flags = note.flags;
    entry.message = message;
    storeShared(entry.sealed, number + 1);
}

} // namespace

void trace(const MonitorLink& monitor, const TraceNote& note, const TracedBytes* message) {
    if (monitorWatches(monitor)) {
        writeEntry(monitor, note, message != nullptr ? *message : TracedBytes{});
    }
}

void traceBytes(const MonitorLink& monitor, const TraceNote& note, const uint8_t* bytes,
                uint32_t length) {
    if (!monitorWatches(monitor)) {
        return;
    }
    // Only the head and the tail are kept, however long the message: the rest is skipped.
    TracedBytes message{};
    for (uint32_t at = 0; at < length; ++at) {
        if (at == traceHeadBytes && length > traceHeadBytes + traceTailBytes) {
            at = length - traceTailBytes;
            message.length = at;
        }
        keepTracedByte(message, bytes[at]);
    }
    writeEntry(monitor, note, message);
}

namespace {

// A place being filled in: taken, and not yet anybody's to list, take over or let go.
constexpr uint32_t placeBeingFilled = 0xFFFFFFFF;

// Takes a free place, or with `takeOverEnded` one a program that ended left behind.
OpenedDevice* claimPlace(MonitorRecord& record, bool takeOverEnded) {
    for (OpenedDevice& place : record.opened) {
        uint32_t holder = loadShared(place.processId);
        if (holder == placeBeingFilled ||
            (holder != 0 &&
             (!takeOverEnded || platform::processIsRunning({holder, place.processStart})))) {
            continue;
        }
        if (replaceShared(place.processId, holder, placeBeingFilled)) {
            return &place;
        }
    }
    return nullptr;
}

} // namespace

void tellOpenedDevice(const MonitorLink& monitor, uint32_t slot, bool viaService) {
    if (monitor.record == nullptr) {
        return;
    }
    OpenedDevice* place = claimPlace(*monitor.record, false);
    place = place != nullptr ? place : claimPlace(*monitor.record, true);
    if (place == nullptr) {
        return;
    }
    place->slot = slot;
    place->processStart = monitor.process.startTime;
    place->viaService = viaService ? 1 : 0;
    if (!platform::processFileName(monitor.process, place->program, programNameLength)) {
        place->program[0] = 0;
    }
    storeShared(place->processId, monitor.process.id);
}

void forgetOpenedDevice(const MonitorLink& monitor, uint32_t slot) {
    if (monitor.record == nullptr) {
        return;
    }
    for (OpenedDevice& place : monitor.record->opened) {
        if (loadShared(place.processId) == monitor.process.id && place.slot == slot &&
            place.processStart == monitor.process.startTime) {
            place.slot = 0;
            storeShared(place.processId, uint32_t{0});
            return;
        }
    }
}

void setLineState(const MonitorLink& monitor, LineState state) {
    if (monitor.record != nullptr) {
        storeShared(monitor.record->line, static_cast<uint32_t>(state));
    }
}
