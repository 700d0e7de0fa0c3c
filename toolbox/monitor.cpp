#include "monitor.h"

#include "instrument.h"
#include "monitor/trace_reader.h"
#include "words/monitor_text.h"

#include <windows.h>

#include <mmsystem.h>

#include <atomic>
#include <cstdio>
#include <iterator>
#include <map>
#include <memory>
#include <vector>

namespace {

// Writes each line to the console and, when asked, to the log file as well.
struct Output {
    FILE* log = nullptr;
    void line(const std::string& text) const {
        std::wprintf(L"%hs\n", text.c_str());
        if (log != nullptr) {
            std::fprintf(log, "%s\n", text.c_str());
            std::fflush(log);
        }
    }
};

void printCounts(const MonitorRecord& record, const Output& out) {
    out.line("counts since the first program of this session loaded the driver (or a monitor "
             "started before it):");
    for (const std::string& line : describeCounts(record)) {
        out.line("  " + line);
    }
}

constexpr DWORD readIntervalMs = 20;

} // namespace

MappedRecord::MappedRecord(bool make) {
    if (make) {
        record = static_cast<MonitorRecord*>(
            platform::mapSharedMemory(monitorRecordName, sizeof(MonitorRecord), mapping, true));
        return;
    }
    HANDLE found = OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE,
                                    reinterpret_cast<const wchar_t*>(monitorRecordName));
    void* view = found == nullptr ? nullptr
                                  : MapViewOfFile(found, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0,
                                                  sizeof(MonitorRecord));
    if (view == nullptr && found != nullptr) {
        CloseHandle(found);
    }
    record = static_cast<MonitorRecord*>(view);
    mapping = reinterpret_cast<platform::Handle>(found);
}

MappedRecord::~MappedRecord() {
    if (record != nullptr) {
        platform::unmapSharedMemory(record, mapping);
    }
}

Clock::Clock() : startTick(timeGetTime()) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    startOfDay = ((now.wHour * 60u + now.wMinute) * 60u + now.wSecond) * 1000u + now.wMilliseconds;
}

std::string Clock::at(uint32_t tick) const {
    return timeOfDay(startOfDay + static_cast<uint32_t>(static_cast<int32_t>(tick - startTick)));
}

namespace {

bool isRunning(const OpenedDevice& device) {
    return device.processId != 0 &&
           platform::processIsRunning({device.processId, device.processStart});
}

} // namespace

std::map<uint32_t, std::string> openDevices(const MonitorRecord& record) {
    std::map<uint32_t, std::string> devices;
    for (const OpenedDevice& device : record.opened) {
        if (isRunning(device)) {
            std::string& listed = devices[device.processId];
            listed += (listed.empty() ? "" : ", ") + deviceName(static_cast<uint8_t>(device.slot));
        }
    }
    return devices;
}

int runMonitor(const MonitorOptions& options) {
    MappedRecord mapped(true);
    if (mapped.record == nullptr) {
        std::wprintf(L"The driver's record cannot be had (error %lu).\n", GetLastError());
        return 5;
    }
    MonitorRecord& record = *mapped.record;
    Output out;
    if (!options.logFile.empty() && _wfopen_s(&out.log, options.logFile.c_str(), L"w") != 0) {
        std::wprintf(L"The log file %ls cannot be written.\n", options.logFile.c_str());
        return 2;
    }
    const std::atomic<bool>& stopAsked = stopAskedAtConsole();
    // Watching, and reading from here on, before it says so: what a user does once the line is
    // shown is all there.
    Clock clock;
    ProgramNames names;
    TraceReader reader{};
    std::vector<TraceEntry> entries;
    keepWatching(record, timeGetTime());
    readTrace(record, reader, entries);
    out.line("Watching what goes to the MELV PC I/F instrument and comes back; Ctrl+C ends.");
    uint64_t hidden = 0, missedTold = 0;
    while (!stopAsked) {
        keepWatching(record, timeGetTime());
        entries.clear();
        readTrace(record, reader, entries);
        for (const TraceEntry& entry : entries) {
            if (!options.all && isSteadyRealTime(entry)) {
                ++hidden;
                continue;
            }
            out.line(clock.at(entry.time) + "  " +
                     describeTraceEntry(entry, names.of(record, entry.processId)));
        }
        if (reader.missed != missedTold) {
            out.line("(the monitor fell behind and missed " +
                     withThousands(reader.missed - missedTold) + " messages)");
            missedTold = reader.missed;
        }
        Sleep(readIntervalMs);
    }
    stopWatching(record);
    out.line("stopped. Timing Clock and Active Sensing not shown: " + withThousands(hidden) +
             "; missed: " + withThousands(reader.missed));
    printCounts(record, out);
    if (out.log != nullptr) {
        std::fclose(out.log);
    }
    return 0;
}

int printStatus(const std::wstring& mode, unsigned port) {
    std::wprintf(L"mode: %ls\nport: COM%u\n", mode.c_str(), port);
    MappedRecord mapped(false);
    const MonitorRecord* record = mapped.record;
    if (record == nullptr) {
        std::wprintf(L"No program has the driver loaded now: no device is open, and the counts "
                     L"start when the next program loads it.\n");
        return 0;
    }
    std::map<uint32_t, std::string> devices = openDevices(*record);
    // The state a driver last wrote; once no device is open nobody holds the line.
    uint32_t state = devices.empty() ? 0 : loadShared(record->line);
    std::wprintf(L"line: %hs\n", describeLineState(state));
    std::wprintf(devices.empty() ? L"open devices: none\n" : L"open devices:\n");
    ProgramNames names;
    for (const auto& [processId, list] : devices) {
        std::wprintf(L"  %hs: %hs\n", names.of(*record, processId).c_str(), list.c_str());
    }
    Output out;
    printCounts(*record, out);
    return 0;
}
