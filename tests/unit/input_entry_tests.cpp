// midMessage and the input worker as the client sees them: notifications, answers, header flags
// and time stamps, with the instrument sending on the simulated line.
#include "input_device_fixture.h"
#include "line/port.h"

#include <algorithm>

namespace {

TEST_F(AnInputDevice, OpensStoppedWithItsWorkerWaitingAtTimeCriticalPriority) {
    ASSERT_EQ(open(), MMSYSERR_NOERROR);
    EXPECT_EQ(notified(), (std::vector<uint32_t>{MIM_OPEN}));
    EXPECT_EQ(sim::world().timeCriticalThreads, 1);
    EXPECT_EQ(sim::world().moduleReferences, 1) << "the worker keeps the driver loaded";
    EXPECT_EQ(sim::outstandingReads(), 0u);
    EXPECT_EQ(shared.openCount, 1);
    Stream* refused = nullptr;
    MidiOpenDescription description = {};
    EXPECT_EQ(midMessage(app.context, 1, MIDM_OPEN, reinterpret_cast<uintptr_t>(&refused),
                         reinterpret_cast<uintptr_t>(&description), 0),
              MMSYSERR_BADDEVICEID);
}

TEST_F(AnInputDevice, StartedInputDatesMessagesFromTheStart) {
    ASSERT_EQ(open(), MMSYSERR_NOERROR);
    sim::setClock(1000);
    EXPECT_EQ(call(MIDM_START), MMSYSERR_NOERROR);
    EXPECT_EQ(sim::outstandingReads(), readSlotCount);
    sim::setClock(1025);
    sim::instrumentSends({0x90, 0x3C, 0x40, 0x3E, 0x40});
    settle();
    EXPECT_EQ(told(), (std::vector<Told>{{MIM_DATA, 0x00403C90, 25}, {MIM_DATA, 0x00403E90, 25}}));
    EXPECT_EQ(sim::outstandingReads(), readSlotCount) << "every read is issued again";
}

TEST_F(AnInputDevice, ASecondStartChangesNothing) {
    ASSERT_EQ(open(), MMSYSERR_NOERROR);
    call(MIDM_START);
    EXPECT_EQ(call(MIDM_START), MMSYSERR_NOERROR);
    EXPECT_EQ(sim::world().readsIssued, readSlotCount);
}

TEST_F(AnInputDevice, StopEndsEveryReadAndStartIssuesThemAfresh) {
    ASSERT_EQ(open(), MMSYSERR_NOERROR);
    call(MIDM_START);
    EXPECT_EQ(call(MIDM_STOP), MMSYSERR_NOERROR);
    EXPECT_EQ(sim::outstandingReads(), 0u) << "outstanding reads are cancelled at stop";
    sim::instrumentSends({0x90, 0x3C, 0x40}); // waits on the line meanwhile
    EXPECT_EQ(call(MIDM_START), MMSYSERR_NOERROR);
    settle();
    EXPECT_EQ(told(), (std::vector<Told>{{MIM_DATA, 0x00403C90, 0}}));
    EXPECT_EQ(sim::outstandingReads(), readSlotCount);
}

TEST_F(AnInputDevice, CloseWaitsForTheClientsBuffersToComeBack) {
    ASSERT_EQ(open(), MMSYSERR_NOERROR);
    ClientBuffer& buffer = prepared(16);
    EXPECT_EQ(add(buffer), MMSYSERR_NOERROR);
    EXPECT_EQ(buffer.header.dwFlags, MHDR_PREPARED | MHDR_INQUEUE);
    uintptr_t owner = buffer.header.reserved; // the host's header is packed: read it by value
    EXPECT_EQ(owner, reinterpret_cast<uintptr_t>(in));
    EXPECT_EQ(call(MIDM_CLOSE), MIDIERR_STILLPLAYING);
    EXPECT_EQ(call(MIDM_RESET), MMSYSERR_NOERROR);
    EXPECT_EQ(call(MIDM_CLOSE), MMSYSERR_NOERROR);
    EXPECT_EQ(told(), (std::vector<Told>{{MIM_LONGDATA, buffer.address(), 0}, {MIM_CLOSE, 0, 0}}));
    EXPECT_EQ(buffer.header.dwFlags, MHDR_PREPARED | MHDR_DONE);
    EXPECT_EQ(buffer.header.dwBytesRecorded, 0u);
}

TEST_F(AnInputDevice, ClosingLeavesNothingBehind) {
    ASSERT_EQ(open(), MMSYSERR_NOERROR);
    call(MIDM_START);
    sim::instrumentSends({0x90, 0x3C});
    EXPECT_EQ(call(MIDM_CLOSE), MMSYSERR_NOERROR);
    EXPECT_EQ(sim::outstandingReads(), 0u);
    EXPECT_EQ(sim::liveAllocations(), 0u);
    EXPECT_EQ(sim::world().moduleReferences, 0) << "the driver may be unloaded again";
    EXPECT_EQ(sim::world().openHandles.size(), 1u) << "only the heap";
    EXPECT_FALSE(portIsHeld(shared));
    EXPECT_EQ(sim::world().finePeriods, 0);
}

TEST_F(AnInputDevice, AnExclusiveFillsBuffersAndStopAndResetHandThemBack) {
    ASSERT_EQ(open(), MMSYSERR_NOERROR);
    ClientBuffer& first = prepared(4);
    ClientBuffer& second = prepared(4);
    ClientBuffer& third = prepared(4);
    add(first);
    add(second);
    add(third);
    call(MIDM_START);
    sim::instrumentSends({0xF0, 0x01, 0x02, 0x03, 0x04, 0x05});
    settle();
    EXPECT_EQ(call(MIDM_STOP), MMSYSERR_NOERROR);
    EXPECT_EQ(call(MIDM_RESET), MMSYSERR_NOERROR);
    EXPECT_EQ(told(), (std::vector<Told>{{MIM_LONGDATA, first.address(), 0},
                                         {MIM_LONGERROR, second.address(), 0},
                                         {MIM_LONGDATA, third.address(), 0}}));
    EXPECT_EQ(first.recorded(), (Bytes{0xF0, 0x01, 0x02, 0x03}));
    EXPECT_EQ(second.recorded(), (Bytes{0x04, 0x05}));
    EXPECT_EQ(third.header.dwBytesRecorded, 0u);
}

// Stop and start leave the assembler's message state alone: a message the instrument was sending
// when input stopped is completed by the bytes that follow the start.
TEST_F(AnInputDevice, AShortMessageSplitByStopAndStartComesOutWhole) {
    ASSERT_EQ(open(), MMSYSERR_NOERROR);
    call(MIDM_START);
    sim::instrumentSends({0x90, 0x3C});
    settle();
    EXPECT_EQ(call(MIDM_STOP), MMSYSERR_NOERROR);
    EXPECT_EQ(call(MIDM_START), MMSYSERR_NOERROR);
    sim::instrumentSends({0x40});
    settle();
    EXPECT_EQ(told(), (std::vector<Told>{{MIM_DATA, 0x00403C90, 0}}));
}

TEST_F(AnInputDevice, AnOpeningHearsOnlyWhatTheInstrumentSendsAfterIt) {
    sim::instrumentSends({0x90, 0x3C, 0x40}); // while no program has the port open
    ASSERT_EQ(open(), MMSYSERR_NOERROR);
    call(MIDM_START);
    sim::instrumentSends({0x90, 0x3E, 0x40});
    settle();
    // The input closes and opens again while an output keeps the port: what came in between
    // is not told either.
    Stream* out = app.openOutput(0);
    call(MIDM_RESET);
    EXPECT_EQ(call(MIDM_CLOSE), MMSYSERR_NOERROR);
    sim::instrumentSends({0x90, 0x3F, 0x40});
    ASSERT_EQ(open(), MMSYSERR_NOERROR);
    call(MIDM_START);
    sim::instrumentSends({0x90, 0x40, 0x40});
    settle();
    EXPECT_EQ(told(), (std::vector<Told>{{MIM_DATA, 0x00403E90, 0},
                                         {MOM_OPEN, 0, 0},
                                         {MIM_CLOSE, 0, 0},
                                         {MIM_DATA, 0x00404090, 0}}));
    app.close(out);
}

TEST_F(AnInputDevice, AnExclusiveSplitByStopAndStartGoesOnInTheNextBuffer) {
    ASSERT_EQ(open(), MMSYSERR_NOERROR);
    ClientBuffer& first = prepared(16);
    ClientBuffer& second = prepared(16);
    add(first);
    add(second);
    call(MIDM_START);
    sim::setClock(100);
    sim::instrumentSends({0xF0, 0x01});
    settle();
    sim::setClock(200);
    sim::instrumentSends({0xF8, 0x02});
    settle();
    EXPECT_EQ(call(MIDM_STOP), MMSYSERR_NOERROR);
    // Times count from each start; within one run they never go back, and the exclusive that
    // goes on is dated at the start of its new run.
    sim::setClock(1000);
    EXPECT_EQ(call(MIDM_START), MMSYSERR_NOERROR);
    sim::setClock(1003);
    sim::instrumentSends({0xF8});
    settle();
    sim::setClock(1005);
    sim::instrumentSends({0x03, 0xF7});
    settle();
    EXPECT_EQ(told(), (std::vector<Told>{{MIM_DATA, 0xF8, 200},
                                         {MIM_LONGERROR, first.address(), 200},
                                         {MIM_DATA, 0xF8, 3},
                                         {MIM_LONGDATA, second.address(), 3}}));
    EXPECT_EQ(first.recorded(), (Bytes{0xF0, 0x01, 0x02}));
    EXPECT_EQ(second.recorded(), (Bytes{0x03, 0xF7}));
}

TEST_F(AnInputDevice, ResetWhileStoppedReturnsBuffersAndLeavesTheLineAlone) {
    ASSERT_EQ(open(), MMSYSERR_NOERROR);
    ClientBuffer& buffer = prepared(8);
    add(buffer);
    EXPECT_EQ(call(MIDM_RESET), MMSYSERR_NOERROR);
    EXPECT_EQ(told(), (std::vector<Told>{{MIM_LONGDATA, buffer.address(), 0}}));
    EXPECT_EQ(sim::world().readsIssued, 0u);
}

TEST_F(AnInputDevice, AReadThatCannotBeIssuedTakesTheLineDownAndUpWithoutSpinning) {
    ASSERT_EQ(open(), MMSYSERR_NOERROR);
    sim::world().readsBeforeFailure = 3;
    EXPECT_EQ(call(MIDM_START), MMSYSERR_NOERROR);
    settle();
    // The line was closed and opened again at once, and the reads on it failed again: the next
    // try waits for its interval, however long no time passes.
    settle();
    EXPECT_EQ(sim::world().readsIssued, 3u);
    EXPECT_EQ(sim::world().ports[1].opens, 2u);
    EXPECT_EQ(sim::outstandingReads(), 0u);

    sim::world().readsBeforeFailure = -1;
    ASSERT_TRUE(sim::waitUntil([] { return sim::world().timedWaits > 0; }));
    sim::setClock(reopenIntervalMs);
    ASSERT_TRUE(sim::waitUntil([] { return sim::world().reads.size() == readSlotCount; }));
    sim::instrumentSends({0x90, 0x3C, 0x40});
    settle();
    EXPECT_EQ(told(), (std::vector<Told>{{MIM_DATA, 0x00403C90, reopenIntervalMs}}));
}

// A Note Off that reached the driver just before the adapter was pulled must not be lost, or the
// note would hang: bytes that arrived are told, however the reads after them fare.
TEST_F(AnInputDevice, BytesThatArrivedBeforeAReadCouldNotBeIssuedAgainAreStillTold) {
    ASSERT_EQ(open(), MMSYSERR_NOERROR);
    sim::world().readsBeforeFailure = readSlotCount + 1; // the second read issued again fails
    EXPECT_EQ(call(MIDM_START), MMSYSERR_NOERROR);
    sim::instrumentSends({0x80, 0x3C, 0x40});
    settle();
    EXPECT_EQ(told(), (std::vector<Told>{{MIM_DATA, 0x00403C80, 0}}));
}

// A program's exit ends every other thread before its last code closes its devices.
TEST_F(AnInputDevice, AnInputWhoseWorkerTheSystemEndedIsAnsweredAndClosed) {
    ASSERT_EQ(open(), MMSYSERR_NOERROR);
    ASSERT_EQ(call(MIDM_START), MMSYSERR_NOERROR);
    sim::endThread(input().workerThread);
    EXPECT_EQ(call(MIDM_RESET), MMSYSERR_ERROR);
    EXPECT_EQ(call(MIDM_CLOSE), MMSYSERR_NOERROR);
    EXPECT_EQ(sim::outstandingReads(), 0u);
    EXPECT_FALSE(portIsHeld(shared));
}

TEST_F(AnInputDevice, UnusableBuffersAreRefusedUntouched) {
    ASSERT_EQ(open(), MMSYSERR_NOERROR);
    ClientBuffer& buffer = prepared(8);
    EXPECT_EQ(call(MIDM_ADDBUFFER, 0, sizeof(MidiHeader)), MMSYSERR_INVALPARAM);
    EXPECT_EQ(call(MIDM_ADDBUFFER, buffer.address(), minimumHeaderSize - 1), MMSYSERR_INVALPARAM);
    ClientBuffer& noData = prepared(8);
    noData.header.lpData = nullptr;
    EXPECT_EQ(add(noData), MMSYSERR_INVALPARAM);
    ClientBuffer& unprepared = prepared(8);
    unprepared.header.dwFlags = 0;
    EXPECT_EQ(add(unprepared), MIDIERR_UNPREPARED);
    EXPECT_EQ(buffer.header.dwFlags, MHDR_PREPARED);
    EXPECT_EQ(noData.header.dwFlags, MHDR_PREPARED);
    EXPECT_EQ(unprepared.header.dwFlags, 0u);
    uintptr_t owner = buffer.header.reserved;
    EXPECT_EQ(owner, 0u);
    EXPECT_FALSE(buffersQueued(input().exclusive));

    EXPECT_EQ(add(buffer), MMSYSERR_NOERROR);
    EXPECT_EQ(add(buffer), MIDIERR_STILLPLAYING) << "already queued";
}

TEST_F(AnInputDevice, OpensThatCannotStartAWorkerAnswerNoMemAndLeaveNothing) {
    sim::world().taskStartFails = true;
    EXPECT_EQ(open(), MMSYSERR_NOMEM);
    sim::world().taskStartFails = false;
    sim::world().eventCreateFails = true;
    EXPECT_EQ(open(), MMSYSERR_NOMEM);
    EXPECT_EQ(in, nullptr);
    EXPECT_TRUE(notified().empty());
    EXPECT_EQ(sim::liveAllocations(), 0u);
    EXPECT_EQ(sim::world().openHandles.size(), 1u) << "only the heap";
    EXPECT_EQ(shared.openCount, 0);
}

TEST_F(AnInputDevice, InputAndOutputShareOneOpeningOfThePort) {
    Stream* out = app.openOutput(0);
    ASSERT_EQ(open(), MMSYSERR_NOERROR);
    EXPECT_EQ(sim::world().ports[1].opens, 1u);
    EXPECT_EQ(shared.openCount, 2);
    app.close(out);
    EXPECT_TRUE(portIsHeld(shared));
}

TEST_F(AnInputDevice, NoByteIsLostUnderAFlood) {
    ASSERT_EQ(open(), MMSYSERR_NOERROR);
    // A recording client: counts what arrives and gives each filled buffer straight back.
    size_t arrived = 0;
    size_t errors = 0;
    sim::world().onNotify = [&](const sim::Notification& n) {
        if (n.message == MIM_DATA) {
            arrived += n.param1 >= 0xF8 && n.param1 <= 0xFF ? 1 : 3;
        } else if (n.message == MIM_LONGDATA) {
            auto* header = reinterpret_cast<MidiHeader*>(n.param1);
            arrived += header->dwBytesRecorded;
            EXPECT_EQ(call(MIDM_ADDBUFFER, n.param1, sizeof(MidiHeader)), MMSYSERR_NOERROR);
        } else if (n.message != MIM_OPEN) {
            ++errors;
        }
    };
    for (int i = 0; i < 4; ++i) {
        add(prepared(256));
    }
    call(MIDM_START);
    // 64 KiB of notes with running status, clocks and exclusives, sent in bursts.
    Bytes flood;
    while (flood.size() < 65536) {
        for (uint8_t note = 0x30; note < 0x50; ++note) {
            flood.insert(flood.end(), {0x90, note, 0x40, 0xF8, note, 0x00});
        }
        flood.push_back(0xF0);
        flood.insert(flood.end(), 500, 0x11);
        flood.push_back(0xF7);
    }
    for (size_t at = 0; at < flood.size(); at += 4096) {
        sim::instrumentSends(
            Bytes(flood.begin() + at, flood.begin() + std::min(flood.size(), at + 4096)));
    }
    settle();
    EXPECT_EQ(errors, 0u);
    EXPECT_LT(sim::world().readsIssued, flood.size() / 32) << "reads take what has arrived";
    // Running status: every Note Off came without its status byte, and is told with it.
    size_t notes = std::count(flood.begin(), flood.end(), uint8_t{0x90});
    EXPECT_EQ(arrived, flood.size() + notes);
    sim::world().onNotify = nullptr;
}

} // namespace

