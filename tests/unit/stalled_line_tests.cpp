// A line whose far end has stopped taking bytes: a long message stuck in its write holds up only
// its own device, a reset stops it, a close waits for it, and a write that makes no progress is
// given up after its wire time and a few seconds.
#include "input_device_fixture.h"
#include "line/port_write.h"
#include "monitor/monitor.h"
#include "output/filter.h"

#include <chrono>
#include <thread>

namespace {

// An output the test opened, as the output's own record.
OutputStream& output(Stream* stream) {
    return static_cast<OutputStream&>(*stream);
}

class StalledLine : public AnInputDevice {
  protected:
    ~StalledLine() override {
        if (sender.joinable()) {
            sender.join();
        }
    }

    // A client's player thread sends the long message; the test thread stays free to act.
    void sendLongOnAnotherThread(Stream* out, size_t size) {
        data.assign(size, 0x11);
        data.front() = 0xF0;
        data.back() = 0xF7;
        sendLongOnAnotherThread(out, data);
    }
    void sendLongOnAnotherThread(Stream* out, const Bytes& bytes) {
        data = bytes;
        header = preparedHeader(data);
        sender = std::thread([this, out] {
            senderStatus = app.sendLong(out, header);
            senderDone = true;
        });
    }
    // From a clean wire, a long message of `size` bytes starts on another thread: its select
    // goes out, and its first data write sticks on the line.
    bool aDumpSticksOn(Stream* out, size_t size) {
        forgetWire();
        sim::world().nextWriteOutcomes = {sim::WriteOutcome::done, sim::WriteOutcome::stalls};
        sendLongOnAnotherThread(out, size);
        return writeHangs();
    }
    // The message's write has gone out and hangs on the line, waited for with a deadline.
    static bool writeHangs() {
        return sim::waitUntil([] {
            for (const auto& write : sim::world().pendingWrites) {
                if (write.second == sim::WriteOutcome::stalls) {
                    return sim::world().timedWaits > 0;
                }
            }
            return false;
        });
    }
    static uint32_t count(const uint32_t& counter) {
        std::lock_guard<std::mutex> hold(sim::world().lock);
        return counter;
    }
    static uint32_t checksOfTheClock() { return count(sim::world().timedWaitChecks); }
    uint32_t finishSender() {
        sender.join();
        return senderStatus;
    }
    uint32_t reset(Stream* out) { return app.call(out, MODM_RESET); }
    size_t doneNotifications() {
        size_t count = 0;
        for (uint32_t message : notified()) {
            count += message == MOM_DONE;
        }
        return count;
    }

