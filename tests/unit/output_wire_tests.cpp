// What reaches the instrument for what a client sends: destination selects, packets, raw data and
// the message filters.
#include "driver_fixture.h"
#include "line/port.h"

namespace {

class OutputWire : public DriverTest {
  protected:
    // Opens the output and forgets the destination select its first send puts on the wire.
    Stream* openAnnounced(uint32_t index) {
        Stream* stream = app.openOutput(index);
        app.send(stream, 0xF8); // a timing clock passes every filter
        forgetWire();
        return stream;
    }
};

TEST_F(OutputWire, NoteOnIsAnnouncedThenPacketed) {
    Stream* out = app.openOutput(0);
    EXPECT_EQ(app.send(out, 0x00403C90), MMSYSERR_NOERROR);
    EXPECT_EQ(app.send(out, 0x00403C90), MMSYSERR_NOERROR);
    // The select pair and each packet are separate writes; the destination is announced once.
    EXPECT_EQ(writes(), (std::vector<Bytes>{
                            {0xF5, 0x00}, {0xFF, 0x90, 0x3C, 0x40}, {0xFF, 0x90, 0x3C, 0x40}}));
}

TEST_F(OutputWire, RunningStatusCarriesTheDataOfTheLastStatus) {
    Stream* out = openAnnounced(0);
    app.send(out, 0x00403C90);
    app.send(out, 0x0000003C); // running-status pair after a Note On: two data bytes
    app.send(out, 0x000005C0); // Program Change
    app.send(out, 0x00000007); // running status after it: one data byte
    EXPECT_EQ(writes(),
              (std::vector<Bytes>{
                  {0xFF, 0x90, 0x3C, 0x40}, {0xFF, 0x3C, 0x00}, {0xFF, 0xC0, 0x05}, {0xFF, 0x07}}));
}

TEST_F(OutputWire, SynthDestinationsTakeRawData) {
    setIndependentMode();
    Stream* synth = app.openOutput(2);
    app.send(synth, 0x00403C90);
    EXPECT_EQ(writes(), (std::vector<Bytes>{{0xF5, 0x02}, {0x90, 0x3C, 0x40}}));
}

TEST_F(OutputWire, LongMessagesAreCutIntoPacketsOfFour) {
    setIndependentMode();
    Stream* out = app.openOutput(1);
    Bytes exclusive = {0xF0, 0x7D, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0xF7};
    MidiHeader header = preparedHeader(exclusive);
    EXPECT_EQ(app.sendLong(out, header), MMSYSERR_NOERROR);
    EXPECT_EQ(writes(), (std::vector<Bytes>{{0xF5, 0x01},
                                            {0xFF, 0xF0, 0x7D, 0x01, 0x02},
                                            {0xFF, 0x03, 0x04, 0x05, 0x06},
                                            {0xFF, 0x07, 0xF7}}));
}

TEST_F(OutputWire, LongMessagesOfWholePacketsEndWithAFullPacket) {
    Stream* out = openAnnounced(0);
    Bytes four = {0xF0, 0x01, 0x02, 0xF7};
    Bytes eight = {0xF0, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0xF7};
    MidiHeader first = preparedHeader(four);
    MidiHeader second = preparedHeader(eight);
    app.sendLong(out, first);
    app.sendLong(out, second);
    EXPECT_EQ(writes(), (std::vector<Bytes>{{0xFF, 0xF0, 0x01, 0x02, 0xF7},
                                            {0xFF, 0xF0, 0x01, 0x02, 0x03},
                                            {0xFF, 0x04, 0x05, 0x06, 0xF7}}));
}

TEST_F(OutputWire, TwoStreamsAnnounceTheirDestinationBeforeEveryAlternateWrite) {
    setIndependentMode();
    Stream* midi = app.openOutput(0);
    Stream* synth = app.openOutput(3);
    app.send(midi, 0x00403C90);
    app.send(synth, 0x00403C90);
    app.send(midi, 0x00003C80);
    EXPECT_EQ(writes(), (std::vector<Bytes>{{0xF5, 0x00},
                                            {0xFF, 0x90, 0x3C, 0x40},
                                            {0xF5, 0x03},
                                            {0x90, 0x3C, 0x40},
                                            {0xF5, 0x00},
                                            {0xFF, 0x80, 0x3C, 0x00}}));
}

TEST_F(OutputWire, EachOpeningOfThePortAnnouncesTheDestinationAgainButOnlyOnce) {
    Stream* first = openAnnounced(0);
    PortHold input = {};
    attachPort(app.context.line, kindInput, 0, input); // the input joins the open port
    app.send(first, 0x00403C90);
    detachPort(app.context.line, kindInput, 0, input);
    app.close(first); // the port closes
    Stream* again = app.openOutput(0);
    app.send(again, 0x00403C90);
    app.send(again, 0x00403C90);
    EXPECT_EQ(writes(), (std::vector<Bytes>{{0xFF, 0x90, 0x3C, 0x40},
                                            {0xF5, 0x00},
                                            {0xFF, 0x90, 0x3C, 0x40},
                                            {0xFF, 0x90, 0x3C, 0x40}}));
}

TEST_F(OutputWire, SystemAndRealTimeMessagesHaveTheirOwnLengths) {
    Stream* out = openAnnounced(0);
    app.send(out, 0x00403C90);
    app.send(out, 0x000000F8); // real time: one byte, running status untouched
    app.send(out, 0x0000003E); // still a Note On's data
    app.send(out, 0x000010F1); // quarter frame: two bytes
    app.send(out, 0x002010F2); // song position: three bytes
    app.send(out, 0x000000F0); // exclusive start as a short message: one byte
    EXPECT_EQ(wire(), (Bytes{0xFF, 0x90, 0x3C, 0x40, 0xFF, 0xF8, 0xFF, 0x3E, 0x00, 0xFF, 0xF1, 0x10,
                             0xFF, 0xF2, 0x10, 0x20, 0xFF, 0xF0}));
}

class MessageFilter : public OutputWire {};

TEST_F(MessageFilter, BankSelectIsDroppedApartFromOtherControllers) {
    setMessageMask(shared, messageMask(shared) & ~(1u << messageBit(kindBankSelect, midiKindsAt)));
    Stream* out = openAnnounced(0);
    app.send(out, 0x000100B0); // controller 0: bank select
    app.send(out, 0x000120B0); // controller 32: bank select
    app.send(out, 0x006407B0); // controller 7: volume
    app.send(out, 0x00000000); // running status after volume: controller 0 shares its decision
    EXPECT_EQ(writes(), (std::vector<Bytes>{{0xFF, 0xB0, 0x07, 0x64}, {0xFF, 0x00, 0x00}}));
}

TEST_F(MessageFilter, WithoutControlChangeNoControllerPasses) {
    setMessageMask(shared,
                   messageMask(shared) & ~(1u << messageBit(kindControlChange, midiKindsAt)));
    Stream* out = openAnnounced(0);
    app.send(out, 0x006407B0);
    app.send(out, 0x000100B0);
    EXPECT_TRUE(wire().empty());
}

TEST_F(MessageFilter, AFilteredMessageLeavesNothingOnTheWireNotEvenASelect) {
    setMessageMask(shared,
                   messageMask(shared) & ~(1u << messageBit(kindProgramChange, midiKindsAt)));
    Stream* out = app.openOutput(0);
    EXPECT_EQ(app.send(out, 0x000005C0), MMSYSERR_NOERROR);
    EXPECT_EQ(app.send(out, 0x00000006), MMSYSERR_NOERROR); // running status after it: dropped
    EXPECT_TRUE(wire().empty());
    EXPECT_EQ(lastDestination(shared), noDestination);
}

TEST_F(MessageFilter, EachKindHasItsBitPerDestinationGroup) {
    setIndependentMode();
    struct Case {
        MessageKind kind;
        uint32_t packed;
    };
    const Case cases[] = {{kindProgramChange, 0x000005C0},
                          {kindControlChange, 0x006407B0},
                          {kindChannelPressure, 0x000040D0},
                          {kindPolyKeyPressure, 0x00403CA0}};
    for (const Case& c : cases) {
        for (uint32_t index : {0u, 1u, 2u, 3u}) {
            // The synthesizer's outputs have their group from bit 8 on.
            uint32_t bit = static_cast<uint32_t>(c.kind) + (index >= 2 ? 8 : 0);
            setMessageMask(shared, static_cast<uint16_t>(0xFFFF & ~(1u << bit)));
            Stream* out = openAnnounced(index);
            app.send(out, c.packed);
            EXPECT_TRUE(wire().empty())
                << "kind " << static_cast<uint32_t>(c.kind) << " on output " << index;
            // The other group's bit does not stop it.
            setMessageMask(shared, static_cast<uint16_t>(0xFFFF & ~(1u << (bit ^ 8))));
            app.send(out, c.packed);
            EXPECT_FALSE(wire().empty())
                << "kind " << static_cast<uint32_t>(c.kind) << " on output " << index;
            app.close(out);
        }
    }
}

TEST_F(MessageFilter, NotesAndPitchBendAlwaysPass) {
    setMessageMask(shared, independentModeBit); // every kind off
    Stream* out = openAnnounced(0);
    app.send(out, 0x00403C90);
    app.send(out, 0x00003C80);
    app.send(out, 0x004000E0);
    EXPECT_EQ(wire(),
              (Bytes{0xFF, 0x90, 0x3C, 0x40, 0xFF, 0x80, 0x3C, 0x00, 0xFF, 0xE0, 0x00, 0x40}));
}

TEST_F(MessageFilter, AFilteredExclusiveIsStillDoneAndAnswered) {
    setMessageMask(shared, messageMask(shared) & ~(1u << messageBit(kindExclusive, midiKindsAt)));
    Stream* out = app.openOutput(0);
    Bytes exclusive = {0xF0, 0x7D, 0xF7};
    MidiHeader header = preparedHeader(exclusive);
    EXPECT_EQ(app.sendLong(out, header), MMSYSERR_NOERROR);
    EXPECT_TRUE(wire().empty());
    EXPECT_EQ(header.dwFlags, MHDR_PREPARED | MHDR_DONE);
    EXPECT_EQ(notified(), (std::vector<uint32_t>{MOM_OPEN, MOM_DONE}));
    EXPECT_EQ(sim::world().notifications.back().param1, reinterpret_cast<uintptr_t>(&header));
}

} // namespace
