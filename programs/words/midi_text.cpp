#include "words/midi_text.h"

#include "words/text.h"

#include <cctype>
#include <iterator>

namespace {

const char* const destinationNames[] = {"Default MIDI", "MIDI Out", "Synth-A", "Synth-B"};

const char* systemMessageName(uint8_t status) {
    switch (status) {
    case 0xF4:
        return "Undefined F4";
    case 0xF5:
        return "Undefined F5";
    case 0xF6:
        return "Tune Request";
    case 0xF8:
        return "Timing Clock";
    case 0xF9:
        return "Undefined F9";
    case 0xFA:
        return "Start";
    case 0xFB:
        return "Continue";
    case 0xFC:
        return "Stop";
    case 0xFD:
        return "Undefined FD";
    case 0xFE:
        return "Active Sensing";
    case 0xFF:
        return "System Reset";
    default:
        return nullptr;
    }
}

std::string describeChannelMessage(const std::vector<uint8_t>& m) {
    int channel = (m[0] & 0x0F) + 1;
    switch (m[0] & 0xF0) {
    case 0x80:
        return format("Note Off ch %d %s vel %d", channel, noteName(m[1]).c_str(), m[2]);
    case 0x90:
        return format("Note On ch %d %s vel %d", channel, noteName(m[1]).c_str(), m[2]);
    case 0xA0:
        return format("Poly Key Pressure ch %d %s val %d", channel, noteName(m[1]).c_str(), m[2]);
    case 0xB0:
        return format("Control Change ch %d ctl %d val %d", channel, m[1], m[2]);
    case 0xC0:
        return format("Program Change ch %d prog %d", channel, m[1]);
    case 0xD0:
        return format("Channel Pressure ch %d val %d", channel, m[1]);
    default:
        return format("Pitch Bend ch %d %+d", channel, (m[1] | m[2] << 7) - 8192);
    }
}

std::string describeSystemCommon(const std::vector<uint8_t>& m) {
    switch (m[0]) {
    case 0xF1:
        return format("MTC Quarter Frame piece %d val %d", m[1] >> 4, m[1] & 0x0F);
    case 0xF2:
        return format("Song Position %d", m[1] | m[2] << 7);
    default:
        return format("Song Select %d", m[1]);
    }
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

} // namespace

std::string hexByte(uint8_t byte) {
    return format("%02X", byte);
}

const char* destinationName(int destination) {
    if (destination < 0 || destination >= static_cast<int>(std::size(destinationNames))) {
        return "-";
    }
    return destinationNames[destination];
}

std::string noteName(uint8_t note) {
    static const char* const names[] = {"C",  "C#", "D",  "D#", "E",  "F",
                                        "F#", "G",  "G#", "A",  "A#", "B"};
    return format("%s%d", names[note % 12], note / 12 - 1);
}

std::string hexBytes(const std::vector<uint8_t>& bytes, size_t limit) {
    std::string text;
    auto append = [&](size_t from, size_t to) {
        for (size_t i = from; i < to; i++) {
            if (!text.empty()) {
                text += ' ';
            }
            text += hexByte(bytes[i]);
        }
    };
    if (bytes.size() <= limit) {
        append(0, bytes.size());
        return text;
    }
    // The head says what kind of message it is, the tail whether it ended with F7.
    const size_t tail = limit / 4;
    append(0, limit - tail);
    text += " ...";
    append(bytes.size() - tail, bytes.size());
    return text;
}

std::string describeMessage(const std::vector<uint8_t>& message) {
    if (message.empty()) {
        return "";
    }
    uint8_t status = message[0];
    if (status == 0xF0) {
        return format("SysEx %zu bytes ", message.size()) + hexBytes(message);
    }
    if (const char* name = systemMessageName(status)) {
        return name;
    }
    if (status >= 0x80 && status < 0xF0 && message.size() >= 2) {
        std::vector<uint8_t> padded = message;
        padded.resize(3, 0);
        return describeChannelMessage(padded);
    }
    if (status >= 0xF1 && status <= 0xF3 && message.size() >= 2) {
        std::vector<uint8_t> padded = message;
        padded.resize(3, 0);
        return describeSystemCommon(padded);
    }
    return hexBytes(message);
}

bool parseHexBytes(const std::string& text, std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> parsed;
    size_t i = 0;
    while (i < text.size()) {
        if (std::isspace(static_cast<unsigned char>(text[i])) || text[i] == ',') {
            i++;
            continue;
        }
        if (i + 1 >= text.size()) {
            return false;
        }
        int high = hexDigit(text[i]);
        int low = hexDigit(text[i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        parsed.push_back(static_cast<uint8_t>(high << 4 | low));
        i += 2;
    }
    bytes = std::move(parsed);
    return true;
}
