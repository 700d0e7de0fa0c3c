// What programs built on a MIDI client library do with the installed driver, as one table of cases
// that each library's runner plays through that library: the runner supplies the few calls below,
// the scenarios here decide what is sent, and compare it byte for byte at the instrument's end of
// the line and at the program.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

// How a program sends: message by message as it calls (ordinary), or through a library's timed
// queue, which plays each message at its time stamp (PortMidi's latency mode, on midiStream).
enum class OutputMode { Ordinary, Timed };

enum class Scenario {
    OpenCloseCycles,      // open an output, play a note, close; `count` times
    Duplex,               // input and output open together, a note each way; `count` times
    OutputMessages,       // short messages and exclusives of `sizes` on every output
    Input,                // from the instrument at line rate: exclusives of `sizes`, each with a
                          // note after it, then `count` short messages
    ClockInsideExclusive, // clocks (F8) in the middle of an exclusive, then a note
    CloseWhileSending,    // the input closed while the instrument sends; then opened again
};

struct LibraryCase {
    const char* name; // ends in "FourOutputs" for the cases of independent mode
    Scenario scenario;
    OutputMode mode;
    int outputs; // 1, or 4 in independent mode
    int count;
    std::vector<int> sizes; // exclusive lengths in bytes, F0 and F7 included
};

// GoogleTest names a case by its name.
inline void PrintTo(const LibraryCase& libraryCase, std::ostream* out) {
    *out << libraryCase.name;
}

// The table's cases a library can play: without timed output, the timed ones are left out.
std::vector<LibraryCase> libraryCases(bool timedOutput);
std::string caseName(const LibraryCase& libraryCase);

// What a program was told by its library, in the order it was told: each message whole (an
// exclusive joined from the pieces it came in, as hex "F0 7D ... F7"), and for each notification
// the time from the one before it in milliseconds, as the library's time stamps give it.
struct Received {
    std::vector<std::string> messages;
    std::vector<int64_t> stepsMs;
};

// The calls each runner implements with its library. Device numbers are winmm's. Each returns
// false, after reporting a GoogleTest failure that says why, when the library reports an error.
struct LibraryOutput;
struct LibraryInput;
LibraryOutput* openLibraryOutput(int device, OutputMode mode);
bool sendShort(LibraryOutput* output, const std::vector<uint8_t>& message);
bool sendExclusive(LibraryOutput* output, const std::vector<uint8_t>& exclusive);
bool closeLibraryOutput(LibraryOutput* output);
LibraryInput* openLibraryInput();
// Everything the program was told since the input opened or since the last take.
Received takeReceived(LibraryInput* input);
bool closeLibraryInput(LibraryInput* input);

// Plays one case; GoogleTest failures say what differed.
void playCase(const LibraryCase& libraryCase);

// The runners' main: sets the driver's settings for the mode asked (--independent), starts the
// library (`startLibrary`, which returns false when it cannot) and runs the cases.
int runLibraryCases(int argc, char** argv, bool (*startLibrary)());
