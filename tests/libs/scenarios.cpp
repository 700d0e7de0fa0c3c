#include "scenarios.h"

#include "client.h"
#include "common/hex.h"
#include "common/settings_key.h"
#include "instrument_port.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

using Bytes = std::vector<uint8_t>;

// One case a line.
// clang-format off
const std::vector<LibraryCase> table = {
    {"OrdinaryOutputOpenCloseCycles", Scenario::OpenCloseCycles, OutputMode::Ordinary, 1, 50},
    {"TimedOutputOpenCloseCycles", Scenario::OpenCloseCycles, OutputMode::Timed, 1, 50},
    {"DuplexOpenCloseCycles", Scenario::Duplex, OutputMode::Ordinary, 1, 10},
    {"OrdinaryOutputMessages", Scenario::OutputMessages, OutputMode::Ordinary, 1, 0, {6, 300, 2000}},
    {"TimedOutputMessages", Scenario::OutputMessages, OutputMode::Timed, 1, 0, {6, 300, 2000}},
    {"OrdinaryOutputMessagesFourOutputs", Scenario::OutputMessages, OutputMode::Ordinary, 4, 0, {6, 300, 2000}},
    {"TimedOutputMessagesFourOutputs", Scenario::OutputMessages, OutputMode::Timed, 4, 0, {6, 300, 2000}},
    {"InputExclusivesLongerThanABuffer", Scenario::Input, OutputMode::Ordinary, 1, 0, {6, 64, 65, 1025, 5000}},
    {"InputBurstAtLineRate", Scenario::Input, OutputMode::Ordinary, 1, 2000},
    {"ClockInsideExclusive", Scenario::ClockInsideExclusive, OutputMode::Ordinary, 1, 0},
    {"CloseWhileTheInstrumentSends", Scenario::CloseWhileSending, OutputMode::Ordinary, 1, 1000},
};
// clang-format on

// Long enough for a loaded machine, and never waited out when the bytes come.
constexpr DWORD deadlineMs = 10000;
// How long nothing more may arrive for "and nothing further" to hold.
constexpr DWORD quietWindowMs = 200;
// 38400 baud, ten bits a byte: what the instrument's line carries at most.
constexpr int lineBytesPerSecond = 3840;
// A time stamp more than this after the one before it is a step back read as unsigned.
constexpr int64_t longestStepMs = 60000;

std::string hex(const Bytes& bytes) {
    return hexBytes(bytes.data(), bytes.size());
}

// An exclusive of `size` bytes, F0 and F7 included, whose data starts counting at `seed`.
Bytes exclusive(int size, int seed) {
    Bytes bytes = {0xF0, 0x7D};
    for (int i = 0; i < size - 3; ++i) {
        bytes.push_back(static_cast<uint8_t>((seed + i) & 0x7F));
    }
    bytes.push_back(0xF7);
    return bytes;
}

Bytes data(int value) {
    return {static_cast<uint8_t>(value & 0x7F)};
}

Bytes join(std::vector<Bytes> parts) {
    Bytes joined;
    for (const Bytes& part : parts) {
        joined.insert(joined.end(), part.begin(), part.end());
    }
    return joined;
}

// A run of short messages of every kind with two or three bytes, their data changing from one to
// the next (a message recurs only after 128 others).
std::vector<Bytes> shortMessages(int count) {
    std::vector<Bytes> messages;
    for (int i = 0; i < count; ++i) {
        auto channel = static_cast<uint8_t>(i % 16);
        switch (i % 4) {
        case 0:
            messages.push_back(join({{uint8_t(0x90 | channel)}, data(i), data(i / 128 + 1)}));
            break;
        case 1:
            messages.push_back(join({{uint8_t(0x80 | channel)}, data(i), {0}}));
            break;
        case 2:
            messages.push_back(join({{uint8_t(0xB0 | channel)}, {7}, data(i)}));
            break;
        default:
            messages.push_back(join({{uint8_t(0xC0 | channel)}, data(i)}));
            break;
        }
    }
    return messages;
}

