#include "words/monitor_rows.h"

#include "words/midi_text.h"
#include "words/monitor_text.h"

#include <vector>

namespace {

bool carriesMessage(const TraceEntry& entry) {
    EntryDirection direction = entryDirection(entry);
    return (direction == EntryDirection::out || direction == EntryDirection::in) &&
           entry.event != TraceEvent::reset && entry.message.length != 0 &&
           entry.message.bytes[0] >= 0x80;
}

RowKind systemKindOf(uint8_t status) {
    switch (status) {
    case 0xF0:
        return RowKind::exclusive;
    case 0xF8:
        return RowKind::timingClock;
    case 0xFE:
        return RowKind::activeSensing;
    default:
        return status >= 0xF8 ? RowKind::otherRealTime : RowKind::systemCommon;
    }
}

const char* directionWord(EntryDirection direction) {
    switch (direction) {
    case EntryDirection::out:
        return "out";
    case EntryDirection::in:
        return "in";
    case EntryDirection::line:
        return "line";
    case EntryDirection::device:
        return "open";
    default:
        return "?";
    }
}

// The kept bytes in hex, all of them: a long message's head, then its tail after "...".
std::string hexOf(const TracedBytes& message) {
    std::vector<uint8_t> bytes = tracedBytesOf(message);
    if (message.length <= bytes.size()) {
        return hexBytes(bytes, bytes.size());
    }
    std::vector<uint8_t> head(bytes.begin(), bytes.begin() + traceHeadBytes);
    std::vector<uint8_t> tail(bytes.begin() + traceHeadBytes, bytes.end());
    return hexBytes(head, head.size()) + " ... " + hexBytes(tail, tail.size());
}

} // namespace

RowKind rowKindOf(const TraceEntry& entry) {
    if (!carriesMessage(entry)) {
        return RowKind::news;
    }
    uint8_t status = entry.message.bytes[0];
    if (status >= 0xF0) {
        return systemKindOf(status);
    }
    switch (status & 0xF0) {
    case 0xB0:
        return RowKind::controlChange;
    case 0xC0:
        return RowKind::programChange;
    case 0xD0:
        return RowKind::channelPressure;
    case 0xE0:
        return RowKind::pitchBend;
    default:
        return RowKind::note;
    }
}

int rowChannelOf(const TraceEntry& entry) {
    if (!carriesMessage(entry) || entry.message.bytes[0] >= 0xF0) {
        return -1;
    }
    return entry.message.bytes[0] & 0x0F;
}

bool rowShown(const TraceEntry& entry, const RowFilter& filter) {
    EntryDirection direction = entryDirection(entry);
    if ((direction == EntryDirection::out && !filter.out) ||
        (direction == EntryDirection::in && !filter.in)) {
        return false;
    }
    // The line's news belongs to every program.
    if (filter.processId != 0 && direction != EntryDirection::line &&
        entry.processId != filter.processId) {
        return false;
    }
    int channel = rowChannelOf(entry);
    if (channel >= 0 && (filter.channels & (1u << channel)) == 0) {
        return false;
    }
    return (filter.shownKinds & rowKindBit(rowKindOf(entry))) != 0;
}

MonitorRow rowOf(const TraceEntry& entry, const std::string& program, int64_t sinceMs) {
    EntryDirection direction = entryDirection(entry);
    MonitorRow row;
    row.sincePrevious =
        sinceMs < 0 ? "" : "+" + withThousands(static_cast<uint64_t>(sinceMs)) + " ms";
    row.direction = directionWord(direction);
    if (direction != EntryDirection::line) {
        row.program = program;
        row.destination = deviceName(entry.slot);
    }
    row.words = describeEntryWords(entry);
    if (carriesMessage(entry) || entry.event == TraceEvent::dropped) {
        row.hex = hexOf(entry.message);
    }
    return row;
}
