// What the librarian makes of exclusives, apart from any window or device: a .syx file read into
// its exclusives or refused with where it goes wrong, exclusives written back as one, the order
// and the pauses of a paced send, the maker's ID in words, and messages typed in hex checked
// before anything is sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using Exclusive = std::vector<uint8_t>;

// The largest .syx file the librarian reads: far more than any instrument's whole memory.
constexpr size_t syxFileBytesMax = 16 * 1024 * 1024;

// Splits a .syx file's bytes into its exclusives, each F0 ... F7. A file that is empty, larger
// than syxFileBytesMax, has data before an F0 or between exclusives, a status byte inside an
// exclusive, or an exclusive with no F7, is refused: false, with a sentence in `problem` that says
// where, and no exclusive.
bool readSyx(const std::vector<uint8_t>& file, std::vector<Exclusive>& exclusives,
             std::string& problem);
// The .syx file of the exclusives: each one's bytes, back to back.
std::vector<uint8_t> syxFileOf(const std::vector<Exclusive>& exclusives);

// The pause after each exclusive of a send, in ms: the default, and the range the user may set.
constexpr uint32_t sendPauseDefaultMs = 100;
constexpr uint32_t sendPauseMaxMs = 5000;
// One step of a paced send: `length` bytes of exclusive `exclusive` from `offset`, handed to the
// output as one buffer, then `pauseAfterMs` of silence.
struct SendStep {
    size_t exclusive;
    size_t offset;
    size_t length;
    uint32_t pauseAfterMs;
};
// The steps that send `exclusives` in order: each whole, or in packets of at most `packetBytes`
// (0: whole), with `pauseMs` (at most sendPauseMaxMs) after each exclusive's last packet but the
// last exclusive's. The packets of one exclusive follow each other at once: the instrument waits
// for its F7.
std::vector<SendStep> pacedSend(const std::vector<Exclusive>& exclusives, size_t packetBytes,
                                uint32_t pauseMs);

// Whose exclusive it is, when its ID is one of the universal ones: "Universal Non-Real Time",
// "Universal Real Time", "Non-Commercial", with the message's name where it is a well-known one
// ("Identity Request"); otherwise the ID in hex ("ID 41", "ID 00 20 29"), or "" when there is none.
std::string makerOf(const Exclusive& exclusive);

// Messages typed in hex, as the librarian's box takes them: every message starts with its status
// byte, has as many data bytes as its status asks for, and an exclusive ends with F7. False, with
// a sentence in `problem` that says where, when anything is out of place; nothing is sent then.
bool readTypedMessages(const std::string& text, std::vector<uint8_t>& bytes, std::string& problem);