// The instrument's end of the line. While it records, a thread follows the line, so that the
// driver never waits for it to be read, however much a case sends.
class Instrument {
  public:
    ~Instrument() {
        stopRecording();
        finishSending();
    }

    ::testing::AssertionResult open() { return port_.open(); }

    void startRecording() {
        stop_ = false;
        reader_ = std::thread([this] {
            while (!stop_) {
                std::string bytes = port_.receiveSome(4096);
                std::lock_guard<std::mutex> hold(lock_);
                recorded_ += (recorded_.empty() || bytes.empty() ? "" : " ") + bytes;
            }
        });
    }

    // Everything the driver wrote since recording started, as hex.
    std::string stopRecording() {
        if (reader_.joinable()) {
            stop_ = true;
            reader_.join();
        }
        return recorded_;
    }

    // Waits until the recording holds `count` whole messages.
    ::testing::AssertionResult waitForMessages(size_t count) {
        DWORD start = GetTickCount();
        size_t whole = 0;
        for (;;) {
            std::string recorded;
            {
                std::lock_guard<std::mutex> hold(lock_);
                recorded = recorded_;
            }
            WireMessages messages = decodeWire(recorded);
            whole = std::count_if(messages.begin(), messages.end(), [](const WireMessage& message) {
                return message.destination >= 0;
            });
            if (whole >= count) {
                return ::testing::AssertionSuccess();
            }
            if (GetTickCount() - start > deadlineMs) {
                return ::testing::AssertionFailure()
                       << "the instrument received " << whole << " of " << count << " messages";
            }
            Sleep(5);
        }
    }

    ::testing::AssertionResult send(const Bytes& bytes) { return port_.send(bytes); }

    // Sends no faster than the instrument's line carries bytes, in pieces of a few messages.
    ::testing::AssertionResult sendAtLineRate(const Bytes& bytes) {
        constexpr size_t piece = 32;
        DWORD start = GetTickCount();
        for (size_t at = 0; at < bytes.size(); at += piece) {
            size_t end = std::min(bytes.size(), at + piece);
            ::testing::AssertionResult sent = send(Bytes(bytes.begin() + at, bytes.begin() + end));
            if (!sent) {
                return sent;
            }
            auto due = static_cast<DWORD>(end * 1000 / lineBytesPerSecond);
            DWORD elapsed = GetTickCount() - start;
            if (elapsed < due) {
                Sleep(due - elapsed);
            }
        }
        return ::testing::AssertionSuccess();
    }

    // Sends at line rate on a thread of its own while the program reads, as an instrument plays
    // whatever the program is doing.
    void startSending(const Bytes& bytes) {
        sender_ = std::thread([this, bytes] { sent_ = sendAtLineRate(bytes); });
    }

    ::testing::AssertionResult finishSending() {
        if (sender_.joinable()) {
            sender_.join();
        }
        return sent_;
    }

  private:
    InstrumentPort port_;
    std::thread sender_;
    ::testing::AssertionResult sent_ = ::testing::AssertionSuccess();
    std::thread reader_;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::string recorded_;
};

// What the program was told, once `done` holds of it (or the deadline passed) and then nothing
// more for a short while.
template <typename Done> Received waitForReceived(LibraryInput* input, Done done) {
    Received all;
    auto takeMore = [&] {
        Received more = takeReceived(input);
        all.messages.insert(all.messages.end(), more.messages.begin(), more.messages.end());
        all.stepsMs.insert(all.stepsMs.end(), more.stepsMs.begin(), more.stepsMs.end());
    };
    DWORD start = GetTickCount();
    while (!done(all) && GetTickCount() - start < deadlineMs) {
        takeMore();
        Sleep(5);
    }
    Sleep(quietWindowMs);
    takeMore();
    return all;
}

// What the program was told up to `last`, the last message the instrument sent: bytes left on the
// line from before the opening, which it should not be told, do not cut the wait short.
Received receivedThrough(LibraryInput* input, const std::string& last) {
    return waitForReceived(input, [&](const Received& received) {
        return std::find(received.messages.begin(), received.messages.end(), last) !=
               received.messages.end();
    });
}

