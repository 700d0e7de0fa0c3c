// A serial device that goes away while the port is held, as a USB adapter that is pulled: the
// worker does not spin, the application is told nothing and keeps its streams, sends fail at
// once, the port is tried again a few times a second, and once the device is back output and
// input carry on where they were, the destination announced again.
#include "input_device_fixture.h"
#include "line/port.h"
#include "monitor/monitor.h"

namespace {

class LostLine : public AnInputDevice {
  protected:
    sim::SerialPort& com1() { return sim::world().ports[1]; }
    void startInput() {
        ASSERT_EQ(open(), MMSYSERR_NOERROR);
        ASSERT_EQ(call(MIDM_START), MMSYSERR_NOERROR);
        settle();
    }
    uint32_t openAttempts() { return count(com1().openAttempts); }
    uint32_t readsIssued() { return count(sim::world().readsIssued); }
    size_t openPortHandles() {
        std::lock_guard<std::mutex> hold(sim::world().lock);
        size_t open = 0;
        for (const auto& handle : sim::world().openHandles) {
            open += handle.second.kind == "COM";
        }
        return open;
    }
};

TEST_F(LostLine, AVanishedDeviceNeitherSpinsTheWorkerNorTellsTheApplicationAnything) {
    startInput();
    sim::pullDevice();
    settle();
    uint32_t issued = readsIssued();
    uint32_t tried = openAttempts();
    EXPECT_EQ(tried, 2u) << "the first opening and one try at once";
    settle();
    settle();
    EXPECT_EQ(readsIssued(), issued) << "no read is issued again while no time passes";
    EXPECT_EQ(openAttempts(), tried);
    EXPECT_EQ(openPortHandles(), 0u) << "the dead handle was closed";
    EXPECT_TRUE(told().empty()) << "the host has no message for a lost device";
    EXPECT_TRUE(portIsHeld(shared)) << "the application keeps the instrument";
}

TEST_F(LostLine, ThePortIsTriedAFewTimesASecondAndInputResumesOnceTheDeviceIsBack) {
    startInput();
    sim::pullDevice();
    settle();
    uint32_t tried = openAttempts();
    for (int i = 0; i < 4; ++i) {
        oneIntervalPasses();
    }
    EXPECT_EQ(openAttempts(), tried + 4) << "one try per interval";

    sim::plugDevice();
    com1().settings.clear(); // a new adapter knows nothing of the driver's line settings
    oneIntervalPasses();
    EXPECT_EQ(com1().opens, 2u);
    EXPECT_EQ(com1().settings, u"baud=38400 parity=N data=8 stop=1");
    EXPECT_EQ(sim::outstandingReads(), readSlotCount);
    sim::instrumentSends({0x90, 0x3C, 0x40});
    settle();
    ASSERT_EQ(told().size(), 1u);
    EXPECT_EQ(told()[0].message, MIM_DATA);
    EXPECT_EQ(told()[0].param1, 0x00403C90u);
    EXPECT_EQ(figure(*app.context.line.monitor.record, Count::lineLosses), 1u);
    EXPECT_EQ(figure(*app.context.line.monitor.record, Count::lineRecoveries), 1u);
    EXPECT_EQ(app.context.line.monitor.record->line, static_cast<uint32_t>(LineState::up));
}

// A simple client closes its input without stopping it, just as the line is back but not yet
// picked up again: no read may outlive the stream.
TEST_F(LostLine, AnInputClosedWhileItsLineComesBackLeavesNoReadBehind) {
    Stream* out = app.openOutput(0); // keeps the port open once the input has gone
    startInput();
    sim::pullDevice();
    settle(); // the line is found lost, and tried again at once
    sim::setClock(100);
    EXPECT_EQ(call(MIDM_START), MMSYSERR_NOERROR); // changes nothing, but wakes the worker
    sim::plugDevice();
    sim::setClock(260);
    EXPECT_EQ(call(MIDM_CLOSE), MMSYSERR_NOERROR);
    EXPECT_EQ(sim::outstandingReads(), 0u);
    sim::instrumentSends({0x90, 0x3C, 0x40}); // nothing writes into the freed stream
    EXPECT_EQ(app.close(out), MMSYSERR_NOERROR);
}

TEST_F(LostLine, AnExclusiveCutByTheLossComesBackAsALongError) {
    ASSERT_EQ(open(), MMSYSERR_NOERROR);
    ClientBuffer& buffer = prepared(16);
    add(buffer);
    ASSERT_EQ(call(MIDM_START), MMSYSERR_NOERROR);
    sim::instrumentSends({0xF0, 0x7E, 0x7F});
    settle();
    sim::pullDevice();
    settle();
    ASSERT_EQ(told().size(), 1u);
    EXPECT_EQ(told()[0].message, MIM_LONGERROR);
    EXPECT_EQ(buffer.header.dwBytesRecorded, 3u);
}

TEST_F(LostLine, AClientThatStopsInputFromTheLongErrorGetsNoReadsUntilItStartsAgain) {
    ASSERT_EQ(open(), MMSYSERR_NOERROR);
    add(prepared(16));
    ASSERT_EQ(call(MIDM_START), MMSYSERR_NOERROR);
    sim::instrumentSends({0xF0, 0x7E, 0x7F});
    settle();
    // The client stops input from its callback, on the worker, just as the line is back.
    sim::world().onNotify = [this](const sim::Notification& n) {
        if (n.message == MIM_LONGERROR) {
            sim::plugDevice();
            sim::setClock(reopenIntervalMs);
            call(MIDM_STOP);
        }
    };
    sim::pullDevice();
    settle();
    ASSERT_EQ(told().size(), 1u);
    EXPECT_EQ(sim::outstandingReads(), 0u) << "stopped input reads nothing";

    sim::world().onNotify = nullptr;
    ASSERT_EQ(call(MIDM_START), MMSYSERR_NOERROR);
    settle();
    EXPECT_EQ(sim::outstandingReads(), readSlotCount);
    EXPECT_EQ(count(sim::world().readsOnBusyRecords), 0u) << "one read per slot at a time";
    sim::instrumentSends({0x90, 0x3C, 0x40});
    settle();
    ASSERT_EQ(told().size(), 2u);
    EXPECT_EQ(told()[1].message, MIM_DATA);
    EXPECT_EQ(told()[1].param1, 0x00403C90u);
}

TEST_F(LostLine, SendsFailAtOnceWhileTheLineIsAwayAndTheNextNoteAnnouncesItsDestination) {
    Stream* out = app.openOutput(0);
    EXPECT_EQ(app.send(out, 0x00403C90), MMSYSERR_NOERROR);
    sim::pullDevice();
    EXPECT_EQ(app.send(out, 0x00403C90), MMSYSERR_INVALPARAM);
    EXPECT_EQ(openAttempts(), 2u) << "the first opening and one try at once";
    EXPECT_EQ(app.send(out, 0x00403C90), MMSYSERR_INVALPARAM);
    EXPECT_EQ(openAttempts(), 2u) << "not tried again before its interval is over";

    sim::plugDevice();
    sim::setClock(reopenIntervalMs);
    forgetWire();
    EXPECT_EQ(app.send(out, 0x00403C91), MMSYSERR_NOERROR);
    EXPECT_EQ(wire(), (Bytes{0xF5, 0x00, 0xFF, 0x91, 0x3C, 0x40}));
    EXPECT_EQ(app.close(out), MMSYSERR_NOERROR);
    EXPECT_EQ(openPortHandles(), 0u);
    EXPECT_EQ(sim::world().badCloses, 0);
}

TEST_F(LostLine, WhicheverSideTakesTheLineUpAgainOutputAndInputBothCarryOn) {
    startInput();
    Stream* out = app.openOutput(0);
    sim::pullDevice();
    settle(); // the worker saw it first; the port is away
    sim::plugDevice();
    ASSERT_TRUE(sim::waitUntil([] { return sim::world().timedWaits > 0; }));
    sim::setClock(reopenIntervalMs); // a send is due to try the port, and so is the worker
    EXPECT_EQ(app.send(out, 0x00403C90), MMSYSERR_NOERROR);
    ASSERT_TRUE(sim::waitUntil([] { return sim::world().reads.size() == readSlotCount; }));
    EXPECT_EQ(com1().opens, 2u) << "one of them opened it, the other took it along";
    sim::instrumentSends({0x90, 0x3E, 0x40});
    settle();
    std::vector<Told> input;
    for (const Told& t : told()) {
        if (t.message != MOM_OPEN) {
            input.push_back(t);
        }
    }
    ASSERT_EQ(input.size(), 1u);
    EXPECT_EQ(input[0].message, MIM_DATA);
    EXPECT_EQ(input[0].param1, 0x00403E90u);
    EXPECT_EQ(app.close(out), MMSYSERR_NOERROR);
}

} // namespace
