// Readable forms of what the instrument receives: one line per decoded event, with the time, the
// destination by its name on the instrument, and the message in words.
#pragma once

#include "instrument/wire_decoder.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// "Default MIDI", "MIDI Out", "Synth-A", "Synth-B"; "-" for none.
const char* destinationName(int destination);

// The destination a name or index given on the command line means, or kNoDestination. Names
// are matched without regard to case.
int destinationByName(const std::string& name);

// Note 60 is "C4"; sharps, not flats: 61 is "C#4", 0 is "C-1".
std::string noteName(uint8_t note);

// "90 3C 40". At most `limit` bytes are shown: longer runs keep their head and tail around "...".
std::string hexBytes(const std::vector<uint8_t>& bytes, size_t limit = 16);

// One complete MIDI message in words: "Note On ch 1 C4 vel 64", "Pitch Bend ch 1 +0",
// "SysEx 10 bytes F0 7D ... F7", "Timing Clock". Channels count from 1.
std::string describeMessage(const std::vector<uint8_t>& message);

// The message, or "malformed: ..." with what was wrong.
std::string describeEvent(const WireEvent& event);

// "   1.234  Synth-A       Note On ch 1 C4 vel 64": seconds to the millisecond, then the
// destination, then the event.
std::string formatEventLine(const WireEvent& event);

// Bytes written as hex pairs, separated by spaces or not ("90 3C 40", "903c40"). False, with
// `bytes` untouched, for anything else.
bool parseHexBytes(const std::string& text, std::vector<uint8_t>& bytes);
