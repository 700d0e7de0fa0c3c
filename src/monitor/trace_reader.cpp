#include "monitor/trace_reader.h"

#include <atomic>

namespace {

// Reads of an entry left unsealed before it is taken for one whose writer ended: half a second at
// the monitor's pace, longer than a busy machine keeps a writer from finishing.
constexpr uint32_t unsealedReadsMax = 25;

} // namespace

void keepWatching(MonitorRecord& record, uint32_t now) {
    uint32_t until = now + monitorLeaseMs;
    storeShared(record.watchedUntil, until == 0 ? 1 : until);
}

void stopWatching(MonitorRecord& record) {
    storeShared(record.watchedUntil, uint32_t{0});
}

void readTrace(const MonitorRecord& record, TraceReader& reader, std::vector<TraceEntry>& into) {
    uint64_t end = loadShared(record.nextEntry);
    if (!reader.started) {
        reader = {.started = true, .next = end, .unsealedSeen = 0, .missed = 0};
        return;
    }
    if (end < reader.next) {
        reader.next = end; // not the drivers' doing: the record was written over from outside
    }
    if (end - reader.next > traceEntryCount) {
        reader.missed += end - reader.next - traceEntryCount;
        reader.next = end - traceEntryCount;
    }
    while (reader.next != end) {
        const TraceEntry& entry = record.trace[reader.next % traceEntryCount];
        uint64_t sealed = loadShared(entry.sealed);
        // Unsealed, or still holding an entry of the last round: its writer is at it, or ended
        // half-way. An entry of a later round has been written over.
        if (sealed < reader.next + 1) {
            if (++reader.unsealedSeen < unsealedReadsMax) {
                return;
            }
            sealed = 0;
        }
        reader.unsealedSeen = 0;
        TraceEntry copy = entry;
        std::atomic_thread_fence(std::memory_order_acquire);
        if (sealed == reader.next + 1 && loadShared(entry.sealed) == sealed) {
            into.push_back(copy);
        } else {
            ++reader.missed; // written over, before or while it was read
        }
        ++reader.next;
    }
}
