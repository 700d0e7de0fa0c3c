// melv-instrument: stands in for the instrument at the far end of the driver's serial line. It
// shows what the driver sends, per destination, sends plain MIDI back, and can render what it
// hears to a WAV file.
#include "instrument/event_text.h"
#include "instrument/midi_file.h"
#include "instrument/options.h"
#include "instrument/serial_line.h"
#include "instrument/wav_renderer.h"
#include "instrument/wire_decoder.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <poll.h>

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int64_t kLongestWaitUs = 50000;
constexpr int64_t kHungUpPollUs = 10000;
constexpr int kReadsPerTurn = 16;
constexpr int64_t kBaud = 38400;
constexpr int64_t kBitsPerByte = 10; // a start bit, eight data bits and a stop bit

volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int) {
    stopRequested = 1;
}

void installSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a signal must break the wait in poll so the run ends at once.
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    // Whoever reads the listing may go away; the WAV file is still to be completed.
    std::signal(SIGPIPE, SIG_IGN);
}

int64_t monotonicUs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

void sleepUs(int64_t us) {
    timespec pause{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000 * 1000)};
    nanosleep(&pause, nullptr);
}

// What becomes of the decoded events: a line each on standard output, and sound in the WAV file.
struct Listener {
    WireDecoder decoder;
    std::vector<WireEvent> events;
    WavRenderer wav;
    bool rendering;
};

void showEvents(Listener& listener) {
    for (const WireEvent& event : listener.events) {
        std::printf("%s\n", formatEventLine(event).c_str());
        if (listener.rendering) {
            playOnWav(listener.wav, event);
        }
    }
    listener.events.clear();
}

bool startListener(Listener& listener, const Options& options) {
    resetWireDecoder(listener.decoder);
    listener.rendering = !options.wavPath.empty();
    if (!listener.rendering) {
        return true;
    }
    std::string soundFont = options.soundFont.empty() ? defaultSoundFont() : options.soundFont;
    std::string error;
    if (!openWavRenderer(listener.wav, options.wavPath, soundFont, options.wavDestination, error)) {
        std::fprintf(stderr, "melv-instrument: %s\n", error.c_str());
        return false;
    }
    return true;
}

bool finishListener(Listener& listener, int64_t endUs) {
    finishWire(listener.decoder, endUs, listener.events);
    showEvents(listener);
    std::fflush(stdout);
    if (!listener.rendering) {
        return true;
    }
    std::string error;
    if (!closeWavRenderer(listener.wav, endUs, error)) {
        std::fprintf(stderr, "melv-instrument: %s\n", error.c_str());
        return false;
    }
    return true;
}

// When the last of `count` bytes sent back to back on the line has arrived.
int64_t lineTimeUs(int64_t count) {
    return count * kBitsPerByte * 1000000 / kBaud;
}

int runDecode(const Options& options) {
    std::FILE* input =
        options.decodePath == "-" ? stdin : std::fopen(options.decodePath.c_str(), "rb");
    if (input == nullptr) {
        std::perror(("melv-instrument: " + options.decodePath).c_str());
        return kExitFailure;
    }
    Listener listener{};
    if (!startListener(listener, options)) {
        if (input != stdin) {
            std::fclose(input);
        }
        return kExitFailure;
    }
    // A capture keeps no times, so each byte is dated when it would have finished arriving had
    // the bytes come back to back on the line.
    int64_t received = 0;
    uint8_t buffer[4096];
    size_t count;
    while (!stopRequested && (count = std::fread(buffer, 1, sizeof buffer, input)) > 0) {
        for (size_t i = 0; i < count; i++) {
            received++;
            feedWireByte(listener.decoder, buffer[i], lineTimeUs(received), listener.events);
        }
        showEvents(listener);
    }
    // A read broken off by an interrupt is the user ending the run, not a failure.
    bool readFailed = std::ferror(input) != 0 && stopRequested == 0;
    if (input != stdin) {
        std::fclose(input);
    }
    bool finished = finishListener(listener, lineTimeUs(received));
    if (readFailed) {
        std::fprintf(stderr, "melv-instrument: cannot read %s\n", options.decodePath.c_str());
    }
    return finished && !readFailed ? 0 : kExitFailure;
}

