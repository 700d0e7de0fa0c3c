#include "midi_file.h"

#include "common/hex.h"

#include <windows.h>

#include <algorithm>
#include <map>
#include <string>

namespace {

void put16(std::vector<uint8_t>& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

void put32(std::vector<uint8_t>& out, uint32_t value) {
    put16(out, value >> 16);
    put16(out, value & 0xFFFF);
}

void putVariableLength(std::vector<uint8_t>& out, uint32_t value) {
    uint8_t groups[5];
    int count = 0;
    do {
        groups[count++] = value & 0x7F;
        value >>= 7;
    } while (value != 0);
    while (count > 1) {
        out.push_back(groups[--count] | 0x80);
    }
    out.push_back(groups[0]);
}

} // namespace

void addTempo(MidiFileTrack& track, uint32_t tick, uint32_t microsecondsPerQuarter) {
    track.events.push_back({tick,
                            {0xFF, 0x51, 0x03, static_cast<uint8_t>(microsecondsPerQuarter >> 16),
                             static_cast<uint8_t>(microsecondsPerQuarter >> 8),
                             static_cast<uint8_t>(microsecondsPerQuarter)}});
}

std::vector<uint8_t> midiFile(uint16_t division, const std::vector<MidiFileTrack>& tracks) {
    std::vector<uint8_t> file = {'M', 'T', 'h', 'd'};
    put32(file, 6);
    put16(file, 1);
    put16(file, static_cast<uint32_t>(tracks.size()));
    put16(file, division);
    for (const MidiFileTrack& track : tracks) {
        std::vector<uint8_t> body;
        uint32_t now = 0;
        for (const MidiFileEvent& event : track.events) {
            putVariableLength(body, event.tick - now);
            now = event.tick;
            body.insert(body.end(), event.bytes.begin(), event.bytes.end());
        }
        body.insert(body.end(), {0x00, 0xFF, 0x2F, 0x00});
        file.insert(file.end(), {'M', 'T', 'r', 'k'});
        put32(file, static_cast<uint32_t>(body.size()));
        file.insert(file.end(), body.begin(), body.end());
    }
    return file;
}

std::vector<std::string> channelMessagesInPlayOrder(const std::vector<MidiFileTrack>& tracks) {
    std::map<uint32_t, std::string> byTick;
    for (const MidiFileTrack& track : tracks) {
        uint8_t runningStatus = 0;
        for (const MidiFileEvent& event : track.events) {
            std::vector<uint8_t> message = event.bytes;
            if (message[0] == 0xFF) {
                continue; // meta events stay in the file
            }
            if (message[0] < 0x80) {
                message.insert(message.begin(), runningStatus);
            }
            runningStatus = message[0];
            // The play order of events on one tick is the player's choice: tests keep them apart.
            bool tickIsFree =
                byTick.emplace(event.tick, hexBytes(message.data(), message.size())).second;
            if (!tickIsFree) {
                return {"two events on tick " + std::to_string(event.tick)};
            }
        }
    }
    std::vector<std::string> messages;
    for (const auto& [tick, message] : byTick) {
        messages.push_back(message);
    }
    return messages;
}

std::wstring writeTemporaryFile(const std::vector<uint8_t>& bytes) {
    wchar_t folder[MAX_PATH], path[MAX_PATH];
    if (GetTempPathW(MAX_PATH, folder) == 0 || GetTempFileNameW(folder, L"mid", 0, path) == 0) {
        return {};
    }
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return {};
    }
    DWORD written = 0;
    BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size() ? std::wstring(path) : std::wstring();
}