    Bytes data;
    MidiHeader header = {};
    std::thread sender;
    uint32_t senderStatus = 0xFFFF;
    std::atomic<bool> senderDone = false;
};

// A raw long message goes out in blocks: the block that stops moving is given up a few seconds
// after its own wire time, not after the whole message's (a minute and more for a big dump).
TEST_F(StalledLine, AWriteThatMakesNoProgressIsGivenUpAfterItsWireTimeAndAFewSeconds) {
    setIndependentMode();
    Stream* synthA = app.openOutput(2); // its data goes raw
    sim::world().nextWriteOutcomes = {sim::WriteOutcome::done, sim::WriteOutcome::done,
                                      sim::WriteOutcome::stalls};
    sendLongOnAnotherThread(synthA, 3840); // one second on the line
    ASSERT_TRUE(writeHangs());
    uint32_t blockDeadline = writeDeadline(rawBlockBytes);
    EXPECT_EQ(blockDeadline, 66u + writeGraceMs) << "a block's 256 bytes take 66 ms on the line";
    EXPECT_EQ(writes().size(), 2u) << "the select and the first block went out";

    uint32_t checks = checksOfTheClock();
    sim::setClock(blockDeadline - 1);
    ASSERT_TRUE(soon([&] { return checksOfTheClock() > checks; }));
    EXPECT_EQ(count(sim::world().timedWaits), 1u)
        << "the sender saw the clock and went on waiting: its write is within its time";
    sim::setClock(blockDeadline);
    EXPECT_EQ(finishSender(), MMSYSERR_INVALPARAM) << "a write given up is a failure";
    EXPECT_NE(header.dwFlags & MHDR_DONE, 0u);
    EXPECT_EQ(doneNotifications(), 0u);
    EXPECT_TRUE(sim::world().pendingWrites.empty()) << "the cancelled write was waited for";
    EXPECT_EQ(figure(*app.context.line.monitor.record, Count::writesGivenUp), 1u);

    // The line takes bytes again: the device was never lost to the application. Part of the
    // given-up write may have reached the instrument, so the destination is announced again.
    forgetWire();
    EXPECT_EQ(app.send(synthA, 0x00403C90), MMSYSERR_NOERROR);
    EXPECT_EQ(wire(), (Bytes{0xF5, 0x02, 0x90, 0x3C, 0x40}));
    EXPECT_EQ(app.close(synthA), MMSYSERR_NOERROR);
}

// A sequencer stops: it resets every output while another output is still sending a sound dump.
// The reset does not wait for the dump; its Note Offs follow it onto the wire, before anything
// else the reset output sends afterwards.
TEST_F(StalledLine, AResetWhileAnotherOutputHasTheWireReturnsAndItsNoteOffsFollowThatMessage) {
    setIndependentMode();
    Stream* out = app.openOutput(0);
    Stream* synthA = app.openOutput(2);
    ASSERT_EQ(app.send(out, 0x00403C90), MMSYSERR_NOERROR);
    ASSERT_TRUE(aDumpSticksOn(synthA, 3840));

    EXPECT_EQ(reset(out), MMSYSERR_NOERROR);
    EXPECT_FALSE(senderDone) << "the reset returned while the other output's message had the wire";
    uint32_t noteStatus = 0xFFFF;
    std::thread player([&] { noteStatus = app.send(out, 0x00403C90); }); // plays on at once
    sim::setClock(writeDeadline(rawBlockBytes)); // the stuck block is given up
    EXPECT_EQ(finishSender(), MMSYSERR_INVALPARAM);
    player.join();
    EXPECT_EQ(noteStatus, MMSYSERR_NOERROR);
    EXPECT_EQ(writes(),
              (std::vector<Bytes>{
                  {0xF5, 0x02}, {0xF5, 0x00}, {0xFF, 0x80, 0x3C, 0x40}, {0xFF, 0x90, 0x3C, 0x40}}))
        << "the Note Off went out after the stuck message, and before the next note";
    EXPECT_EQ(app.close(synthA), MMSYSERR_NOERROR);
    EXPECT_EQ(app.close(out), MMSYSERR_NOERROR);
}

// Nothing else comes to send them: the reset's Note Offs still go out once the wire is free.
TEST_F(StalledLine, NoteOffsHandedOverGoOutWhenTheOtherMessageEndsAndNothingElseIsSent) {
    setIndependentMode();
    Stream* out = app.openOutput(1);
    Stream* synthB = app.openOutput(3);
    ASSERT_EQ(app.send(out, 0x007F4091), MMSYSERR_NOERROR);
    ASSERT_EQ(app.send(out, 0x007F40B1), MMSYSERR_NOERROR); // channel 2's pedal down
    ASSERT_TRUE(aDumpSticksOn(synthB, 1000));

    EXPECT_EQ(reset(out), MMSYSERR_NOERROR);
    EXPECT_EQ(app.close(out), MMSYSERR_NOERROR) << "nothing of the closed stream is needed";
    EXPECT_EQ(reset(synthB), MMSYSERR_NOERROR); // cuts the dump
    EXPECT_EQ(finishSender(), MMSYSERR_NOERROR);
    EXPECT_EQ(writes(),
              (std::vector<Bytes>{
                  {0xF5, 0x03}, {0xF5, 0x01}, {0xFF, 0x81, 0x40, 0x40}, {0xFF, 0xB1, 0x40, 0x00}}));
    EXPECT_EQ(app.close(synthB), MMSYSERR_NOERROR);
}

TEST_F(StalledLine, AResetFromAnotherThreadCutsTheMessageAndHandsItsHeaderBackDone) {
    Stream* out = app.openOutput(0);
    sim::world().nextWriteOutcomes = {sim::WriteOutcome::done, sim::WriteOutcome::done,
                                      sim::WriteOutcome::stalls};
    sendLongOnAnotherThread(out, 64);
    ASSERT_TRUE(writeHangs());

    EXPECT_EQ(reset(out), MMSYSERR_NOERROR);
    EXPECT_EQ(finishSender(), MMSYSERR_NOERROR);
    EXPECT_NE(header.dwFlags & MHDR_DONE, 0u);
    EXPECT_EQ(doneNotifications(), 1u);
    EXPECT_EQ(writes(), (std::vector<Bytes>{{0xF5, 0x00}, {0xFF, 0xF0, 0x11, 0x11, 0x11}}))
        << "nothing of the message went out after the cut";

    // The reset cut that message only: the next one goes out whole, behind its destination, as
    // the cut may have left a packet half-way.
    forgetWire();
    Bytes next = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
    MidiHeader nextHeader = preparedHeader(next);
    EXPECT_EQ(app.sendLong(out, nextHeader), MMSYSERR_NOERROR);
    EXPECT_EQ(wire(), (Bytes{0xF5, 0x00, 0xFF, 0xF0, 0x7E, 0x7F, 0x09, 0xFF, 0x01, 0xF7}));
    EXPECT_EQ(app.close(out), MMSYSERR_NOERROR);
}

TEST_F(StalledLine, AResetCutsABufferOfNotesAndThenTurnsOffEveryNoteItMayHaveLeftOn) {
    Stream* out = app.openOutput(0);
    sim::world().nextWriteOutcomes = {sim::WriteOutcome::done, sim::WriteOutcome::done,
                                      sim::WriteOutcome::stalls};
    sendLongOnAnotherThread(out, Bytes{0x90, 0x3C, 0x40, 0x90, 0x3E, 0x40, 0x90, 0x40, 0x40});
    ASSERT_TRUE(writeHangs());

    EXPECT_EQ(reset(out), MMSYSERR_NOERROR);
    EXPECT_EQ(output(out).longMessagesUnderWay.load(), 0u)
        << "the reset returned once the cut message had ended";
    EXPECT_EQ(finishSender(), MMSYSERR_NOERROR);
    // Which notes of the cut buffer sounded is not known: every one is turned off.
    EXPECT_EQ(writes(), (std::vector<Bytes>{{0xF5, 0x00},
                                            {0xFF, 0x90, 0x3C, 0x40, 0x90},
                                            {0xF5, 0x00},
                                            {0xFF, 0x80, 0x3C, 0x40},
                                            {0xFF, 0x80, 0x3E, 0x40},
                                            {0xFF, 0x80, 0x40, 0x40}}));
    EXPECT_EQ(app.close(out), MMSYSERR_NOERROR);
}

TEST_F(StalledLine, AResetLeavesAShortMessageOfTheSameOutputAloneAndTheLineHealthy) {
    Stream* out = app.openOutput(0);
    sim::world().nextWriteOutcomes = {sim::WriteOutcome::done, sim::WriteOutcome::stalls};
    uint32_t shortStatus = 0xFFFF;
    std::thread shortSender([&] { shortStatus = app.send(out, 0x00403C90); });
    ASSERT_TRUE(writeHangs());
    // A long message of the same output is under way, waiting for the wire, when a reset comes.
    sendLongOnAnotherThread(out, 64);
    ASSERT_TRUE(soon([out] { return output(out).longMessagesUnderWay.load() == 1; }));
    uint32_t resetStatus = 0xFFFF;
    std::thread resetter([&] { resetStatus = reset(out); });
    ASSERT_TRUE(soon([out] { return output(out).cutsRequested.load() == 1; }));
    // The reset has nothing more to do that the test could see; a wrong cancel would show here.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    {
        std::lock_guard<std::mutex> hold(sim::world().lock);
        for (const auto& write : sim::world().pendingWrites) {
            EXPECT_EQ(write.second, sim::WriteOutcome::stalls) << "the short message was not cut";
        }
    }

