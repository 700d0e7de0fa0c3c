// The command line of melv-instrument.
#pragma once

#include "instrument/wire_decoder.h"

#include <cstdint>
#include <string>
#include <vector>

struct Options {
    std::string decodePath;  // decode a captured byte stream ("-" for standard input) and end
    std::string linkPath;    // symbolic link to make at the pseudo-terminal's other end
    std::string devicePath;  // a real serial device to use instead of a pseudo-terminal
    std::string capturePath; // where to keep every byte received, for a later decode
    std::string playPath;    // a Standard MIDI File to play towards the driver
    std::string wavPath;     // where to render what is received
    std::string soundFont;   // the SoundFont to render with; "" = the default one
    std::vector<uint8_t> sendBytes;
    int64_t sendDelayUs; // from the line coming up to the first byte sent
    int64_t durationUs;  // 0 = until interrupted
    int wavDestination;  // the only destination rendered, kNoDestination for all
    bool help;
};

// False with `error` set for anything not understood.
bool parseOptions(int argc, char** argv, Options& options, std::string& error);

extern const char* const kUsage;
