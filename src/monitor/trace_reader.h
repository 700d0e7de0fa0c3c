// The monitor's side of the driver's record (monitor/monitor.h): saying it watches, and reading
// what the drivers traced since it last looked without ever holding up a writer.
#pragma once

#include "monitor/monitor.h"

#include <cstdint>
#include <vector>

struct TraceReader {
    bool started;
    uint64_t next;         // the number of the next entry to read
    uint32_t unsealedSeen; // reads that found the next entry still being written
    uint64_t missed;       // entries written over before they could be read
};

// Tells the drivers that a monitor watches, for monitorLeaseMs from `now` (the system
// millisecond clock); said again at every read, it never lapses while the monitor runs.
void keepWatching(MonitorRecord& record, uint32_t now);
// The monitor stops: the drivers stop tracing at once, unless another monitor says it watches.
void stopWatching(MonitorRecord& record);
// The entries sealed since the last read, oldest first. The first read only notes where the trace
// stands. An entry written over before it was read, or under the read, is counted as missed; one
// whose writer ended half-way (a program killed mid-message) is given up after half a second of
// reads.
void readTrace(const MonitorRecord& record, TraceReader& reader, std::vector<TraceEntry>& into);
