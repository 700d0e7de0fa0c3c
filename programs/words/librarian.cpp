#include "words/librarian.h"

#include "midi/messages.h"
#include "words/midi_text.h"
#include "words/text.h"

#include <algorithm>

namespace {

constexpr uint8_t startOfExclusive = 0xF0;
constexpr uint8_t endOfExclusive = 0xF7;

std::string at(size_t offset) {
    return "at byte " + std::to_string(offset);
}

// What is wrong with the exclusive of `bytes` (`whole`: "the file") that starts at `start`, or ""
// when it is whole; `end` becomes the offset of its F7.
std::string checkExclusive(const std::vector<uint8_t>& bytes, size_t start, size_t& end,
                           const char* whole) {
    for (end = start + 1; end < bytes.size(); ++end) {
        if (bytes[end] == endOfExclusive) {
            return "";
        }
        if (bytes[end] >= 0x80) {
            return "status byte " + hexByte(bytes[end]) + " " + at(end) +
                   " inside the exclusive that starts " + at(start);
        }
    }
    return "the exclusive that starts " + at(start) + " has no F7 before the end of " + whole;
}

struct Universal {
    uint8_t id;
    uint8_t subId1; // 0: any
    uint8_t subId2;
    const char* name;
};

// The universal messages a musician meets in dumps and requests.
const Universal universals[] = {
    {0x7E, 0x06, 0x01, "Identity Request"},
    {0x7E, 0x06, 0x02, "Identity Reply"},
    {0x7E, 0x09, 0x01, "General MIDI On"},
    {0x7E, 0x09, 0x02, "General MIDI Off"},
    {0x7E, 0x09, 0x03, "General MIDI 2 On"},
    {0x7F, 0x04, 0x01, "Master Volume"},
    {0x7F, 0x04, 0x02, "Master Balance"},
    {0x7E, 0x01, 0x00, "Sample Dump Header"},
    {0x7E, 0x02, 0x00, "Sample Data Packet"},
    {0x7E, 0x7C, 0x00, "Wait"},
    {0x7E, 0x7D, 0x00, "Cancel"},
    {0x7E, 0x7E, 0x00, "NAK"},
    {0x7E, 0x7F, 0x00, "ACK"},
    {0x7E, 0x7B, 0x00, "End of File"},
    {0x7F, 0x01, 0x01, "MIDI Time Code Full Message"},
};

const char* universalName(const Exclusive& exclusive) {
    if (exclusive.size() < 5) {
        return nullptr;
    }
    for (const Universal& universal : universals) {
        if (universal.id == exclusive[1] && universal.subId1 == exclusive[3] &&
            (universal.subId2 == 0 || universal.subId2 == exclusive[4])) {
            return universal.name;
        }
    }
    return nullptr;
}

// Checks one typed message from `from` on and moves `from` past it; what is wrong, or "".
std::string checkTypedMessage(const std::vector<uint8_t>& bytes, size_t& from) {
    size_t start = from;
    uint8_t status = bytes[start];
    if (status < 0x80) {
        return "data byte " + hexByte(status) + " " + at(start) + " has no status byte before it";
    }
    if (status == endOfExclusive) {
        return "F7 " + at(start) + " ends no exclusive";
    }
    if (status == startOfExclusive) {
        size_t end;
        std::string problem = checkExclusive(bytes, start, end, "what was typed");
        from = end + 1;
        return problem;
    }
    size_t length = shortMessageBytes(status);
    for (from = start + 1; from < start + length; ++from) {
        if (from == bytes.size() || bytes[from] >= 0x80) {
            return format("%s %s needs %zu data byte%s", hexByte(status).c_str(), at(start).c_str(),
                          length - 1, length == 2 ? "" : "s");
        }
    }
    return "";
}

} // namespace

bool readSyx(const std::vector<uint8_t>& file, std::vector<Exclusive>& exclusives,
             std::string& problem) {
    exclusives.clear();
    if (file.empty()) {
        problem = "the file is empty";
        return false;
    }
    if (file.size() > syxFileBytesMax) {
        problem = "the file is larger than 16 MiB";
        return false;
    }
    if (std::find(file.begin(), file.end(), startOfExclusive) == file.end()) {
        problem = "the file holds no exclusive: it has no F0";
        return false;
    }
    std::vector<Exclusive> found;
    for (size_t start = 0; start < file.size(); ++start) {
        if (file[start] != startOfExclusive) {
            problem = "byte " + hexByte(file[start]) + " " + at(start) +
                      (found.empty() ? " comes before the first F0" : " stands between exclusives");
            return false;
        }
        size_t end;
        problem = checkExclusive(file, start, end, "the file");
        if (!problem.empty()) {
            return false;
        }
        found.emplace_back(file.begin() + static_cast<std::ptrdiff_t>(start),
                           file.begin() + static_cast<std::ptrdiff_t>(end) + 1);
        start = end;
    }
    exclusives = std::move(found);
    return true;
}

std::vector<uint8_t> syxFileOf(const std::vector<Exclusive>& exclusives) {
    std::vector<uint8_t> file;
    for (const Exclusive& exclusive : exclusives) {
        file.insert(file.end(), exclusive.begin(), exclusive.end());
    }
    return file;
}

std::vector<SendStep> pacedSend(const std::vector<Exclusive>& exclusives, size_t packetBytes,
                                uint32_t pauseMs) {
    std::vector<SendStep> steps;
    pauseMs = std::min(pauseMs, sendPauseMaxMs);
    for (size_t index = 0; index < exclusives.size(); ++index) {
        size_t size = exclusives[index].size();
        size_t packet = packetBytes == 0 ? size : packetBytes;
        for (size_t offset = 0; offset < size; offset += packet) {
            steps.push_back({index, offset, std::min(packet, size - offset), 0});
        }
        if (index + 1 < exclusives.size() && !steps.empty()) {
            steps.back().pauseAfterMs = pauseMs;
        }
    }
    return steps;
}

std::string makerOf(const Exclusive& exclusive) {
    if (exclusive.size() < 3 || exclusive[0] != startOfExclusive || exclusive[1] >= 0x80) {
        return "";
    }
    if (exclusive[1] == 0x7D) {
        return "Non-Commercial";
    }
    if (exclusive[1] == 0x7E || exclusive[1] == 0x7F) {
        std::string kind = exclusive[1] == 0x7E ? "Universal Non-Real Time" : "Universal Real Time";
        const char* name = universalName(exclusive);
        return name == nullptr ? kind : kind + " " + name;
    }
    if (exclusive[1] == 0x00 && exclusive.size() >= 4) {
        return "ID " + hexBytes({exclusive.begin() + 1, exclusive.begin() + 4});
    }
    return "ID " + hexByte(exclusive[1]);
}

bool readTypedMessages(const std::string& text, std::vector<uint8_t>& bytes, std::string& problem) {
    std::vector<uint8_t> typed;
    if (!parseHexBytes(text, typed)) {
        problem = "only pairs of hex digits, such as 90 3C 40, can be sent";
        return false;
    }
    if (typed.empty()) {
        problem = "nothing to send";
        return false;
    }
    for (size_t from = 0; from < typed.size();) {
        problem = checkTypedMessage(typed, from);
        if (!problem.empty()) {
            return false;
        }
    }
    bytes = std::move(typed);
    return true;
}
