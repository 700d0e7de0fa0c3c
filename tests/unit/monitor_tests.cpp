// What a monitor is told: every message a program sends or is sent, dropped ones with the filter
// that dropped them, and the driver's counts, which go on whether anyone looks or not. Looking
// never holds up a sender.
#include "input_device_fixture.h"
#include "monitor/monitor.h"

#include <algorithm>

namespace {

class Monitor : public AnInputDevice {
  protected:
    MonitorRecord& record() { return *app.context.line.monitor.record; }
    uint64_t counted(Count count) { return figure(record(), count); }
    void watch() { record().watchedUntil = platform::milliseconds() + monitorLeaseMs; }
    // The entries written since the test began, oldest first.
    std::vector<TraceEntry> entries() {
        std::vector<TraceEntry> written;
        for (uint64_t number = 0; number < record().nextEntry; ++number) {
            written.push_back(record().trace[number % traceEntryCount]);
        }
        return written;
    }
    static Bytes bytesOf(const TraceEntry& entry) {
        uint8_t bytes[traceHeadBytes + traceTailBytes];
        return Bytes(bytes, bytes + tracedBytesInOrder(entry.message, bytes));
    }
    static constexpr uint8_t outputSlot = deviceSlot(kindOutput, 0);
};

TEST_F(Monitor, SentAndFilteredMessagesAreTracedAsTheMusicianReadsThemAndCounted) {
    watch();
    Stream* out = app.openOutput(0);
    setMessageMask(shared, messageMask(shared) & ~(1u << messageBit(kindProgramChange, 0)) &
                               ~(1u << messageBit(kindControlChange, 0)));
    watch();
    EXPECT_EQ(app.send(out, 0x00403C90), MMSYSERR_NOERROR);
    EXPECT_EQ(app.send(out, 0x000005C0), MMSYSERR_NOERROR); // Program Change, filtered
    EXPECT_EQ(app.send(out, 0x006407B0), MMSYSERR_NOERROR); // Control Change, filtered
    EXPECT_EQ(app.send(out, 0x0000200A), MMSYSERR_NOERROR); // and its running-status data
    EXPECT_EQ(wire(), (Bytes{0xF5, 0x00, 0xFF, 0x90, 0x3C, 0x40}))
        << "only the note reached the instrument";

    std::vector<TraceEntry> traced = entries();
    ASSERT_EQ(traced.size(), 5u);
    EXPECT_EQ(traced[0].event, TraceEvent::opened);
    EXPECT_EQ(traced[1].event, TraceEvent::sent);
    EXPECT_EQ(bytesOf(traced[1]), (Bytes{0x90, 0x3C, 0x40}));
    EXPECT_EQ(traced[1].processId, 100u);
    EXPECT_EQ(traced[1].slot, outputSlot);
    EXPECT_EQ(traced[2].event, TraceEvent::dropped);
    EXPECT_EQ(traced[2].detail, static_cast<uint8_t>(kindProgramChange));
    EXPECT_EQ(bytesOf(traced[2]), (Bytes{0xC0, 0x05}));
    EXPECT_EQ(traced[3].detail, static_cast<uint8_t>(kindControlChange));
    EXPECT_EQ(bytesOf(traced[4]), (Bytes{0xB0, 0x0A, 0x20})) << "shown with its status byte";
    EXPECT_EQ(traced[4].detail, static_cast<uint8_t>(kindControlChange));

    EXPECT_EQ(counted(Count::messagesSent), 1u);
    EXPECT_EQ(counted(Count::bytesSent), 3u);
    EXPECT_EQ(counted(droppedCount(kindProgramChange)), 1u);
    EXPECT_EQ(counted(droppedCount(kindControlChange)), 2u);
    app.close(out);
}

TEST_F(Monitor, WithNoMonitorWatchingNothingIsTracedButEverythingIsCounted) {
    Stream* out = app.openOutput(0);
    EXPECT_EQ(app.send(out, 0x00403C90), MMSYSERR_NOERROR);
    watch();
    sim::setClock(platform::milliseconds() + monitorLeaseMs); // the monitor said nothing since
    EXPECT_EQ(app.send(out, 0x00403C90), MMSYSERR_NOERROR);
    EXPECT_EQ(record().nextEntry, 0u);
    EXPECT_EQ(record().watchedUntil, 0u) << "the lapsed lease is cleared, never revived by a wrap";
    EXPECT_EQ(counted(Count::messagesSent), 2u);
    app.close(out);
}

TEST_F(Monitor, AFullTraceNeverHoldsUpTheSenderAndKeepsTheNewestMessages) {
    Stream* out = app.openOutput(0);
    watch();
    for (uint32_t i = 0; i < traceEntryCount + 10; ++i) {
        ASSERT_EQ(app.send(out, 0x00400090 | (i % 128) << 8), MMSYSERR_NOERROR);
    }
    uint64_t newest = record().nextEntry - 1;
    const TraceEntry& last = record().trace[newest % traceEntryCount];
    EXPECT_EQ(last.sealed, newest + 1);
    EXPECT_EQ(bytesOf(last), (Bytes{0x90, (traceEntryCount + 9) % 128, 0x40}));
    EXPECT_EQ(record().trace[0].sealed, traceEntryCount + 1) << "the oldest was written over";
    app.close(out);
}

TEST_F(Monitor, AnExclusiveWithNoBufferIsCountedLostAndAWholeOneIsTracedHeadAndTail) {
    ASSERT_EQ(open(), MMSYSERR_NOERROR);
    ASSERT_EQ(call(MIDM_START), MMSYSERR_NOERROR);
    watch();
    sim::instrumentSends({0xF0, 0x7D, 0x01, 0xF7, 0x90, 0x3C, 0x40});
    settle();
    ClientBuffer& buffer = prepared(64);
    ASSERT_EQ(add(buffer), MMSYSERR_NOERROR);
    Bytes dump = {0xF0};
    for (uint8_t i = 0; i < 48; ++i) {
        dump.push_back(i);
    }
    dump.push_back(0xF7);
    sim::instrumentSends(dump);
    settle();

    std::vector<TraceEntry> traced = entries();
    ASSERT_EQ(traced.size(), 3u);
    EXPECT_EQ(traced[0].event, TraceEvent::exclusiveLost);
    EXPECT_EQ(traced[0].status, 4u) << "its bytes found no buffer";
    EXPECT_EQ(traced[1].event, TraceEvent::received);
    EXPECT_EQ(bytesOf(traced[1]), (Bytes{0x90, 0x3C, 0x40}));
    EXPECT_EQ(traced[2].event, TraceEvent::received);
    EXPECT_EQ(traced[2].message.length, 50u);
    Bytes kept = bytesOf(traced[2]);
    ASSERT_EQ(kept.size(), traceHeadBytes + traceTailBytes);
    EXPECT_TRUE(std::equal(kept.begin(), kept.begin() + traceHeadBytes, dump.begin()));
    EXPECT_TRUE(std::equal(kept.end() - traceTailBytes, kept.end(), dump.end() - traceTailBytes));

    EXPECT_EQ(counted(Count::exclusivesLost), 1u);
    EXPECT_EQ(counted(Count::messagesReceived), 2u);
    EXPECT_EQ(counted(Count::bytesReceived), 53u);

    sim::instrumentSends({0x3C}); // a data byte with no status before it
    settle();
    EXPECT_EQ(counted(Count::brokenMessages), 1u);
    EXPECT_EQ(entries().back().event, TraceEvent::broken);
}

} // namespace