namespace {

// Clients call back into the driver from their input callback, on the worker's own thread.
class CallingBackIn : public AnInputDevice {
  protected:
    void whenTold(uint32_t message, std::function<void(const sim::Notification&)> action) {
        sim::world().onNotify = [message, action](const sim::Notification& n) {
            if (n.message == message) {
                action(n);
            }
        };
    }
    ~CallingBackIn() override { sim::world().onNotify = nullptr; }
};

TEST_F(CallingBackIn, AReturnedBufferIsAddedAgainAtOnce) {
    ASSERT_EQ(open(), MMSYSERR_NOERROR);
    ClientBuffer& buffer = prepared(4);
    add(buffer);
    int refills = 0;
    whenTold(MIM_LONGDATA, [&](const sim::Notification& n) {
        if (++refills <= 2) {
            EXPECT_EQ(call(MIDM_ADDBUFFER, n.param1, sizeof(MidiHeader)), MMSYSERR_NOERROR);
        }
    });
    call(MIDM_START);
    sim::instrumentSends({0xF0, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0xF7});
    settle();
    EXPECT_EQ(refills, 3) << "filled three times over";
    EXPECT_EQ(buffer.recorded(), (Bytes{0x08, 0x09, 0xF7}));
}

TEST_F(CallingBackIn, MidiThruGoesOutFromInsideTheCallback) {
    Stream* out = app.openOutput(0);
    ASSERT_EQ(open(), MMSYSERR_NOERROR);
    whenTold(MIM_DATA, [&](const sim::Notification& n) {
        EXPECT_EQ(app.send(out, static_cast<uint32_t>(n.param1)), MMSYSERR_NOERROR);
    });
    call(MIDM_START);
    sim::instrumentSends({0x90, 0x3C, 0x40});
    settle();
    EXPECT_EQ(wire(), (Bytes{0xF5, 0x00, 0xFF, 0x90, 0x3C, 0x40}));
}

TEST_F(CallingBackIn, StopAndResetTakeEffectInPlace) {
    ASSERT_EQ(open(), MMSYSERR_NOERROR);
    ClientBuffer& buffer = prepared(8);
    add(buffer);
    whenTold(MIM_DATA, [&](const sim::Notification&) {
        EXPECT_EQ(call(MIDM_STOP), MMSYSERR_NOERROR);
        EXPECT_EQ(call(MIDM_RESET), MMSYSERR_NOERROR);
    });
    call(MIDM_START);
    sim::instrumentSends({0xF8, 0xF8, 0xF8});
    settle();
    EXPECT_EQ(told(), (std::vector<Told>{{MIM_DATA, 0xF8, 0}, {MIM_LONGDATA, buffer.address(), 0}}))
        << "input stopped at the first byte";
    EXPECT_EQ(sim::outstandingReads(), 0u);
    EXPECT_EQ(call(MIDM_START), MMSYSERR_NOERROR) << "and starts again";
    EXPECT_EQ(sim::outstandingReads(), readSlotCount);
}

TEST_F(CallingBackIn, CloseIsRefusedWithoutHanging) {
    ASSERT_EQ(open(), MMSYSERR_NOERROR);
    uint32_t answer = MMSYSERR_NOERROR;
    whenTold(MIM_DATA, [&](const sim::Notification&) { answer = call(MIDM_CLOSE); });
    call(MIDM_START);
    sim::instrumentSends({0xF8});
    settle();
    EXPECT_EQ(answer, MIDIERR_STILLPLAYING);
    EXPECT_NE(in, nullptr);
}

TEST_F(CallingBackIn, AClientClosingAgainFromItsCloseNotificationIsToldOnceAndRefused) {
    Stream* out = app.openOutput(0);
    ASSERT_EQ(open(), MMSYSERR_NOERROR);
    setIndependentMode(); // a second output, which must go on working
    Stream* other = app.openOutput(2);
    // As some client libraries do: every close notification closes the stream again, and sends.
    std::vector<uint32_t> answers;
    Stream* input = in;
    sim::world().onNotify = [&](const sim::Notification& n) {
        if (n.message == MOM_CLOSE) {
            answers.push_back(app.close(out));
            answers.push_back(app.send(out, 0x00403C90));
        } else if (n.message == MIM_CLOSE) {
            answers.push_back(
                midMessage(app.context, 0, MIDM_CLOSE, reinterpret_cast<uintptr_t>(input), 0, 0));
            answers.push_back(
                midMessage(app.context, 0, MIDM_START, reinterpret_cast<uintptr_t>(input), 0, 0));
        }
    };
    EXPECT_EQ(app.close(out), MMSYSERR_NOERROR);
    EXPECT_EQ(call(MIDM_CLOSE), MMSYSERR_NOERROR);
    sim::world().onNotify = nullptr;
    EXPECT_EQ(answers, std::vector<uint32_t>(4, MMSYSERR_INVALHANDLE));
    // Afterwards too, the closed streams are refused without being touched.
    EXPECT_EQ(app.close(out), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(midMessage(app.context, 0, MIDM_CLOSE, reinterpret_cast<uintptr_t>(input), 0, 0),
              MMSYSERR_INVALHANDLE);
    std::vector<uint32_t> closes;
    for (uint32_t message : notified()) {
        if (message == MOM_CLOSE || message == MIM_CLOSE) {
            closes.push_back(message);
        }
    }
    EXPECT_EQ(closes, (std::vector<uint32_t>{MOM_CLOSE, MIM_CLOSE}));
    forgetWire();
    EXPECT_EQ(app.send(other, 0x00403C90), MMSYSERR_NOERROR);
    EXPECT_EQ(wire(), (Bytes{0xF5, 0x02, 0x90, 0x3C, 0x40}));
    EXPECT_EQ(app.close(other), MMSYSERR_NOERROR);
    EXPECT_EQ(sim::liveAllocations(), 0u);
}

TEST_F(CallingBackIn, EveryNotificationCanCallBackInAndGetsADefinedAnswer) {
    struct Case {
        const char* what;
        uint32_t when; // the notification the client calls back from
        std::function<uint32_t()> call;
        uint32_t answer;
    };
    Stream* out = app.openOutput(0);
    ASSERT_EQ(open(), MMSYSERR_NOERROR);
    Bytes again = {0xF0, 0x7D, 0xF7};
    MidiHeader againHeader = preparedHeader(again);
    const std::vector<Case> cases = {
        {"close from the output's done", MOM_DONE, [&] { return app.close(out); },
         MIDIERR_STILLPLAYING},
        {"reset from the output's done", MOM_DONE, [&] { return app.call(out, MODM_RESET); },
         MMSYSERR_NOERROR},
        {"another long message from the output's done", MOM_DONE,
         [&] { return app.sendLong(out, againHeader); }, MMSYSERR_NOERROR},
        {"close from a short message", MIM_DATA, [&] { return call(MIDM_CLOSE); },
         MIDIERR_STILLPLAYING},
        {"reset from a filled buffer", MIM_LONGDATA, [&] { return call(MIDM_RESET); },
         MMSYSERR_NOERROR},
        {"close from a cut buffer", MIM_LONGERROR, [&] { return call(MIDM_CLOSE); },
         MIDIERR_STILLPLAYING},
    };
    for (const Case& c : cases) {
        std::vector<uint32_t> answers;
        bool inside = false;
        whenTold(c.when, [&](const sim::Notification&) {
            if (!inside) { // once: a long message from MOM_DONE is told MOM_DONE itself
                inside = true;
                answers.push_back(c.call());
            }
        });
        add(prepared(8));
        add(prepared(8));
        call(MIDM_START);
        Bytes dump = {0xF0, 0x01, 0xF7};
        MidiHeader header = preparedHeader(dump);
        app.sendLong(out, header);
        sim::instrumentSends({0x90, 0x3C, 0x40, 0xF0, 0x01, 0xF7, 0xF0, 0x02, 0x90});
        settle();
        call(MIDM_RESET);
        EXPECT_EQ(answers, std::vector<uint32_t>{c.answer}) << c.what;
    }
    EXPECT_EQ(app.close(out), MMSYSERR_NOERROR);
}

// Players reset input on one thread and close it on another: the close waits its turn.
TEST_F(CallingBackIn, ACloseFromAnotherThreadWaitsForAResetUnderWay) {
    ASSERT_EQ(open(), MMSYSERR_NOERROR);
    ClientBuffer& buffer = prepared(8);
    add(buffer);
    call(MIDM_START);
    auto input = reinterpret_cast<uintptr_t>(in);
    uint32_t closeStatus = 0xFFFF;
    std::thread closer;
    whenTold(MIM_LONGDATA, [&](const sim::Notification&) {
        closer =
            std::thread([&] { closeStatus = midMessage(app.context, 0, MIDM_CLOSE, input, 0, 0); });
        EXPECT_TRUE(sim::waitUntil([] { return sim::world().timedWaits == 1; }));
    });
    EXPECT_EQ(call(MIDM_RESET), MMSYSERR_NOERROR);
    closer.join();
    ASSERT_EQ(closeStatus, MMSYSERR_NOERROR);
    in = nullptr;
    EXPECT_EQ(told(), (std::vector<Told>{{MIM_LONGDATA, buffer.address(), 0}, {MIM_CLOSE, 0, 0}}));
}

TEST_F(CallingBackIn, AnEmptyBufferGivenBackAtOnceDoesNotHoldTheWorker) {
    ASSERT_EQ(open(), MMSYSERR_NOERROR);
    ClientBuffer& empty = prepared(0);
    empty.header.lpData = nullptr;
    add(empty);
    int returned = 0;
    whenTold(MIM_LONGDATA, [&](const sim::Notification& n) {
        if (++returned < 1000) {
            EXPECT_EQ(call(MIDM_ADDBUFFER, n.param1, sizeof(MidiHeader)), MMSYSERR_NOERROR);
        }
    });
    call(MIDM_START);
    sim::instrumentSends({0xF0, 0x01, 0xF7});
    settle();
    EXPECT_EQ(returned, 3) << "once per exclusive byte, then the byte is dropped";
}

TEST_F(CallingBackIn, StopAndStartFromTheCallbackKeepOneReadPerSlot) {
    ASSERT_EQ(open(), MMSYSERR_NOERROR);
    int clocks = 0;
    whenTold(MIM_DATA, [&](const sim::Notification&) {
        if (clocks++ == 0) {
            EXPECT_EQ(call(MIDM_STOP), MMSYSERR_NOERROR);
            EXPECT_EQ(call(MIDM_START), MMSYSERR_NOERROR);
        }
    });
    call(MIDM_START);
    sim::instrumentSends({0xF8});
    settle();
    EXPECT_EQ(sim::outstandingReads(), readSlotCount) << "one read per slot, none twice";
    for (int i = 0; i < 32; ++i) {
        sim::instrumentSends({0xF8});
    }
    settle();
    EXPECT_EQ(clocks, 1 + 32) << "every clock after the restart arrives";
}

} // namespace

namespace {

// The instrument's bytes in bursts: a burst is taken by a read, or several, before the worker is
// woken, and the worker drains them together, in the order the line handed them out. However the
// bytes are split, the client must be told what it is told when each byte is drained on its own,
// at the time its burst came.
class Bursts : public AnInputDevice {
  protected:
    // One thing the client was told, with what its buffer recorded when it was a buffer. The
    // buffer's address is left out: it differs from one run to the next.
    struct Heard {
        Told told;
        Bytes recorded;
        bool operator==(const Heard&) const = default;
        friend std::ostream& operator<<(std::ostream& out, const Heard& heard) {
            out << heard.told << " [";
            for (uint8_t byte : heard.recorded) {
                out << std::hex << " " << int{byte};
            }
            return out << std::dec << " ]";
        }
    };

