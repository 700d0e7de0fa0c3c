#include "words/monitor_text.h"

#include "words/midi_text.h"
#include "words/text.h"

#include <cstdio>
#include <iterator>

namespace {

const char* filterName(uint8_t kind) {
    static const char* const names[] = {"",
                                        "Program Change",
                                        "Control Change",
                                        "Bank Select",
                                        "Channel Pressure",
                                        "Poly Key Pressure",
                                        "System Exclusive"};
    return kind < std::size(names) ? names[kind] : "";
}

std::string lineWords(const TraceEntry& entry) {
    bool service = (entry.flags & traceViaService) != 0;
    switch (entry.event) {
    case TraceEvent::lineLost:
        return service ? "the connection to the sharing service was lost"
                       : "the serial line was lost (the cable or adapter went away)";
    case TraceEvent::lineBack:
        return service ? "the connection to the sharing service is back"
                       : "the serial line is back";
    default:
        return "a write was given up: the line took no byte for seconds";
    }
}

std::string outputWords(const TraceEntry& entry) {
    std::string message = describeTracedMessage(entry.message);
    switch (entry.event) {
    case TraceEvent::sent:
        return message + ((entry.flags & traceSilencing) != 0 ? "  (a reset turns it off)" : "");
    case TraceEvent::notSent:
        return format("NOT SENT (status %u): ", entry.status) + message;
    case TraceEvent::reset:
        return "reset: what the program left sounding is turned off";
    default:
        return (entry.detail == 0 ? std::string("dropped: data with no status byte before it: ")
                                  : format("dropped by the %s filter of the settings: ",
                                           filterName(entry.detail))) +
               message;
    }
}

std::string inputWords(const TraceEntry& entry) {
    std::string message = describeTracedMessage(entry.message);
    switch (entry.event) {
    case TraceEvent::received:
        return message;
    case TraceEvent::broken:
        return "broken message, told as an error: " + message;
    case TraceEvent::exclusiveCut:
        return "cut short before its F7, told as an error: " + message;
    default:
        return message + " LOST: the program had no buffer for " + withThousands(entry.status) +
               " bytes of it";
    }
}

std::string deviceWords(const TraceEntry& entry) {
    std::string device = deviceName(entry.slot);
    switch (entry.event) {
    case TraceEvent::opened:
        return "opened " + device;
    case TraceEvent::closed:
        return "closed " + device;
    default:
        return "was refused " + device + ": the instrument, or that device, is in use";
    }
}

// By LineState.
const char* const lineStates[] = {
    "closed: no program has a device of the instrument open",
    "up",
    "LOST: the cable or the adapter went away; the driver tries it a few times a second",
};

} // namespace

std::vector<uint8_t> tracedBytesOf(const TracedBytes& message) {
    uint8_t bytes[traceHeadBytes + traceTailBytes];
    return std::vector<uint8_t>(bytes, bytes + tracedBytesInOrder(message, bytes));
}

std::string deviceName(uint8_t slot) {
    if (slot == deviceSlot(kindInput, 0)) {
        return "the input";
    }
    return destinationName(slot - deviceSlot(kindOutput, 0));
}

std::string withThousands(uint64_t number) {
    std::string digits = std::to_string(number);
    for (size_t at = digits.size(); at > 3; at -= 3) {
        digits.insert(at - 3, ",");
    }
    return digits;
}

std::string timeOfDay(uint32_t msOfDay) {
    return format("%02u:%02u:%02u.%03u", msOfDay / 3'600'000 % 24, msOfDay / 60'000 % 60,
                  msOfDay / 1000 % 60, msOfDay % 1000);
}

std::string describeTracedMessage(const TracedBytes& message) {
    std::vector<uint8_t> bytes = tracedBytesOf(message);
    if (bytes.empty() || (bytes[0] != 0xF0 && message.length <= 3)) {
        return describeMessage(bytes);
    }
    // Long: its size, and enough of its head to tell whose it is, and its end.
    std::string head = bytes[0] == 0xF0 ? "SysEx " : "long message ";
    std::vector<uint8_t> shown = bytes;
    if (message.length > 12) {
        shown.resize(6);
        return head + withThousands(message.length) + " bytes " + hexBytes(shown) + " ... " +
               hexBytes({bytes.back()});
    }
    return head + withThousands(message.length) + " bytes " + hexBytes(shown);
}