// A long exclusive as its length and its two ends, so that a difference reads at a glance.
std::string shortened(const std::string& hex) {
    if (hex.size() <= 60) {
        return hex;
    }
    return hex.substr(0, 30) + "... " + std::to_string((hex.size() + 1) / 3) + " bytes ..." +
           hex.substr(hex.size() - 15);
}

// The messages in order, and where they first differ.
void expectSameMessages(const std::vector<std::string>& actual,
                        const std::vector<std::string>& expected, const char* where) {
    size_t same = 0;
    while (same < actual.size() && same < expected.size() && actual[same] == expected[same]) {
        ++same;
    }
    if (same == actual.size() && same == expected.size()) {
        return;
    }
    ADD_FAILURE() << where << " " << actual.size() << " messages for the " << expected.size()
                  << " expected; the first difference is at " << same << ": "
                  << (same < actual.size() ? shortened(actual[same]) : "nothing") << " for "
                  << (same < expected.size() ? shortened(expected[same]) : "nothing");
}

std::vector<std::string> hexMessages(const std::vector<Bytes>& messages) {
    std::vector<std::string> hexes;
    for (const Bytes& message : messages) {
        hexes.push_back(hex(message));
    }
    return hexes;
}

// The time stamps a program is told never go back: a step back shows as a step of about 49 days,
// the difference of two time stamps taken as unsigned numbers.
void expectTimeNeverGoesBack(const Received& received) {
    for (size_t i = 0; i < received.stepsMs.size(); ++i) {
        EXPECT_TRUE(received.stepsMs[i] >= 0 && received.stepsMs[i] <= longestStepMs)
            << "notification " << i << " is " << received.stepsMs[i] << " ms after the one before";
    }
}

// Compares destination by destination: several outputs each keep their own order, and timed
// outputs play independently of each other.
void expectWire(const std::string& recorded, WireMessages expected) {
    WireMessages messages = decodeWire(recorded);
    auto byDestination = [](const WireMessage& a, const WireMessage& b) {
        return a.destination < b.destination;
    };
    std::stable_sort(messages.begin(), messages.end(), byDestination);
    std::stable_sort(expected.begin(), expected.end(), byDestination);
    auto written = [](const WireMessages& wire) {
        std::vector<std::string> lines;
        for (const WireMessage& message : wire) {
            lines.push_back(std::to_string(message.destination) + ": " + message.bytes);
        }
        return lines;
    };
    expectSameMessages(written(messages), written(expected), "the instrument received");
}

void playOpenCloseCycles(const LibraryCase& libraryCase) {
    Instrument instrument;
    ASSERT_TRUE(instrument.open());
    instrument.startRecording();
    WireMessages expected;
    for (int cycle = 0; cycle < libraryCase.count; ++cycle) {
        LibraryOutput* output = openLibraryOutput(0, libraryCase.mode);
        ASSERT_NE(output, nullptr) << "cycle " << cycle;
        Bytes noteOn = join({{0x90}, data(0x30 + cycle), {0x40}});
        Bytes noteOff = join({{0x80}, data(0x30 + cycle), {0}});
        ASSERT_TRUE(sendShort(output, noteOn) && sendShort(output, noteOff)) << "cycle " << cycle;
        expected.push_back(onOutput(0, hex(noteOn)));
        expected.push_back(onOutput(0, hex(noteOff)));
        // A timed output plays what it holds when it is due: closed before, it would drop it.
        ASSERT_TRUE(instrument.waitForMessages(expected.size())) << "cycle " << cycle;
        ASSERT_TRUE(closeLibraryOutput(output)) << "cycle " << cycle;
    }
    expectWire(instrument.stopRecording(), expected);
}

