// How the instrument reads the driver's wire format: destination selects, packets for the MIDI
// destinations, raw data for the synth destinations, the MIDI stream inside, and what it shows
// for everything that breaks the format.
#include "instrument/wire_decoder.h"
#include "words/midi_text.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const char* problemName(WireProblem problem) {
    switch (problem) {
    case WireProblem::None:
        return "";
    case WireProblem::EmptyPacket:
        return "empty packet ";
    case WireProblem::BadDestination:
        return "bad destination ";
    case WireProblem::MissingIndex:
        return "missing index ";
    case WireProblem::OutsidePacket:
        return "outside packet ";
    case WireProblem::NoDestination:
        return "no destination ";
    case WireProblem::CutShort:
        return "cut short ";
    case WireProblem::StrayData:
        return "stray data ";
    case WireProblem::StrayEndOfExclusive:
        return "stray F7 ";
    }
    return "?";
}

// "Synth-A: 90 3C 40" for a message; "MIDI Out: cut short by B0: 90 3C" for a problem.
std::string summary(const WireEvent& event) {
    std::string text =
        std::string(destinationName(event.destination)) + ": " + problemName(event.problem);
    if (event.problem == WireProblem::CutShort) {
        text += event.cause == 0 ? "at end: " : "by " + hexBytes({event.cause}) + ": ";
    }
    return text + hexBytes(event.bytes, 1000);
}

std::vector<std::string> summaries(const std::vector<WireEvent>& events) {
    std::vector<std::string> texts;
    for (const WireEvent& event : events) {
        texts.push_back(summary(event));
    }
    return texts;
}

class WireDecoding : public ::testing::Test {
  protected:
    void SetUp() override { resetWireDecoder(decoder); }

    // Feeds the bytes one at a time, each dated by its position in the whole input.
    std::vector<std::string> feed(const Bytes& bytes) {
        events.clear();
        for (uint8_t byte : bytes) {
            feedWireByte(decoder, byte, nextTimeUs++, events);
        }
        return summaries(events);
    }

    std::vector<std::string> finish() {
        events.clear();
        finishWire(decoder, nextTimeUs, events);
        return summaries(events);
    }

    WireDecoder decoder{};
    std::vector<WireEvent> events;
    int64_t nextTimeUs = 0;
};

using Lines = std::vector<std::string>;

TEST_F(WireDecoding, ADestinationSelectSendsTheDataAfterItToThatDestination) {
    EXPECT_EQ(feed({0xF5, 0x00, 0xFF, 0x90, 0x3C, 0x40, 0xF5, 0x01, 0xFF, 0x91, 0x3C,
                    0x40, 0xF5, 0x02, 0x92, 0x3C, 0x40, 0xF5, 0x03, 0x93, 0x3C, 0x40}),
              (Lines{"Default MIDI: 90 3C 40", "MIDI Out: 91 3C 40", "Synth-A: 92 3C 40",
                     "Synth-B: 93 3C 40"}));
}

TEST_F(WireDecoding, PacketsCarryOneToFourBytesAndAMessageMaySpanThem) {
    feed({0xF5, 0x00});
    EXPECT_EQ(feed({0xFF, 0xC0, 0x05}), Lines{"Default MIDI: C0 05"});
    EXPECT_EQ(feed({0xFF, 0xF8}), Lines{"Default MIDI: F8"});
    EXPECT_EQ(feed({0xFF, 0x90, 0x3C, 0x40, 0x91, 0xFF, 0x3E, 0x40}),
              (Lines{"Default MIDI: 90 3C 40", "Default MIDI: 91 3E 40"}));
}

TEST_F(WireDecoding, SynthDestinationsTakeRawDataWhereFFIsASystemReset) {
    EXPECT_EQ(feed({0xF5, 0x02, 0x90, 0x3C, 0x40, 0xFF, 0xF5, 0x03, 0xC3, 0x07}),
              (Lines{"Synth-A: 90 3C 40", "Synth-A: FF", "Synth-B: C3 07"}));
}

TEST_F(WireDecoding, ASystemResetSentOnItsOwnIsTheDataOfItsPacket) {
    EXPECT_EQ(feed({0xF5, 0x01, 0xFF, 0xFF, 0xFF, 0xFF}), (Lines{"MIDI Out: FF", "MIDI Out: FF"}));
}