bool isSteadyRealTime(const TraceEntry& entry) {
    return entry.message.length == 1 &&
           (entry.message.bytes[0] == 0xF8 || entry.message.bytes[0] == 0xFE);
}

EntryDirection entryDirection(const TraceEntry& entry) {
    switch (entry.event) {
    case TraceEvent::sent:
    case TraceEvent::notSent:
    case TraceEvent::dropped:
    case TraceEvent::reset:
        return EntryDirection::out;
    case TraceEvent::received:
    case TraceEvent::broken:
    case TraceEvent::exclusiveCut:
    case TraceEvent::exclusiveLost:
        return EntryDirection::in;
    case TraceEvent::lineLost:
    case TraceEvent::lineBack:
    case TraceEvent::writeGivenUp:
        return EntryDirection::line;
    case TraceEvent::opened:
    case TraceEvent::closed:
    case TraceEvent::openRefused:
        return EntryDirection::device;
    default:
        return EntryDirection::unknown;
    }
}

std::string describeEntryWords(const TraceEntry& entry) {
    switch (entryDirection(entry)) {
    case EntryDirection::out:
        return outputWords(entry);
    case EntryDirection::in:
        return inputWords(entry);
    case EntryDirection::line:
        return lineWords(entry);
    case EntryDirection::device:
        return deviceWords(entry);
    default:
        return "an entry this monitor does not know";
    }
}

std::string describeTraceEntry(const TraceEntry& entry, const std::string& program) {
    std::string words = describeEntryWords(entry);
    switch (entryDirection(entry)) {
    case EntryDirection::out:
        return "out   " + program + " > " + deviceName(entry.slot) + "  " + words;
    case EntryDirection::in:
        return "in    " + program + " < instrument  " + words;
    case EntryDirection::line:
        return "line  " + words;
    case EntryDirection::device:
        return "open  " + program + " " + words;
    default:
        return "?     " + words;
    }
}

std::vector<std::string> describeCounts(const MonitorRecord& record) {
    auto count = [&record](Count which) { return withThousands(figure(record, which)); };
    std::string dropped;
    for (MessageKind kind = firstMessageKind; kind <= lastMessageKind;
         kind = nextMessageKind(kind)) {
        if (uint64_t n = figure(record, droppedCount(kind)); n != 0) {
            dropped += (dropped.empty() ? "" : ", ") + withThousands(n) + " " +
                       filterName(static_cast<uint8_t>(kind));
        }
    }
    return {
        "sent to the instrument: " + count(Count::messagesSent) + " messages, " +
            count(Count::bytesSent) + " bytes",
        "received from it: " + count(Count::messagesReceived) + " messages, " +
            count(Count::bytesReceived) + " bytes (as many times as programs listened)",
        "dropped by the settings' filters: " + (dropped.empty() ? "none" : dropped),
        "exclusives lost because the program had no buffer queued: " + count(Count::exclusivesLost),
        "broken messages from the instrument: " + count(Count::brokenMessages) +
            ", exclusives cut short: " + count(Count::brokenExclusives),
        "line to the instrument (or the sharing service) lost: " + count(Count::lineLosses) +
            " times, back: " + count(Count::lineRecoveries) + " times",
        "writes given up on a line that took nothing: " + count(Count::writesGivenUp),
        "opens refused because the instrument, or the device, was in use: " +
            count(Count::opensRefused),
    };
}

std::string programName(const OpenedDevice& device) {
    std::string result;
    for (uint32_t at = 0; at < programNameLength && device.program[at] != 0; ++at) {
        char16_t c = device.program[at];
        result += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    }
    return result;
}

const std::string& ProgramNames::of(const MonitorRecord& record, uint32_t processId) {
    for (const OpenedDevice& device : record.opened) {
        if (device.processId == processId && device.program[0] != 0) {
            known[processId] = programName(device) + " (" + std::to_string(processId) + ")";
        }
    }
    auto found = known.find(processId);
    if (found == known.end()) {
        found = known.emplace(processId, "process " + std::to_string(processId)).first;
    }
    return found->second;
}

const char* describeLineState(uint32_t state) {
    return lineStates[state < std::size(lineStates) ? state : 0];
}
