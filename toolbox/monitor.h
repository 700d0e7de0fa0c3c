// What goes to the instrument and comes back, live, and the driver's own counts: read from the
// record every program's driver keeps (monitor/monitor.h), without opening any device, so that
// looking never takes the instrument from a program nor changes what reaches it.
#pragma once

#include <string>

struct MonitorOptions {
    bool all = false;     // Timing Clock and Active Sensing too
    std::wstring logFile; // also written here, for a support request
};

// Shows every message until Ctrl+C, then the counts; the exit code.
int runMonitor(const MonitorOptions& options);
// Prints the mode, the port, the line, which programs have which devices open, and the counts.
int printStatus(const std::wstring& mode, unsigned port);