TEST_F(WireDecoding, RunningStatusWorksInsidePacketsAndAcrossThem) {
    // The driver sends a running-status pair as a packet of its own.
    EXPECT_EQ(feed({0xF5, 0x00, 0xFF, 0x90, 0x3C, 0x40, 0xFF, 0x3C, 0x00}),
              (Lines{"Default MIDI: 90 3C 40", "Default MIDI: 90 3C 00"}));
    // A long message of several running-status notes, its pairs split by packet bounds.
    EXPECT_EQ(
        feed({0xFF, 0x3E, 0x40, 0x40, 0x40, 0xFF, 0x41, 0x40}),
        (Lines{"Default MIDI: 90 3E 40", "Default MIDI: 90 40 40", "Default MIDI: 90 41 40"}));
    EXPECT_EQ(feed({0xFF, 0xC1, 0x05, 0x06}),
              (Lines{"Default MIDI: C1 05", "Default MIDI: C1 06"}));
}

TEST_F(WireDecoding, EachDestinationKeepsItsOwnRunningStatus) {
    EXPECT_EQ(feed({0xF5, 0x00, 0xFF, 0x90, 0x3C, 0x40, 0xF5, 0x02, 0xB0, 0x07,
                    0x64, 0xF5, 0x00, 0xFF, 0x3C, 0x00, 0xF5, 0x02, 0x0A, 0x40}),
              (Lines{"Default MIDI: 90 3C 40", "Synth-A: B0 07 64", "Default MIDI: 90 3C 00",
                     "Synth-A: B0 0A 40"}));
}

TEST_F(WireDecoding, SysExSpansPacketsOfFour) {
    EXPECT_EQ(feed({0xF5, 0x01, 0xFF, 0xF0, 0x7D, 0x01, 0x02, 0xFF, 0x03, 0x04, 0x05, 0x06, 0xFF,
                    0x07, 0xF7}),
              Lines{"MIDI Out: F0 7D 01 02 03 04 05 06 07 F7"});
    EXPECT_EQ(feed({0xFF, 0xF0, 0x7D, 0x01, 0xF7}), Lines{"MIDI Out: F0 7D 01 F7"});
    EXPECT_EQ(feed({0xFF, 0xF0, 0x7D, 0x01, 0x02, 0xFF, 0x03, 0x04, 0x05, 0xF7}),
              Lines{"MIDI Out: F0 7D 01 02 03 04 05 F7"});
}

TEST_F(WireDecoding, ASysExSurvivesTrafficToOtherDestinations) {
    // An application may hand over one SysEx in several buffers, with other outputs writing in
    // between: each destination on the instrument is a separate input.
    EXPECT_EQ(feed({0xF5, 0x01, 0xFF, 0xF0, 0x7D, 0x01, 0x02, 0xF5, 0x02, 0x90,
                    0x3C, 0x40, 0xF5, 0x03, 0xF0, 0x7D, 0x09, 0xF7, 0xF5, 0x00,
                    0xFF, 0x80, 0x3C, 0x00, 0xF5, 0x01, 0xFF, 0x03, 0xF7}),
              (Lines{"Synth-A: 90 3C 40", "Synth-B: F0 7D 09 F7", "Default MIDI: 80 3C 00",
                     "MIDI Out: F0 7D 01 02 03 F7"}));
}

TEST_F(WireDecoding, RealTimeBytesPassThroughSysExAndMessagesWithoutBreakingThem) {
    EXPECT_EQ(feed({0xF5, 0x00, 0xFF, 0xF0, 0x7D, 0xF8, 0x01, 0xFF, 0xFE, 0xF7}),
              (Lines{"Default MIDI: F8", "Default MIDI: FE", "Default MIDI: F0 7D 01 F7"}));
    EXPECT_EQ(feed({0xF5, 0x02, 0xF0, 0x01, 0xFA, 0x02, 0xF7, 0x90, 0x3C, 0xFC, 0x40}),
              (Lines{"Synth-A: FA", "Synth-A: F0 01 02 F7", "Synth-A: FC", "Synth-A: 90 3C 40"}));
}

TEST_F(WireDecoding, SystemCommonMessagesHaveTheirLengthsAndEndRunningStatus) {
    EXPECT_EQ(
        feed({0xF5, 0x02, 0x90, 0x3C, 0x40, 0xF2, 0x10, 0x20, 0xF1, 0x35, 0xF3, 0x02, 0xF6, 0x3C}),
        (Lines{"Synth-A: 90 3C 40", "Synth-A: F2 10 20", "Synth-A: F1 35", "Synth-A: F3 02",
               "Synth-A: F6", "Synth-A: stray data 3C"}));
}

