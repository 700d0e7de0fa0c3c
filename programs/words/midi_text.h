// MIDI in the musician's words: the destinations by their names on the instrument, notes, bytes in
// hex and whole messages, as the programs around the driver show them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// "Default MIDI", "MIDI Out", "Synth-A", "Synth-B"; "-" for none.
const char* destinationName(int destination);

// Note 60 is "C4"; sharps, not flats: 61 is "C#4", 0 is "C-1".
std::string noteName(uint8_t note);

// "3C".
std::string hexByte(uint8_t byte);

// "90 3C 40". At most `limit` bytes are shown: longer runs keep their head and tail around "...".
std::string hexBytes(const std::vector<uint8_t>& bytes, size_t limit = 16);

// One complete MIDI message in words: "Note On ch 1 C4 vel 64", "Pitch Bend ch 1 +0",
// "SysEx 10 bytes F0 7D ... F7", "Timing Clock". Channels count from 1.
std::string describeMessage(const std::vector<uint8_t>& message);

// Bytes written as hex pairs, separated by spaces or not ("90 3C 40", "903c40"). False, with
// `bytes` untouched, for anything else.
bool parseHexBytes(const std::string& text, std::vector<uint8_t>& bytes);