void playDuplex(const LibraryCase& libraryCase) {
    Instrument instrument;
    ASSERT_TRUE(instrument.open());
    instrument.startRecording();
    WireMessages expected;
    for (int cycle = 0; cycle < libraryCase.count; ++cycle) {
        LibraryInput* input = openLibraryInput();
        ASSERT_NE(input, nullptr) << "cycle " << cycle;
        LibraryOutput* output = openLibraryOutput(0, OutputMode::Ordinary);
        ASSERT_NE(output, nullptr) << "cycle " << cycle;
        Bytes played = join({{0x92}, data(0x20 + cycle), {0x50}});
        ASSERT_TRUE(sendShort(output, played));
        expected.push_back(onOutput(0, hex(played)));
        ASSERT_TRUE(instrument.waitForMessages(expected.size())) << "cycle " << cycle;
        Bytes heard = join({{0x91}, data(0x40 + cycle), {0x60}});
        ASSERT_TRUE(instrument.send(heard));
        expectSameMessages(receivedThrough(input, hex(heard)).messages, {hex(heard)},
                           "the program was told");
        ASSERT_TRUE(closeLibraryOutput(output)) << "cycle " << cycle;
        ASSERT_TRUE(closeLibraryInput(input)) << "cycle " << cycle;
    }
    expectWire(instrument.stopRecording(), expected);
}

// Every output open at once; on each, in turn, a program change, the exclusives with a controller
// after each, and a note played and let go (a timed output's close resets it, which would silence
// a note left sounding).
void playOutputMessages(const LibraryCase& libraryCase) {
    Instrument instrument;
    ASSERT_TRUE(instrument.open());
    instrument.startRecording();
    std::vector<LibraryOutput*> outputs;
    for (int device = 0; device < libraryCase.outputs; ++device) {
        outputs.push_back(openLibraryOutput(device, libraryCase.mode));
        ASSERT_NE(outputs.back(), nullptr) << "output " << device;
    }
    WireMessages expected;
    for (int device = 0; device < libraryCase.outputs; ++device) {
        auto channel = static_cast<uint8_t>(device);
        std::vector<Bytes> shorts = {join({{uint8_t(0xC0 | channel)}, data(device + 1)})};
        ASSERT_TRUE(sendShort(outputs[device], shorts.back()));
        expected.push_back(onOutput(device, hex(shorts.back())));
        for (size_t k = 0; k < libraryCase.sizes.size(); ++k) {
            Bytes sent = exclusive(libraryCase.sizes[k], device * 16 + static_cast<int>(k));
            ASSERT_TRUE(sendExclusive(outputs[device], sent)) << "output " << device;
            expected.push_back(onOutput(device, hex(sent)));
            Bytes volume = join({{uint8_t(0xB0 | channel)}, {7}, data(100 - int(k))});
            ASSERT_TRUE(sendShort(outputs[device], volume));
            expected.push_back(onOutput(device, hex(volume)));
        }
        for (uint8_t status : {0x90, 0x80}) {
            Bytes note = join({{uint8_t(status | channel)}, {0x3C}, {0x40}});
            ASSERT_TRUE(sendShort(outputs[device], note));
            expected.push_back(onOutput(device, hex(note)));
        }
    }
    ASSERT_TRUE(instrument.waitForMessages(expected.size()));
    for (LibraryOutput* output : outputs) {
        EXPECT_TRUE(closeLibraryOutput(output));
    }
    expectWire(instrument.stopRecording(), expected);
}

// The run ends with a message that none of the others is, which tells its end.
void playInput(const LibraryCase& libraryCase) {
    Instrument instrument;
    ASSERT_TRUE(instrument.open());
    LibraryInput* input = openLibraryInput();
    ASSERT_NE(input, nullptr);
    std::vector<Bytes> sent;
    for (size_t k = 0; k < libraryCase.sizes.size(); ++k) {
        sent.push_back(exclusive(libraryCase.sizes[k], static_cast<int>(k)));
        sent.push_back(join({{0x90}, data(static_cast<int>(k)), {0x40}}));
    }
    for (const Bytes& message : shortMessages(libraryCase.count)) {
        sent.push_back(message);
    }
    sent.push_back({0x9F, 0x7F, 0x7F});
    instrument.startSending(join(sent));
    Received received = receivedThrough(input, hex(sent.back()));
    ASSERT_TRUE(instrument.finishSending());
    expectSameMessages(received.messages, hexMessages(sent), "the program was told");
    expectTimeNeverGoesBack(received);
    EXPECT_TRUE(closeLibraryInput(input));
}