TEST_F(WireDecoding, AMessageIsDatedByTheByteThatCompletesIt) {
    feed({0xF5, 0x02, 0x90, 0x3C});
    feed({0x40});
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].timeUs, 4);
}

TEST_F(WireDecoding, APacketLeadWithNoDataBeforeASelectIsMalformedAndDecodingGoesOn) {
    EXPECT_EQ(feed({0xF5, 0x00, 0xFF, 0xF5, 0x01, 0xFF, 0x90, 0x3C, 0x40}),
              (Lines{"Default MIDI: empty packet FF", "MIDI Out: 90 3C 40"}));
}

TEST_F(WireDecoding, ASelectOfNoDestinationLeavesTheDataAfterItUnaddressed) {
    EXPECT_EQ(feed({0xF5, 0x02, 0xF5, 0x04, 0x90, 0x3C, 0xF5, 0x03, 0x90, 0x3C, 0x40}),
              (Lines{"Synth-A: bad destination F5 04", "-: no destination 90",
                     "-: no destination 3C", "Synth-B: 90 3C 40"}));
    EXPECT_EQ(feed({0xF5, 0xF5}), Lines{"Synth-B: bad destination F5 F5"});
}

TEST_F(WireDecoding, DataBeforeAnySelectIsUnaddressed) {
    EXPECT_EQ(feed({0x90, 0xFF}), (Lines{"-: no destination 90", "-: no destination FF"}));
}

TEST_F(WireDecoding, ABytePastAFullPacketOrWithoutOneIsOutsideAnyPacket) {
    EXPECT_EQ(feed({0xF5, 0x01, 0x90, 0xFF, 0x90, 0x3C, 0x40, 0x3E, 0x40, 0xFF, 0x00}),
              (Lines{"MIDI Out: outside packet 90", "MIDI Out: 90 3C 40",
                     "MIDI Out: outside packet 40", "MIDI Out: 90 3E 00"}));
}

TEST_F(WireDecoding, AMessageCutShortByAStatusByteIsShownAndTheNewOneCompletes) {
    EXPECT_EQ(feed({0xF5, 0x02, 0x90, 0x3C, 0xB0, 0x07, 0x64}),
              (Lines{"Synth-A: cut short by B0: 90 3C", "Synth-A: B0 07 64"}));
    EXPECT_EQ(feed({0xF2, 0x10, 0xF6}), (Lines{"Synth-A: cut short by F6: F2 10", "Synth-A: F6"}));
    EXPECT_EQ(feed({0xF5, 0x00, 0xFF, 0xF0, 0x7D, 0x01, 0x90, 0xFF, 0x3C, 0x40}),
              (Lines{"Default MIDI: cut short by 90: F0 7D 01", "Default MIDI: 90 3C 40"}));
}

TEST_F(WireDecoding, StrayDataAndAStrayEndOfExclusiveAreShown) {
    EXPECT_EQ(feed({0xF5, 0x03, 0x3C, 0xF7}),
              (Lines{"Synth-B: stray data 3C", "Synth-B: stray F7 F7"}));
    // A SysEx ends running status, so data after it has no status.
    EXPECT_EQ(feed({0x90, 0x3C, 0x40, 0xF0, 0x01, 0xF7, 0x3C}),
              (Lines{"Synth-B: 90 3C 40", "Synth-B: F0 01 F7", "Synth-B: stray data 3C"}));
}

TEST_F(WireDecoding, TheEndOfInputShowsWhatIsLeftUnfinishedAndStartsAfresh) {
    feed({0xF5, 0x01, 0xFF, 0xF0, 0x7D, 0xF5, 0x02, 0x90, 0x3C, 0xF5, 0x00, 0xFF});
    EXPECT_EQ(finish(), (Lines{"Default MIDI: empty packet FF", "MIDI Out: cut short at end: F0 7D",
                               "Synth-A: cut short at end: 90 3C"}));
    feed({0xF5});
    EXPECT_EQ(finish(), Lines{"-: missing index F5"});
    EXPECT_EQ(feed({0x3C}), Lines{"-: no destination 3C"}) << "no destination survives the end";
}

