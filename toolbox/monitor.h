// What goes to the instrument and comes back, live, and the driver's own counts: read from the
// record every program's driver keeps (monitor/monitor.h), without opening any device, so that
// looking never takes the instrument from a program nor changes what reaches it.
#pragma once

#include "monitor/monitor.h"

#include <cstdint>
#include <map>
#include <string>

struct MonitorOptions {
    bool all = false;     // Timing Clock and Active Sensing too
    std::wstring logFile; // also written here, for a support request
};

// Shows every message until Ctrl+C, then the counts; the exit code.
int runMonitor(const MonitorOptions& options);
// Prints the mode, the port, the line, which programs have which devices open, and the counts.
int printStatus(const std::wstring& mode, unsigned port);

// The record every program's driver of this logon session keeps: made by a monitor when no driver
// is loaded yet, so that the drivers loaded later find it watched; only looked at by the status,
// which leaves it to the drivers to make. `record` is null when it cannot be had.
struct MappedRecord {
    platform::Handle mapping = platform::nullHandle;
    MonitorRecord* record = nullptr;
    explicit MappedRecord(bool make);
    ~MappedRecord();
    MappedRecord(const MappedRecord&) = delete;
    MappedRecord& operator=(const MappedRecord&) = delete;
};

// The entries' clock, the system's milliseconds since start, as the time of day.
struct Clock {
    uint32_t startTick;
    uint32_t startOfDay;
    Clock();
    std::string at(uint32_t tick) const;
};

// The devices of each program that runs, by process id: "Default MIDI, the input".
std::map<uint32_t, std::string> openDevices(const MonitorRecord& record);
