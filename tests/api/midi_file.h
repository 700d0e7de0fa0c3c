// A Standard MIDI File that a test writes for the MCI sequencer to play: tracks of events at
// absolute ticks, written with delta times, and the channel events as they must reach the wire.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct MidiFileEvent {
    uint32_t tick;
    std::vector<uint8_t> bytes; // as stored in the file: a data byte first means running status
};

struct MidiFileTrack {
    std::vector<MidiFileEvent> events; // in tick order
};

// Adds a tempo change (microseconds per quarter note) to a track.
void addTempo(MidiFileTrack& track, uint32_t tick, uint32_t microsecondsPerQuarter);

// Format 1, `division` ticks per quarter note; each track gets its end-of-track event.
std::vector<uint8_t> midiFile(uint16_t division, const std::vector<MidiFileTrack>& tracks);

// The channel messages of all tracks in the order they play (by tick; no two tracks may share a
// tick), each with its status byte, as hex: "90 3C 40".
std::vector<std::string> channelMessagesInPlayOrder(const std::vector<MidiFileTrack>& tracks);

// Writes the bytes to a new file in the temporary folder; "" when that fails.
std::wstring writeTemporaryFile(const std::vector<uint8_t>& bytes);
