// The MCI sequencer, the way media players play a Standard MIDI File: through the MIDI mapper onto
// the driver's output 0. Every channel event of the file must reach the instrument in file order
// and byte for byte.
#include "client.h"
#include "instrument_port.h"
#include "midi_file.h"

#include <windows.h>

#include <mmsystem.h>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

// Two channels on two tracks and a tempo track: program changes, bank select, controllers and the
// sustain pedal, pitch bend, channel and poly pressure, notes with running status, and the tempo
// doubling half-way. No two tracks share a tick, so the play order is the tick order. 96 ticks a
// quarter: about a quarter of a second in all.
std::vector<MidiFileTrack> everyKindOfChannelEvent() {
    MidiFileTrack tempo, first, second;
    addTempo(tempo, 0, 500000);
    addTempo(tempo, 20, 250000);
    first.events = {{0, {0xC0, 0x05}},        {2, {0xB0, 0x00, 0x01}},  {4, {0xB0, 0x20, 0x00}},
                    {6, {0xB0, 0x07, 0x64}},  {8, {0x90, 0x3C, 0x50}},  {10, {0x40, 0x50}},
                    {40, {0x80, 0x3C, 0x00}}, {42, {0x40, 0x00}},       {50, {0xE0, 0x00, 0x50}},
                    {58, {0x90, 0x43, 0x60}}, {60, {0xA0, 0x43, 0x30}}, {70, {0x90, 0x43, 0x00}}};
    second.events = {{1, {0xC1, 0x10}},
                     {3, {0xB1, 0x40, 0x7F}},
                     {5, {0x91, 0x30, 0x60}},
                     {7, {0xD1, 0x40}},
                     {9, {0x50}},
                     {41, {0x81, 0x30, 0x40}},
                     {43, {0xB1, 0x40, 0x00}},
                     {45, {0xE1, 0x7F, 0x7F}}};
    return {tempo, first, second};
}

// A longer tune: a note on channel 1 and one on channel 2 held under the sustain pedal, then a
// note every eighth for six seconds.
std::vector<MidiFileTrack> aLongTune() {
    MidiFileTrack tempo, melody, chords;
    addTempo(tempo, 0, 500000);
    for (uint32_t beat = 0; beat < 24; ++beat) {
        uint8_t key = static_cast<uint8_t>(0x3C + beat % 12);
        melody.events.push_back({beat * 48, {0x90, key, 0x60}});
        melody.events.push_back({beat * 48 + 40, {0x80, key, 0x00}});
    }
    chords.events = {{1, {0xB1, 0x40, 0x7F}}, {3, {0x91, 0x30, 0x60}}, {2000, {0x81, 0x30, 0x00}}};
    return {tempo, melody, chords};
}

class MciSequencer : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(instrument.open()); }
    void TearDown() override {
        mciSendStringW(L"close song", nullptr, 0, nullptr);
        if (!path.empty()) {
            DeleteFileW(path.c_str());
        }
    }

    ::testing::AssertionResult open(const std::vector<MidiFileTrack>& tracks) {
        path = writeTemporaryFile(midiFile(96, tracks));
        if (path.empty()) {
            return ::testing::AssertionFailure() << "the file cannot be written";
        }
        return command(L"open \"" + path + L"\" type sequencer alias song");
    }

    ::testing::AssertionResult command(const std::wstring& text) {
        wchar_t error[256] = L"";
        MCIERROR status = mciSendStringW(text.c_str(), nullptr, 0, nullptr);
        if (status == 0) {
            return ::testing::AssertionSuccess();
        }
        mciGetErrorStringW(status, error, 256);
        std::string narrow(error, error + lstrlenW(error));
        return ::testing::AssertionFailure() << "MCI error " << status << ": " << narrow;
    }

    // Everything the instrument receives until the line falls quiet, after what it received
    // already, as MIDI messages: the wire is decoded as one stream, since a destination select
    // holds for all that follows it.
    WireMessages receiveUntilQuiet(std::string wire = "") {
        for (std::string more = instrument.receiveStray(); !more.empty();
             more = instrument.receiveStray()) {
            wire += (wire.empty() ? "" : " ") + more;
        }
        return decodeWire(wire);
    }

    InstrumentPort instrument;
    std::wstring path;
};