// As an instrument that sends clock while it answers a dump request: each clock is told at once,
// the exclusive once it is whole, and the time stamps still never go back. The pauses put the
// clocks well after the exclusive's start.
void playClockInsideExclusive(const LibraryCase&) {
    Instrument instrument;
    ASSERT_TRUE(instrument.open());
    LibraryInput* input = openLibraryInput();
    ASSERT_NE(input, nullptr);
    Bytes whole = exclusive(40, 0);
    std::vector<Bytes> pieces = {Bytes(whole.begin(), whole.begin() + 15),      {0xF8},
                                 Bytes(whole.begin() + 15, whole.begin() + 30), {0xF8},
                                 Bytes(whole.begin() + 30, whole.end()),        {0x90, 0x3C, 0x40}};
    for (const Bytes& piece : pieces) {
        ASSERT_TRUE(instrument.send(piece));
        Sleep(30);
    }
    Received received = receivedThrough(input, hex(pieces.back()));
    expectSameMessages(received.messages, {"F8", "F8", hex(whole), "90 3C 40"},
                       "the program was told");
    expectTimeNeverGoesBack(received);
    EXPECT_TRUE(closeLibraryInput(input));
}

// The input closes while the instrument goes on sending; what the program was told is what was
// sent, up to where it stopped; opened again, it hears only what is sent after the opening.
void playCloseWhileSending(const LibraryCase& libraryCase) {
    Instrument instrument;
    ASSERT_TRUE(instrument.open());
    LibraryInput* input = openLibraryInput();
    ASSERT_NE(input, nullptr);
    std::vector<Bytes> sent = shortMessages(libraryCase.count);
    instrument.startSending(join(sent));
    Received before =
        waitForReceived(input, [](const Received& told) { return told.messages.size() >= 50; });
    DWORD closing = GetTickCount();
    EXPECT_TRUE(closeLibraryInput(input));
    EXPECT_LT(GetTickCount() - closing, 1000u) << "the close took that many milliseconds";
    ASSERT_TRUE(instrument.finishSending());
    std::vector<std::string> sentHex = hexMessages(sent);
    ASSERT_LE(before.messages.size(), sentHex.size());
    EXPECT_TRUE(std::equal(before.messages.begin(), before.messages.end(), sentHex.begin()))
        << "the program was told something else than the instrument sent";

    input = openLibraryInput();
    ASSERT_NE(input, nullptr);
    Bytes after = {0x9F, 0x7F, 0x7F};
    ASSERT_TRUE(instrument.send(after));
    expectSameMessages(receivedThrough(input, hex(after)).messages, {hex(after)},
                       "after opening again, the program was told");
    EXPECT_TRUE(closeLibraryInput(input));
}

} // namespace

std::vector<LibraryCase> libraryCases(bool timedOutput) {
    std::vector<LibraryCase> cases;
    std::copy_if(table.begin(), table.end(), std::back_inserter(cases),
                 [&](const LibraryCase& c) { return timedOutput || c.mode != OutputMode::Timed; });
    return cases;
}

std::string caseName(const LibraryCase& libraryCase) {
    return libraryCase.name;
}

void playCase(const LibraryCase& libraryCase) {
    switch (libraryCase.scenario) {
    case Scenario::OpenCloseCycles:
        return playOpenCloseCycles(libraryCase);
    case Scenario::Duplex:
        return playDuplex(libraryCase);
    case Scenario::OutputMessages:
        return playOutputMessages(libraryCase);
    case Scenario::Input:
        return playInput(libraryCase);
    case Scenario::ClockInsideExclusive:
        return playClockInsideExclusive(libraryCase);
    case Scenario::CloseWhileSending:
        return playCloseWhileSending(libraryCase);
    }
}

int runLibraryCases(int argc, char** argv, bool (*startLibrary)()) {
    // The library is started after the settings are written: it lists the devices.
    if (!writeTestSettings(argc, argv)) {
        return 2;
    }
    if (!startLibrary()) {
        std::fprintf(stderr, "the library does not start\n");
        return 2;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
