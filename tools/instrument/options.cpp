#include "instrument/options.h"

#include "instrument/event_text.h"
#include "words/midi_text.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

const char* const kUsage =
    R"(usage: melv-instrument [--link PATH | --device DEVICE] [options]
       melv-instrument --decode FILE|- [--wav FILE.wav [--wav-dest DEST]]

Stands in for the instrument at the far end of the driver's serial line (38400 baud 8N1): prints
every MIDI message the driver sends, one line each with the time in seconds, the destination and
the message, and sends plain MIDI bytes back.

Line:
  --link PATH         create a pseudo-terminal and make PATH a symbolic link to it (for a COM
                      port mapping); without --link or --device its name is printed
  --device DEVICE     use a real serial device instead, set to 38400 8N1 raw
  --duration SECONDS  end after this long; otherwise run until interrupted
  --capture FILE      keep every byte received in FILE, for --decode later

Towards the driver, once the line is up (the driver has opened its port):
  --send-hex "BYTES"  send these bytes, e.g. "90 3C 40 80 3C 00"
  --send-delay SECONDS  wait this long after the line comes up before sending (default 0)
  --play FILE.mid     play a Standard MIDI File at its times (after --send-hex)

Listening:
  --wav FILE.wav      render what is received to FILE.wav with a General MIDI SoundFont
  --wav-dest DEST     render only one destination: 0-3 or Default MIDI, MIDI Out, Synth-A, Synth-B
  --soundfont FILE    the SoundFont to use (default: Debian's TimGM6mb or FluidR3 GM)

Offline:
  --decode FILE       decode a captured byte stream (- for standard input) and end; its bytes are
                      timed as if they arrived back to back at 38400 baud
)";

namespace {

bool isKnownOption(const std::string& name) {
    static const char* const names[] = {"--decode",     "--link",     "--device",    "--capture",
                                        "--play",       "--wav",      "--soundfont", "--send-hex",
                                        "--send-delay", "--duration", "--wav-dest"};
    for (const char* known : names) {
        if (name == known) {
            return true;
        }
    }
    return false;
}

bool parseSeconds(const char* text, int64_t& microseconds) {
    char* end = nullptr;
    double seconds = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(seconds) || seconds < 0 || seconds > 1e9) {
        return false;
    }
    microseconds = static_cast<int64_t>(std::llround(seconds * 1e6));
    return true;
}

// The option's argument, or nullptr with `error` set when it is missing.
const char* argumentOf(int argc, char** argv, int& i, std::string& error) {
    if (i + 1 >= argc) {
        error = std::string(argv[i]) + " needs a value";
        return nullptr;
    }
    return argv[++i];
}

bool takeOption(const std::string& name, const char* value, Options& options, std::string& error) {
    if (name == "--decode") {
        options.decodePath = value;
    } else if (name == "--link") {
        options.linkPath = value;
    } else if (name == "--device") {
        options.devicePath = value;
    } else if (name == "--capture") {
        options.capturePath = value;
    } else if (name == "--play") {
        options.playPath = value;
    } else if (name == "--wav") {
        options.wavPath = value;
    } else if (name == "--soundfont") {
        options.soundFont = value;
    } else if (name == "--send-hex") {
        if (!parseHexBytes(value, options.sendBytes) || options.sendBytes.empty()) {
            error = "--send-hex wants bytes in hex, such as \"90 3C 40\"";
            return false;
        }
    } else if (name == "--send-delay" || name == "--duration") {
        int64_t& target = name == "--duration" ? options.durationUs : options.sendDelayUs;
        if (!parseSeconds(value, target)) {
            error = name + " wants a number of seconds";
            return false;
        }
    } else if (name == "--wav-dest") {
        options.wavDestination = destinationByName(value);
        if (options.wavDestination == kNoDestination) {
            error = "--wav-dest wants 0 to 3 or a destination name";
            return false;
        }
    }
    return true;
}

bool checkCombination(const Options& options, std::string& error) {
    if (!options.linkPath.empty() && !options.devicePath.empty()) {
        error = "--link and --device exclude each other";
        return false;
    }
    bool usesLine = !options.linkPath.empty() || !options.devicePath.empty() ||
                    !options.capturePath.empty() || !options.playPath.empty() ||
                    !options.sendBytes.empty() || options.durationUs != 0;
    if (!options.decodePath.empty() && usesLine) {
        error = "--decode reads a file: it takes no line, sending or duration options";
        return false;
    }
    if (options.wavDestination != kNoDestination && options.wavPath.empty()) {
        error = "--wav-dest needs --wav";
        return false;
    }
    return true;
}

} // namespace

bool parseOptions(int argc, char** argv, Options& options, std::string& error) {
    options = Options{};
    options.wavDestination = kNoDestination;
    for (int i = 1; i < argc; i++) {
        std::string name = argv[i];
        if (name == "--help" || name == "-h") {
            options.help = true;
            return true;
        }
        if (!isKnownOption(name)) {
            error = "unknown option " + name;
            return false;
        }
        const char* value = argumentOf(argc, argv, i, error);
        if (value == nullptr || !takeOption(name, value, options, error)) {
            return false;
        }
    }
    return checkCombination(options, error);
}