std::vector<WireMessage> onOutputZero(const std::vector<std::string>& messages) {
    std::vector<WireMessage> expected;
    for (const std::string& message : messages) {
        expected.push_back(onOutput(0, message));
    }
    return expected;
}

// What a player leaves sounding after these messages: notes on and not yet off, and channels
// whose sustain pedal is down, as "90 3C" and "B1 40".
std::set<std::string> leftSounding(const WireMessages& messages) {
    std::set<std::string> sounding;
    for (const WireMessage& message : messages) {
        const std::string& bytes = message.bytes;
        if (bytes.size() != 8) {
            continue; // only three-byte messages start or end a sound
        }
        unsigned status = std::stoul(bytes.substr(0, 2), nullptr, 16);
        unsigned data1 = std::stoul(bytes.substr(3, 2), nullptr, 16);
        unsigned data2 = std::stoul(bytes.substr(6, 2), nullptr, 16);
        char key[8];
        unsigned channel = status & 0x0F;
        if ((status & 0xF0) == 0x90 || (status & 0xF0) == 0x80) {
            std::snprintf(key, sizeof key, "9%X %02X", channel, data1);
            bool on = (status & 0xF0) == 0x90 && data2 != 0;
            on ? (void)sounding.insert(key) : (void)sounding.erase(key);
        } else if ((status & 0xF0) == 0xB0 && data1 == 0x40) {
            std::snprintf(key, sizeof key, "B%X 40", channel);
            data2 >= 0x40 ? (void)sounding.insert(key) : (void)sounding.erase(key);
        }
    }
    return sounding;
}

} // namespace

TEST_F(MciSequencer, PlaysEveryChannelEventOfAFileInFileOrderByteForByte) {
    std::vector<MidiFileTrack> tracks = everyKindOfChannelEvent();
    ASSERT_TRUE(open(tracks));
    ASSERT_TRUE(command(L"play song wait"));
    EXPECT_EQ(receiveUntilQuiet(), onOutputZero(channelMessagesInPlayOrder(tracks)));
}

// Stopped in the middle, playback ends there: what reached the instrument is the start of the
// file, followed by nothing but what silences it; and nothing keeps sounding.
TEST_F(MciSequencer, StopInTheMiddleEndsPlaybackAndLeavesNothingSounding) {
    std::vector<MidiFileTrack> tracks = aLongTune();
    ASSERT_TRUE(open(tracks));
    ASSERT_TRUE(command(L"play song"));
    // The pedal and both first notes are down once this much has arrived.
    std::string start = instrument.receive(14);
    ASSERT_TRUE(command(L"stop song"));
    WireMessages heard = receiveUntilQuiet(start);

    std::vector<WireMessage> file = onOutputZero(channelMessagesInPlayOrder(tracks));
    size_t played = 0;
    while (played < heard.size() && played < file.size() && heard[played] == file[played]) {
        ++played;
    }
    ASSERT_GE(played, 3u) << "the tune did not start as the file does";
    ASSERT_LT(played, file.size()) << "the stop did not end playback";
    for (size_t i = played; i < heard.size(); ++i) {
        const std::string& bytes = heard[i].bytes;
        bool silences =
            bytes.rfind("8", 0) == 0 ||
            (bytes.rfind("9", 0) == 0 && bytes.size() == 8 && bytes.substr(6) == "00") ||
            (bytes.rfind("B", 0) == 0 && bytes.substr(3) == "40 00");
        EXPECT_TRUE(silences) << "after the stop the instrument got " << heard[i];
    }
    EXPECT_EQ(leftSounding(heard), std::set<std::string>{}) << "notes keep sounding after stop";
}