// Whether the other end of the line is open, and since when.
struct LineWatch {
    bool up;
    int64_t upSinceUs;
};

void watchLine(LineWatch& watch, const SerialLine& line, int64_t nowUs) {
    bool up = lineIsUp(line);
    if (up == watch.up) {
        return;
    }
    watch.up = up;
    watch.upSinceUs = nowUs;
    if (line.pseudoTerminal) {
        std::fprintf(stderr, "melv-instrument: the other end %s\n",
                     up ? "is open" : "has been closed");
    }
}

// The bytes to send towards the driver, each at its time from the start of sending.
struct Sender {
    std::vector<TimedBytes> schedule;
    size_t next;
    std::vector<uint8_t> pending; // due but not yet taken by the line
    bool started;
    int64_t startUs;
    int64_t dropped; // bytes that fell due while the other end was closed, not yet reported
};

bool prepareSender(Sender& sender, const Options& options) {
    sender = Sender{};
    if (!options.sendBytes.empty()) {
        sender.schedule.push_back(TimedBytes{0, options.sendBytes});
    }
    if (!options.playPath.empty()) {
        std::string error;
        if (!loadMidiFile(options.playPath, sender.schedule, error)) {
            std::fprintf(stderr, "melv-instrument: %s\n", error.c_str());
            return false;
        }
    }
    return true;
}

// Sending starts once the line has stayed up for the delay: the driver opens each port briefly
// when it loads, to see which exist, and bytes sent into that glimpse would reach no one.
void startSendingWhenSettled(Sender& sender, const LineWatch& watch, int64_t nowUs,
                             int64_t sendDelayUs) {
    if (!sender.started && !sender.schedule.empty() && watch.up &&
        nowUs - watch.upSinceUs >= sendDelayUs) {
        sender.started = true;
        sender.startUs = watch.upSinceUs + sendDelayUs;
    }
}

// Once sending has started, moves every due message to the pending bytes and writes what the
// line takes. Like a real instrument, it goes on playing while the other end is closed, and what
// falls due then is lost rather than kept for whoever opens the line next. False on a write
// error.
bool serviceSender(Sender& sender, SerialLine& line, const LineWatch& watch, int64_t nowUs,
                   int64_t sendDelayUs) {
    startSendingWhenSettled(sender, watch, nowUs, sendDelayUs);
    while (sender.started && sender.next < sender.schedule.size() &&
           sender.startUs + sender.schedule[sender.next].offsetUs <= nowUs) {
        const std::vector<uint8_t>& bytes = sender.schedule[sender.next++].bytes;
        sender.pending.insert(sender.pending.end(), bytes.begin(), bytes.end());
    }
    if (!watch.up) {
        sender.dropped += static_cast<int64_t>(sender.pending.size());
        sender.pending.clear();
        return true;
    }
    if (sender.dropped != 0) {
        std::fprintf(stderr, "melv-instrument: %lld bytes not sent: the other end was closed\n",
                     static_cast<long long>(sender.dropped));
        sender.dropped = 0;
    }
    if (sender.pending.empty()) {
        return true;
    }
    long written = writeLine(line, sender.pending.data(), sender.pending.size());
    if (written < 0) {
        std::perror("melv-instrument: cannot write to the line");
        return false;
    }
    sender.pending.erase(sender.pending.begin(), sender.pending.begin() + written);
    if (sender.pending.empty() && sender.next == sender.schedule.size()) {
        std::fprintf(stderr, "melv-instrument: everything sent\n");
    }
    return true;
}

// How long the loop may wait before something is due: the start of sending, the next message to
// send, or the end.
int64_t waitBudget(const Sender& sender, const LineWatch& watch, const Options& options,
                   int64_t nowUs) {
    int64_t wait = kLongestWaitUs;
    if (options.durationUs != 0) {
        wait = std::min(wait, options.durationUs - nowUs);
    }
    if (!sender.started && !sender.schedule.empty() && watch.up) {
        wait = std::min(wait, watch.upSinceUs + options.sendDelayUs - nowUs);
    }
    if (sender.started && sender.next < sender.schedule.size()) {
        wait = std::min(wait, sender.startUs + sender.schedule[sender.next].offsetUs - nowUs);
    }
    return std::max<int64_t>(wait, 0);
}

