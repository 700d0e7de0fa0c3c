// The words the instrument stand-in prints for what it receives.
#include "instrument/event_text.h"
#include "words/midi_text.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

TEST(ReadableForms, MiddleCIsC4AndNotesUseSharps) {
    EXPECT_EQ(noteName(60), "C4");
    EXPECT_EQ(noteName(61), "C#4");
    EXPECT_EQ(noteName(69), "A4");
    EXPECT_EQ(noteName(59), "B3");
    EXPECT_EQ(noteName(0), "C-1");
    EXPECT_EQ(noteName(127), "G9");
}

TEST(ReadableForms, ChannelsCountFromOneToSixteen) {
    EXPECT_EQ(describeMessage({0x90, 0x3C, 0x40}), "Note On ch 1 C4 vel 64");
    EXPECT_EQ(describeMessage({0x8F, 0x3C, 0x00}), "Note Off ch 16 C4 vel 0");
    EXPECT_EQ(describeMessage({0xC1, 0x05}), "Program Change ch 2 prog 5");
}

TEST(ReadableForms, PitchBendIsCentredAtZero) {
    EXPECT_EQ(describeMessage({0xE0, 0x00, 0x40}), "Pitch Bend ch 1 +0");
    EXPECT_EQ(describeMessage({0xE0, 0x00, 0x00}), "Pitch Bend ch 1 -8192");
    EXPECT_EQ(describeMessage({0xE0, 0x7F, 0x7F}), "Pitch Bend ch 1 +8191");
    EXPECT_EQ(describeMessage({0xE0, 0x01, 0x40}), "Pitch Bend ch 1 +1");
}

TEST(ReadableForms, EveryKindOfMessageIsNamed) {
    EXPECT_EQ(describeMessage({0xA0, 0x3C, 0x20}), "Poly Key Pressure ch 1 C4 val 32");
    EXPECT_EQ(describeMessage({0xB0, 0x07, 0x64}), "Control Change ch 1 ctl 7 val 100");
    EXPECT_EQ(describeMessage({0xD2, 0x40}), "Channel Pressure ch 3 val 64");
    EXPECT_EQ(describeMessage({0xF1, 0x35}), "MTC Quarter Frame piece 3 val 5");
    EXPECT_EQ(describeMessage({0xF2, 0x10, 0x01}), "Song Position 144");
    EXPECT_EQ(describeMessage({0xF3, 0x02}), "Song Select 2");
    EXPECT_EQ(describeMessage({0xF6}), "Tune Request");
    EXPECT_EQ(describeMessage({0xF8}), "Timing Clock");
    EXPECT_EQ(describeMessage({0xFA}), "Start");
    EXPECT_EQ(describeMessage({0xFB}), "Continue");
    EXPECT_EQ(describeMessage({0xFC}), "Stop");
    EXPECT_EQ(describeMessage({0xFE}), "Active Sensing");
    EXPECT_EQ(describeMessage({0xFF}), "System Reset");
}

TEST(ReadableForms, ALongSysExKeepsItsHeadAndTail) {
    EXPECT_EQ(describeMessage({0xF0, 0x7D, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0xF7}),
              "SysEx 10 bytes F0 7D 01 02 03 04 05 06 07 F7");
    Bytes dump(100, 0x11);
    dump.front() = 0xF0;
    dump.back() = 0xF7;
    EXPECT_EQ(describeMessage(dump),
              "SysEx 100 bytes F0 11 11 11 11 11 11 11 11 11 11 11 ... 11 11 11 F7");
}

TEST(ReadableForms, ALineHasTheTimeToTheMillisecondTheDestinationAndTheMessage) {
    WireEvent note{1234567, 2, WireProblem::None, {0x90, 0x3C, 0x40}, 0};
    EXPECT_EQ(formatEventLine(note), "   1.234  Synth-A       Note On ch 1 C4 vel 64");
    WireEvent stray{61000, kNoDestination, WireProblem::NoDestination, {0x90}, 0};
    EXPECT_EQ(formatEventLine(stray),
              "   0.061  -             malformed: byte 90 with no destination selected");
}

TEST(ReadableForms, MalformedDataSaysWhatWasWrong) {
    auto text = [](WireProblem problem, Bytes bytes, uint8_t cause = 0) {
        return describeEvent(WireEvent{0, 0, problem, std::move(bytes), cause});
    };
    EXPECT_EQ(text(WireProblem::EmptyPacket, {0xFF}, 0xF5),
              "malformed: packet lead FF with no data before destination select F5");
    EXPECT_EQ(text(WireProblem::BadDestination, {0xF5, 0x09}),
              "malformed: destination select F5 09 names no destination (00 to 03)");
    EXPECT_EQ(text(WireProblem::OutsidePacket, {0x3C}), "malformed: byte 3C outside any packet");
    EXPECT_EQ(text(WireProblem::CutShort, {0x90, 0x3C}, 0xB0),
              "malformed: Note On cut short by B0 after 2 bytes: 90 3C");
    EXPECT_EQ(text(WireProblem::CutShort, {0xF0, 0x7D}),
              "malformed: SysEx unfinished at end of input after 2 bytes: F0 7D");
    EXPECT_EQ(text(WireProblem::StrayData, {0x3C}),
              "malformed: stray data byte 3C with no status in force");
    EXPECT_EQ(text(WireProblem::StrayEndOfExclusive, {0xF7}),
              "malformed: End of Exclusive F7 with no SysEx in progress");
}

TEST(ReadableForms, DestinationsAreKnownByNumberOrByNameInAnyCase) {
    EXPECT_EQ(destinationByName("0"), 0);
    EXPECT_EQ(destinationByName("3"), 3);
    EXPECT_EQ(destinationByName("default midi"), 0);
    EXPECT_EQ(destinationByName("Synth-A"), 2);
    EXPECT_EQ(destinationByName("SYNTH-B"), 3);
    EXPECT_EQ(destinationByName("Synth"), kNoDestination);
    EXPECT_EQ(destinationByName("4"), kNoDestination);
}

TEST(ReadableForms, HexBytesAreReadWithOrWithoutSpaces) {
    Bytes bytes;
    ASSERT_TRUE(parseHexBytes("90 3c 40", bytes));
    EXPECT_EQ(bytes, (Bytes{0x90, 0x3C, 0x40}));
    ASSERT_TRUE(parseHexBytes("F07D01F7", bytes));
    EXPECT_EQ(bytes, (Bytes{0xF0, 0x7D, 0x01, 0xF7}));
    EXPECT_FALSE(parseHexBytes("90 3", bytes));
    EXPECT_FALSE(parseHexBytes("9G", bytes));
    EXPECT_EQ(bytes, (Bytes{0xF0, 0x7D, 0x01, 0xF7})) << "a failed parse leaves the bytes alone";
}

} // namespace