// A stream in the driver's format with some damage: selects, packets cut at every length, raw
// runs, SysEx, real-time bytes, and now and then any byte at all.
Bytes makeStream(std::mt19937& random, size_t elements) {
    Bytes stream;
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> choice(0, 9);
    int destination = 0;
    for (size_t i = 0; i < elements; i++) {
        int what = choice(random);
        if (what == 0) {
            destination = byte(random) % 4;
            stream.insert(stream.end(), {0xF5, static_cast<uint8_t>(destination)});
        } else if (what == 1) {
            stream.push_back(static_cast<uint8_t>(byte(random)));
        } else {
            Bytes message;
            static const Bytes samples[] = {{0x90, 0x3C, 0x40},
                                            {0x3C, 0x00},
                                            {0xC2, 0x05},
                                            {0xF8},
                                            {0xF0, 0x7D, 0x01, 0x02, 0x03, 0x04, 0x05, 0xF7},
                                            {0xB1, 0x07}};
            message = samples[byte(random) % 6];
            if (destination >= 2) {
                stream.insert(stream.end(), message.begin(), message.end());
                continue;
            }
            for (size_t at = 0; at < message.size(); at += 4) {
                stream.push_back(0xFF);
                size_t end = std::min(message.size(), at + 4);
                stream.insert(stream.end(), message.begin() + at, message.begin() + end);
            }
        }
    }
    return stream;
}

std::vector<std::string> decodeInChunks(const Bytes& stream, std::mt19937& random,
                                        size_t largestChunk) {
    WireDecoder decoder{};
    resetWireDecoder(decoder);
    std::vector<WireEvent> events;
    std::uniform_int_distribution<size_t> size(1, largestChunk);
    for (size_t at = 0; at < stream.size();) {
        size_t count = std::min(size(random), stream.size() - at);
        feedWireBytes(decoder, stream.data() + at, count, 0, events);
        at += count;
    }
    finishWire(decoder, 0, events);
    return summaries(events);
}

TEST(WireDecodingProperty, HowTheInputIsCutIntoChunksNeverChangesWhatIsDecoded) {
    std::mt19937 random(20240607);
    for (int round = 0; round < 200; round++) {
        Bytes stream = makeStream(random, 60);
        std::vector<std::string> wholeAtOnce = decodeInChunks(stream, random, stream.size());
        for (size_t largest : {size_t{1}, size_t{2}, size_t{3}, size_t{5}, size_t{16}}) {
            ASSERT_EQ(decodeInChunks(stream, random, largest), wholeAtOnce)
                << "round " << round << ", chunks of up to " << largest << " bytes";
        }
    }
}

// What a whole MIDI message looks like: a status byte, data bytes below 0x80, and the length
// its status calls for or, for a SysEx, an F7 at the end.
bool isWholeMessage(const Bytes& m) {
    if (m.empty() || m[0] < 0x80 || m[0] == 0xF7) {
        return false;
    }
    size_t dataEnd = m[0] == 0xF0 ? m.size() - 1 : m.size();
    for (size_t i = 1; i < dataEnd; i++) {
        if (m[i] >= 0x80) {
            return false;
        }
    }
    if (m[0] == 0xF0) {
        return m.size() >= 2 && m.back() == 0xF7;
    }
    size_t expected = m[0] >= 0xF8 || m[0] >= 0xF4 ? 1
                      : m[0] == 0xF2               ? 3
                      : m[0] >= 0xF1               ? 2
                      : (m[0] & 0xE0) == 0xC0      ? 2
                                                   : 3;
    return m.size() == expected;
}

TEST(WireDecodingProperty, AnyBytesAtAllGiveOnlyWholeMessagesAndReportsOfTheRest) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 300; round++) {
        Bytes stream(400);
        for (uint8_t& b : stream) {
            b = static_cast<uint8_t>(byte(random));
        }
        WireDecoder decoder{};
        resetWireDecoder(decoder);
        std::vector<WireEvent> events;
        feedWireBytes(decoder, stream.data(), stream.size(), 0, events);
        finishWire(decoder, 0, events);
        for (const WireEvent& event : events) {
            ASSERT_FALSE(event.bytes.empty()) << summary(event);
            ASSERT_GE(event.destination, kNoDestination);
            ASSERT_LT(event.destination, kDestinationCount);
            if (event.problem == WireProblem::None) {
                ASSERT_NE(event.destination, kNoDestination) << summary(event);
                ASSERT_TRUE(isWholeMessage(event.bytes)) << summary(event);
            }
        }
    }
}

} // namespace
