// A reset silences what the output left sounding on the instrument: a Note Off for every note it
// turned on and not off, the sustain pedal released on every channel it left it down, judged from
// what reached the wire.
#include "driver_fixture.h"

#include <set>
#include <thread>
#include <utility>

namespace {

class OutputReset : public DriverTest {
  protected:
    // Opens the output and forgets the destination select its first send puts on the wire.
    Stream* openAnnounced(uint32_t index) {
        Stream* stream = app.openOutput(index);
        app.send(stream, 0xF8); // a timing clock passes every filter and leaves nothing on
        forgetWire();
        return stream;
    }
    uint32_t reset(Stream* stream) { return app.call(stream, MODM_RESET); }
    // Sends the messages, then keeps only what the reset that follows writes.
    void play(Stream* stream, std::initializer_list<uint32_t> messages) {
        for (uint32_t packed : messages) {
            ASSERT_EQ(app.send(stream, packed), MMSYSERR_NOERROR);
        }
        forgetWire();
    }
};

TEST_F(OutputReset, TurnsOffEveryNoteLeftOnAndReleasesEveryPedalLeftDownThenForgetsThem) {
    Stream* out = openAnnounced(0);
    play(out, {0x00403C90,   // channel 1: C4 on
               0x00404091,   // channel 2: E4 on
               0x007F40B1,   // channel 2: sustain pedal down
               0x00403E90,   // channel 1: D4 on ...
               0x00003E80,   // ... and off
               0x00403F90,   // channel 1: D#4 on ...
               0x00003F90,   // ... and off, as a Note On at velocity 0
               0x007F40B0,   // channel 1: pedal down ...
               0x003F40B0}); // ... and up again, below 64
    EXPECT_EQ(reset(out), MMSYSERR_NOERROR);
    EXPECT_EQ(writes(),
              (std::vector<Bytes>{
                  {0xFF, 0x80, 0x3C, 0x40}, {0xFF, 0x81, 0x40, 0x40}, {0xFF, 0xB1, 0x40, 0x00}}));
    forgetWire();
    EXPECT_EQ(reset(out), MMSYSERR_NOERROR);
    EXPECT_TRUE(wire().empty()) << "a second reset finds nothing left on";
}

TEST_F(OutputReset, DataBytesOutOfRangeNameNoKeyAndLeaveTheOtherChannelsAlone) {
    Stream* out = openAnnounced(0);
    play(out, {0x0000FF9F,   // channel 16: "key" 0xFF, passed on as the client sent it
               0x00FF3C9E,   // channel 15: C4 at "velocity" 0xFF
               0x00FF40B0}); // channel 1: "pedal" value 0xFF
    EXPECT_EQ(reset(out), MMSYSERR_NOERROR);
    EXPECT_TRUE(wire().empty()) << "a reset turned off a note nobody turned on";
}

// A player stops from its interface thread while its playing thread still sends: every note that
// reached the wire is turned off by a reset, whichever thread got there first. (Under the thread
// sanitizer, bookkeeping left unguarded shows up even when no note happens to be lost.)
TEST_F(OutputReset, AResetFromAnotherThreadLosesNoNoteThatWentOut) {
    Stream* out = openAnnounced(0);
    std::thread player([&] {
        for (uint32_t i = 0; i < 2000; ++i) {
            uint32_t channel = i % 16, key = 0x20 + i % 64;
            app.send(out, 0x00400090u | channel | key << 8);
        }
    });
    for (int i = 0; i < 200; ++i) {
        reset(out);
    }
    player.join();
    EXPECT_EQ(reset(out), MMSYSERR_NOERROR);
    // Every Note On on the wire is followed, sooner or later, by its Note Off.
    std::set<std::pair<uint8_t, uint8_t>> sounding;
    for (const Bytes& write : writes()) {
        if (write.size() == 4 && write[0] == 0xFF && (write[1] & 0xE0) == 0x80) {
            auto note = std::make_pair(static_cast<uint8_t>(write[1] & 0x0F), write[2]);
            (write[1] & 0xF0) == 0x90 ? (void)sounding.insert(note) : (void)sounding.erase(note);
        }
    }
    EXPECT_TRUE(sounding.empty()) << sounding.size() << " notes keep sounding";
}

TEST_F(OutputReset, WithNothingSoundingWritesNothingNotEvenASelect) {
    Stream* out = app.openOutput(0);
    EXPECT_EQ(reset(out), MMSYSERR_NOERROR); // as players do before they play
    EXPECT_TRUE(wire().empty());
    app.send(out, 0x000005C0); // Program Change and a controller leave nothing on
    app.send(out, 0x006407B0);
    forgetWire();
    EXPECT_EQ(reset(out), MMSYSERR_NOERROR);
    EXPECT_TRUE(wire().empty());
}

TEST_F(OutputReset, RunningStatusCountsAndResumesWithItsStatusByteAfterAReset) {
    Stream* out = openAnnounced(0);
    // C4 on, then D4 on and C4 off by running status.
    play(out, {0x00403C90, 0x0000403E, 0x0000003C});
    EXPECT_EQ(reset(out), MMSYSERR_NOERROR);
    // The instrument's running status is now the reset's Note Off: the client's next running-status
    // data goes out once with its own status byte.
    app.send(out, 0x00004040);
    app.send(out, 0x00000040);
    EXPECT_EQ(writes(),
              (std::vector<Bytes>{
                  {0xFF, 0x80, 0x3E, 0x40}, {0xFF, 0x90, 0x40, 0x40}, {0xFF, 0x40, 0x00}}));
}

TEST_F(OutputReset, EachOutputSilencesWhatItLeftOnItsOwnDestination) {
    setIndependentMode();
    Stream* midi = openAnnounced(0);
    Stream* synth = app.openOutput(2);
    app.send(midi, 0x00403C90);
    app.send(synth, 0x00404590);
    app.send(synth, 0x007F40B0);
    forgetWire();
    EXPECT_EQ(reset(midi), MMSYSERR_NOERROR);
    EXPECT_EQ(reset(synth), MMSYSERR_NOERROR);
    EXPECT_EQ(writes(), (std::vector<Bytes>{{0xF5, 0x00},
                                            {0xFF, 0x80, 0x3C, 0x40},
                                            {0xF5, 0x02},
                                            {0x80, 0x45, 0x40},
                                            {0xB0, 0x40, 0x00}}));
}

TEST_F(OutputReset, OnlyWhatTheFilterLetOntoTheWireIsReleased) {
    setMessageMask(shared,
                   messageMask(shared) & ~(1u << messageBit(kindControlChange, midiKindsAt)));
    Stream* out = openAnnounced(0);
    play(out, {0x007F40B0}); // dropped: the pedal never went down
    EXPECT_EQ(reset(out), MMSYSERR_NOERROR);
    EXPECT_TRUE(wire().empty());

    // A pedal that went down before Control Change was switched off is still held: it is let up.
    setMessageMask(shared, messageMask(shared) | 1u << messageBit(kindControlChange, midiKindsAt));
    play(out, {0x007F40B0});
    setMessageMask(shared,
                   messageMask(shared) & ~(1u << messageBit(kindControlChange, midiKindsAt)));
    EXPECT_EQ(reset(out), MMSYSERR_NOERROR);
    EXPECT_EQ(writes(), (std::vector<Bytes>{{0xFF, 0xB0, 0x40, 0x00}}));
}

TEST_F(OutputReset, NotesALongMessageCarriedWholeAreSilencedToo) {
    Stream* out = openAnnounced(0);
    Bytes carried = {0x90, 0x3C, 0x40, 0x3E, 0x40,  // C4 on, D4 on by running status
                     0xF0, 0x7D, 0x10, 0x20, 0xF7,  // exclusive data is no note
                     0x42, 0x40,                    // data after it has no status: nothing
                     0xB0, 0x40, 0x7F, 0xF8,        // pedal down, a clock
                     0x91, 0x45, 0x40, 0x81, 0x45}; // E4 on channel 2, its Note Off cut short
    MidiHeader header = preparedHeader(carried);
    ASSERT_EQ(app.sendLong(out, header), MMSYSERR_NOERROR);
    forgetWire();
    EXPECT_EQ(reset(out), MMSYSERR_NOERROR);
    EXPECT_EQ(writes(), (std::vector<Bytes>{{0xFF, 0x80, 0x3C, 0x40},
                                            {0xFF, 0x80, 0x3E, 0x40},
                                            {0xFF, 0xB0, 0x40, 0x00},
                                            {0xFF, 0x81, 0x45, 0x40}}));
}

TEST_F(OutputReset, AResetThatCannotWriteSaysSoAndTheNextOneFinishesTheJob) {
    Stream* out = openAnnounced(0);
    play(out, {0x00403C90, 0x00403E90});
    sim::world().nextWriteOutcomes = {sim::WriteOutcome::done, sim::WriteOutcome::fails};
    EXPECT_EQ(reset(out), MMSYSERR_INVALPARAM);
    EXPECT_EQ(reset(out), MMSYSERR_NOERROR);
    // The failed write took the line for lost: it was opened anew, and announced anew.
    EXPECT_EQ(writes(), (std::vector<Bytes>{
                            {0xFF, 0x80, 0x3C, 0x40}, {0xF5, 0x00}, {0xFF, 0x80, 0x3E, 0x40}}));
}

} // namespace