    sim::setClock(writeDeadline(4)); // the short message's write is given up at its deadline
    shortSender.join();
    resetter.join();
    EXPECT_EQ(shortStatus, MMSYSERR_INVALPARAM);
    EXPECT_EQ(finishSender(), MMSYSERR_NOERROR) << "the long message was cut";
    EXPECT_EQ(resetStatus, MMSYSERR_NOERROR);
    EXPECT_EQ(sim::world().ports[1].opens, 1u) << "the line was never taken for lost";
    EXPECT_EQ(app.close(out), MMSYSERR_NOERROR);
}

TEST_F(StalledLine, ACloseWaitsForAMessageStuckOnTheLineUntilItsWriteIsGivenUp) {
    Stream* out = app.openOutput(0);
    sim::world().nextWriteOutcomes = {sim::WriteOutcome::done, sim::WriteOutcome::stalls};
    uint32_t shortStatus = 0xFFFF;
    std::thread shortSender([&] { shortStatus = app.send(out, 0x00403C90); });
    ASSERT_TRUE(writeHangs());

    uint32_t closeStatus = 0xFFFF;
    std::thread closer([&] { closeStatus = app.close(out); });
    ASSERT_TRUE(sim::waitUntil([] { return sim::world().timedWaits == 2; }));
    sim::setClock(writeDeadline(4));
    shortSender.join();
    closer.join();
    EXPECT_EQ(shortStatus, MMSYSERR_INVALPARAM);
    EXPECT_EQ(closeStatus, MMSYSERR_NOERROR);
    EXPECT_FALSE(portIsHeld(shared));
}

TEST_F(StalledLine, OtherDevicesOpenAndCloseWithoutWaitingForTheStuckMessage) {
    setIndependentMode();
    Stream* synthA = app.openOutput(2);
    sim::world().nextWriteOutcomes = {sim::WriteOutcome::done, sim::WriteOutcome::stalls};
    sendLongOnAnotherThread(synthA, 1 << 16);
    ASSERT_TRUE(writeHangs());

    // Each of these returns while the message still hangs on the line.
    ASSERT_EQ(open(), MMSYSERR_NOERROR);
    EXPECT_EQ(call(MIDM_START), MMSYSERR_NOERROR);
    Stream* defaultMidi = app.openOutput(0);
    EXPECT_EQ(app.close(defaultMidi), MMSYSERR_NOERROR);
    EXPECT_EQ(call(MIDM_RESET), MMSYSERR_NOERROR);
    EXPECT_EQ(call(MIDM_CLOSE), MMSYSERR_NOERROR);
    ClientProcess other(shared, {200, 1});
    Stream* refused = nullptr;
    EXPECT_EQ(other.openOutput(0, refused), MMSYSERR_ALLOCATED);
    EXPECT_FALSE(senderDone);

    EXPECT_EQ(reset(synthA), MMSYSERR_NOERROR);
    EXPECT_EQ(finishSender(), MMSYSERR_NOERROR);
    EXPECT_EQ(app.close(synthA), MMSYSERR_NOERROR);
}

} // namespace
