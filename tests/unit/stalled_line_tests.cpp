// A line whose far end has stopped taking bytes: a long message stuck in its write holds up only
// its own device, a reset stops it, a close is refused while it is under way, and a write that
// makes no progress is given up after its wire time and a few seconds.
#include "input_device_fixture.h"
#include "port/port.h"

#include <thread>

namespace {

class StalledLine : public InputDevice {
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
    uint32_t finishSender() {
        sender.join();
        return senderStatus;
    }
    uint32_t reset(Stream* out) {
        return modMessage(app.context, 0, MODM_RESET, reinterpret_cast<uintptr_t>(out), 0, 0);
    }
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

TEST_F(StalledLine, AWriteThatMakesNoProgressIsGivenUpAfterItsWireTimeAndAFewSeconds) {
    setIndependentMode();
    Stream* synthA = app.openOutput(2); // its data goes raw, in one write
    sim::world().nextWriteOutcomes = {sim::WriteOutcome::done, sim::WriteOutcome::stalls};
    sendLongOnAnotherThread(synthA, 3840); // one second on the line
    ASSERT_TRUE(writeHangs());
    EXPECT_EQ(writeDeadline(3840), 1000u + writeGraceMs);

    sim::setClock(1000 + writeGraceMs - 1);
    EXPECT_FALSE(senderDone) << "a write still within its time is waited for";
    sim::setClock(1000 + writeGraceMs);
    EXPECT_EQ(finishSender(), MMSYSERR_INVALPARAM) << "a write given up is a failure";
    EXPECT_NE(header.dwFlags & MHDR_DONE, 0u);
    EXPECT_EQ(doneNotifications(), 0u);
    EXPECT_TRUE(sim::world().pendingWrites.empty()) << "the cancelled write was waited for";

    // The line takes bytes again: the device was never lost to the application.
    forgetWire();
    EXPECT_EQ(app.send(synthA, 0x00403C90), MMSYSERR_NOERROR);
    EXPECT_EQ(wire(), (Bytes{0x90, 0x3C, 0x40}));
    EXPECT_EQ(app.close(synthA), MMSYSERR_NOERROR);
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

    // The reset cut that message only: the next one goes out whole.
    forgetWire();
    Bytes next = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
    MidiHeader nextHeader = preparedHeader(next);
    EXPECT_EQ(app.sendLong(out, nextHeader), MMSYSERR_NOERROR);
    EXPECT_EQ(wire(), (Bytes{0xFF, 0xF0, 0x7E, 0x7F, 0x09, 0xFF, 0x01, 0xF7}));
    EXPECT_EQ(app.close(out), MMSYSERR_NOERROR);
}

TEST_F(StalledLine, AResetCutsABufferOfNotesAndThenTurnsOffEveryNoteItMayHaveLeftOn) {
    Stream* out = app.openOutput(0);
    sim::world().nextWriteOutcomes = {sim::WriteOutcome::done, sim::WriteOutcome::done,
                                      sim::WriteOutcome::stalls};
    sendLongOnAnotherThread(out, Bytes{0x90, 0x3C, 0x40, 0x90, 0x3E, 0x40, 0x90, 0x40, 0x40});
    ASSERT_TRUE(writeHangs());

    EXPECT_EQ(reset(out), MMSYSERR_NOERROR);
    EXPECT_TRUE(senderDone) << "the reset returned once the cut message had ended";
    EXPECT_EQ(finishSender(), MMSYSERR_NOERROR);
    // Which notes of the cut buffer sounded is not known: every one is turned off.
    EXPECT_EQ(writes(), (std::vector<Bytes>{{0xF5, 0x00},
                                            {0xFF, 0x90, 0x3C, 0x40, 0x90},
                                            {0xFF, 0x80, 0x3C, 0x40},
                                            {0xFF, 0x80, 0x3E, 0x40},
                                            {0xFF, 0x80, 0x40, 0x40}}));
    EXPECT_EQ(app.close(out), MMSYSERR_NOERROR);
}

TEST_F(StalledLine, ClosingAnOutputWhoseMessageIsUnderWayIsRefusedAndChangesNothing) {
    Stream* out = app.openOutput(0);
    sim::world().nextWriteOutcomes = {sim::WriteOutcome::done, sim::WriteOutcome::stalls};
    sendLongOnAnotherThread(out, 256);
    ASSERT_TRUE(writeHangs());

    EXPECT_EQ(app.close(out), MIDIERR_STILLPLAYING);
    EXPECT_EQ(notified(), (std::vector<uint32_t>{MOM_OPEN}));
    EXPECT_TRUE(portIsHeld(shared));

    EXPECT_EQ(reset(out), MMSYSERR_NOERROR);
    EXPECT_EQ(finishSender(), MMSYSERR_NOERROR);
    EXPECT_EQ(app.close(out), MMSYSERR_NOERROR);
    EXPECT_EQ(sim::liveAllocations(), 0u);
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

TEST_F(StalledLine, TheSameOutputsOtherStreamLettingGoEndsTheStuckMessageAtOnce) {
    Stream* out = app.openOutput(0);
    Stream* second = app.openOutput(0); // both hold output 0's one device slot
    sim::world().nextWriteOutcomes = {sim::WriteOutcome::done, sim::WriteOutcome::stalls};
    sendLongOnAnotherThread(out, 256);
    ASSERT_TRUE(writeHangs());

    EXPECT_EQ(app.close(second), MMSYSERR_NOERROR); // lets go of the slot, and so of the port
    EXPECT_EQ(finishSender(), MMSYSERR_INVALPARAM);
    EXPECT_NE(header.dwFlags & MHDR_DONE, 0u);
    EXPECT_EQ(app.close(out), MMSYSERR_NOERROR);
    EXPECT_EQ(sim::world().badCloses, 0) << "the port was closed once";
    EXPECT_EQ(sim::world().finePeriods, 0);
}

} // namespace