bool openLine(SerialLine& line, const Options& options) {
    std::string error;
    bool opened = options.devicePath.empty() ? openPseudoTerminal(line, options.linkPath, error)
                                             : openSerialDevice(line, options.devicePath, error);
    if (!opened) {
        std::fprintf(stderr, "melv-instrument: %s\n", error.c_str());
        return false;
    }
    if (!line.pseudoTerminal) {
        std::fprintf(stderr, "melv-instrument: listening on %s at 38400 8N1\n",
                     line.peerPath.c_str());
    } else if (line.linkPath.empty()) {
        std::fprintf(stderr, "melv-instrument: listening on %s\n", line.peerPath.c_str());
    } else {
        std::fprintf(stderr, "melv-instrument: listening on %s (linked at %s)\n",
                     line.peerPath.c_str(), line.linkPath.c_str());
    }
    return true;
}

// Reads what has arrived and shows it. A bounded number of reads, so a line that never goes
// quiet still leaves turns for sending and rendering. False on a read error.
bool receive(SerialLine& line, Listener& listener, std::FILE* capture, int64_t startUs) {
    uint8_t buffer[4096];
    long count = 0;
    for (int reads = 0;
         reads < kReadsPerTurn && (count = readLine(line, buffer, sizeof buffer)) > 0; reads++) {
        int64_t nowUs = monotonicUs() - startUs;
        if (capture != nullptr) {
            std::fwrite(buffer, 1, static_cast<size_t>(count), capture);
            std::fflush(capture);
        }
        feedWireBytes(listener.decoder, buffer, static_cast<size_t>(count), nowUs, listener.events);
        showEvents(listener);
    }
    if (count < 0) {
        std::perror("melv-instrument: cannot read from the line");
        return false;
    }
    return true;
}

// Waits until the line has something to read or to take, or `waitUs` has passed. While no one
// holds the other end of a pseudo-terminal, poll reports a hang-up at once, so it sleeps instead.
void waitForLine(const SerialLine& line, bool up, bool writing, int64_t waitUs) {
    if (!up) {
        sleepUs(std::min(waitUs, kHungUpPollUs));
        return;
    }
    pollfd query{line.fd, static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), 0};
    poll(&query, 1, static_cast<int>((waitUs + 999) / 1000));
}

int runLine(const Options& options) {
    Sender sender;
    if (!prepareSender(sender, options)) {
        return kExitFailure;
    }
    std::FILE* capture = nullptr;
    if (!options.capturePath.empty() &&
        (capture = std::fopen(options.capturePath.c_str(), "wb")) == nullptr) {
        std::perror(("melv-instrument: " + options.capturePath).c_str());
        return kExitFailure;
    }
    Listener listener{};
    SerialLine line{};
    if (!openLine(line, options) || !startListener(listener, options)) {
        closeLine(line);
        if (capture != nullptr) {
            std::fclose(capture);
        }
        return kExitFailure;
    }
    const int64_t startUs = monotonicUs();
    int64_t nowUs = 0;
    LineWatch watch{false, 0};
    bool healthy = true;
    while (healthy && !stopRequested) {
        nowUs = monotonicUs() - startUs;
        if (options.durationUs != 0 && nowUs >= options.durationUs) {
            break;
        }
        watchLine(watch, line, nowUs);
        healthy = serviceSender(sender, line, watch, nowUs, options.sendDelayUs) &&
                  receive(line, listener, capture, startUs);
        if (listener.rendering) {
            renderWavUntil(listener.wav, nowUs);
        }
        waitForLine(line, watch.up, !sender.pending.empty(),
                    waitBudget(sender, watch, options, nowUs));
    }
    if (healthy) {
        healthy = receive(line, listener, capture, startUs);
    }
    nowUs = monotonicUs() - startUs;
    bool finished = finishListener(listener, nowUs);
    closeLine(line);
    if (capture != nullptr) {
        std::fclose(capture);
    }
    return healthy && finished ? 0 : kExitFailure;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!parseOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "melv-instrument: %s (see --help)\n", error.c_str());
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    // One line at a time, so whoever watches the listing through a pipe sees each message as it
    // arrives.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    installSignalHandlers();
    return options.decodePath.empty() ? runLine(options) : runDecode(options);
}