    // Opens input with small buffers, lets the instrument send `bytes` in bursts of `burst`
    // bytes and returns what the client heard, then closes. Burst n comes when the clock shows
    // 1000 * (n + 1) ms. With `oneByOne`, each byte of a burst is sent and drained on its own
    // before the next one, at the clock the burst would have had.
    std::vector<Heard> deliver(const Bytes& bytes, size_t burst, bool oneByOne) {
        sim::setClock(0);
        EXPECT_EQ(open(), MMSYSERR_NOERROR);
        // Four-byte buffers: an exclusive fills one and goes on in the next.
        for (int i = 0; i < 6; ++i) {
            EXPECT_EQ(add(prepared(4)), MMSYSERR_NOERROR);
        }
        EXPECT_EQ(call(MIDM_START), MMSYSERR_NOERROR);
        for (size_t at = 0, n = 0; at < bytes.size(); at += burst, ++n) {
            sim::setClock(static_cast<uint32_t>(1000 * (n + 1)));
            Bytes part(bytes.begin() + at, bytes.begin() + std::min(bytes.size(), at + burst));
            if (oneByOne) {
                for (uint8_t byte : part) {
                    sim::instrumentSends({byte});
                    settle();
                }
            } else {
                // One call completes the reads that take the burst; the worker drains only after.
                sim::instrumentSends(part);
                settle();
            }
        }
        std::vector<Heard> heard;
        for (const Told& t : told()) {
            if (t.message == MIM_LONGDATA || t.message == MIM_LONGERROR) {
                const auto* header = reinterpret_cast<const MidiHeader*>(t.param1);
                heard.push_back({{t.message, 0, t.param2},
                                 Bytes(header->lpData, header->lpData + header->dwBytesRecorded)});
            } else {
                heard.push_back({t, {}});
            }
        }
        EXPECT_EQ(call(MIDM_RESET), MMSYSERR_NOERROR);
        EXPECT_EQ(call(MIDM_CLOSE), MMSYSERR_NOERROR);
        buffers.clear();
        std::lock_guard<std::mutex> hold(sim::world().lock);
        sim::world().notifications.clear();
        return heard;
    }

