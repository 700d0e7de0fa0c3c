// Standard MIDI Files for the instrument to play towards the driver, read with libsmf.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Bytes to send at a time counted from the start of playing.
struct TimedBytes {
    int64_t offsetUs;
    std::vector<uint8_t> bytes;
};

// Appends every MIDI event of the file (meta events left out) in time order, each as complete
// messages with their status bytes. False with `error` set when the file cannot be read.
bool loadMidiFile(const std::string& path, std::vector<TimedBytes>& events, std::string& error);
