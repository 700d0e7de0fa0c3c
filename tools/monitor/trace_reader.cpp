#include "monitor/trace_reader.h"

#include <atomic>

namespace {

// The record is written by other processes: every word that says what may be read is read whole.
uint64_t sharedWord(const uint64_t& word) {
    return std::atomic_ref<uint64_t>(const_cast<uint64_t&>(word)).load(std::memory_order_acquire);
}

// Reads of an entry left unsealed before it is taken for one whose writer ended.
constexpr uint32_t unsealedReadsMax = 3;

} // namespace

void keepWatching(MonitorRecord& record, uint32_t now) {
    uint32_t until = now + monitorLeaseMs;
    std::atomic_ref<uint32_t>(record.watchedUntil).store(until == 0 ? 1 : until);
}

void readTrace(const MonitorRecord& record, TraceReader& reader, std::vector<TraceEntry>& into) {
    uint64_t end = sharedWord(record.nextEntry);
    if (!reader.started) {
        reader = {.started = true, .next = end, .unsealedSeen = 0, .missed = 0};
        return;
    }
    if (end - reader.next > traceEntryCount) {
        reader.missed += end - reader.next - traceEntryCount;
        reader.next = end - traceEntryCount;
    }
    while (reader.next != end) {
        const TraceEntry& entry = record.trace[reader.next % traceEntryCount];
        uint64_t sealed = sharedWord(entry.sealed);
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
        if (sealed == reader.next + 1 && sharedWord(entry.sealed) == sealed) {
            into.push_back(copy);
        } else {
            ++reader.missed; // written over, before or while it was read
        }
        ++reader.next;
    }
}