    static std::vector<Heard> timesAside(std::vector<Heard> heard) {
        for (Heard& h : heard) {
            h.told.param2 = 0;
        }
        return heard;
    }
};

TEST_F(Bursts, TheSameBytesInBurstsOfAnySizeTellTheSameAsOneByOne) {
    // Notes with running status and a timing clock byte between them, exclusives that fill
    // buffers or are cut, system common messages and stray bytes.
    const Bytes bytes = {0x90, 0x3C, 0x40, 0x3E, 0xF8, 0x40, 0xF0, 0x01, 0x02, 0x03,
                         0x04, 0x05, 0xF7, 0x3C, 0xB0, 0x07, 0xF2, 0x01, 0x02, 0xC0,
                         0x05, 0x06, 0xF0, 0x7D, 0x90, 0x3C, 0xF7, 0x3C, 0x40};
    const auto eachOnItsOwn = deliver(bytes, 1, true);
    ASSERT_EQ(eachOnItsOwn.size(), 15u) << "what the bytes tell, so the comparisons are not empty";
    for (size_t burst = 1; burst <= bytes.size(); ++burst) {
        // The reference for this size: the same clock for every byte, one read per drain.
        const auto reference = deliver(bytes, burst, true);
        EXPECT_EQ(timesAside(reference), timesAside(eachOnItsOwn)) << "bursts of " << burst;
        EXPECT_EQ(deliver(bytes, burst, false), reference) << "bursts of " << burst;
    }
}

} // namespace
