// The monitor's words: a trace entry and the driver's counts as a musician reads them.
#pragma once

#include "monitor/monitor.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The bytes a trace entry kept of its message, in order: all of them, or its head and its tail.
std::vector<uint8_t> tracedBytesOf(const TracedBytes& message);
// 1234567 is "1,234,567".
std::string withThousands(uint64_t number);
// 50'000'123 ms after midnight is "13:53:20.123".
std::string timeOfDay(uint32_t msOfDay);
// The message in words: "Note On ch 1 C4 vel 64", "SysEx 1,024 bytes F0 7D 01 ... F7".
std::string describeTracedMessage(const TracedBytes& message);
// Where the device of a device slot is: "Default MIDI", "MIDI Out", "Synth-A", "Synth-B" or "the
// input".
std::string deviceName(uint8_t slot);
// Timing Clock and Active Sensing, which come many times a second and say nothing of the music.
bool isSteadyRealTime(const TraceEntry& entry);
// Which way an entry went: a program's message to the instrument, the instrument's to a program,
// the line's news, or a program's device opened, closed or refused.
enum class EntryDirection : uint8_t { out, in, line, device, unknown };
EntryDirection entryDirection(const TraceEntry& entry);
// What happened, in words, without who and where: the message, or what became of it, of the line
// or of the device.
std::string describeEntryWords(const TraceEntry& entry);
// What the entry tells, after its time: the direction, `program` (the program that sent or was
// sent it), where it went and the message, or what happened to the line or a device.
std::string describeTraceEntry(const TraceEntry& entry, const std::string& program);
// The driver's counts, a line each.
std::vector<std::string> describeCounts(const MonitorRecord& record);
// The line as a driver last wrote it (LineState), for the status.
const char* describeLineState(uint32_t state);
// The program's name as a driver wrote it when it opened a device; any program of the user could
// have written anything there, so it is read no further than its place, and shown plainly.
std::string programName(const OpenedDevice& device);
// Programs by process id, as their drivers wrote them into the record when they opened a device:
// "name (1234)", or "process 1234" for one never seen; kept once seen, so that a program that
// has closed everything is still named.
struct ProgramNames {
    std::map<uint32_t, std::string> known;
    const std::string& of(const MonitorRecord& record, uint32_t processId);
};
