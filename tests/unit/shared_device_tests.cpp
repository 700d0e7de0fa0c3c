// Devices opened while the instrument is shared reach it through the sharing service (the
// simulated one): what a stream sends and asks goes there whole, never onto the port, and what
// the service hands over is the stream's own input, dated from its own start.
#include "input_device_fixture.h"
#include "monitor/monitor.h"
#include "share_frames.h"

#include <algorithm>
#include <thread>

namespace {

using Frame = std::vector<uint8_t>;

struct Entry {
    uint32_t time;
    uint8_t byte;
};

Frame inputFrame(uint16_t flags, const std::vector<Entry>& entries) {
    Frame payload;
    for (const Entry& entry : entries) {
        payload.resize(payload.size() + shareInputEntryBytes);
        writeU32(&payload[payload.size() - shareInputEntryBytes], entry.time);
        payload.back() = entry.byte;
    }
    return frameOf(ShareFrameKind::input, flags, payload);
}

class SharedDevice : public AnInputDevice {
  protected:
    SharedDevice() {
        shared.sharing = 1;
        sim::world().sharing.installed = true;
        // Where each connection is, as the service checks what comes next on it: kept as long as
        // the simulated service, which the closes of the fixture's streams still reach.
        auto connections = std::make_shared<std::map<platform::Handle, ShareConnection>>();
        sim::world().sharing.answer = [connections](platform::Handle pipe, const Frame& request) {
            return answerWithSuccess((*connections)[pipe], request);
        };
        sim::setClock(1000);
    }
    // Every frame the driver sends is one the service takes; those that ask are answered at once.
    static Frame answerWithSuccess(ShareConnection& state, const Frame& request) {
        ShareFrame frame;
        if (!readShareRequest(state, request.data(), static_cast<uint32_t>(request.size()),
                              frame)) {
            ADD_FAILURE() << "the service would end the connection at this frame";
            return {};
        }
        return shareIsAnswered(frame.kind, frame.flags)
                   ? frameOf(ShareFrameKind::answer, 0, {0, 0, 0, 0})
                   : Frame{};
    }
    bool requestsCame(size_t connection, size_t count) {
        return sim::waitUntil([&] {
            auto& sharing = sim::world().sharing;
            return sharing.order.size() > connection &&
                   sharing.connections[sharing.order[connection]].requests.size() >= count;
        });
    }
};

TEST_F(SharedDevice, AnOutputsMessagesGoToTheServiceWholeAndItsResetAsksTheServiceToSilence) {
    MonitorRecord& record = *app.context.line.monitor.record;
    record.watchedUntil = platform::milliseconds() + monitorLeaseMs;
    Stream* out = app.openOutput(0);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(sim::world().sharing.starts, 1u) << "started on demand";
    EXPECT_EQ(app.send(out, 0x403C90), MMSYSERR_NOERROR);
    EXPECT_EQ(app.send(out, 0x4040), MMSYSERR_NOERROR); // under running status
    Bytes dump = {0xF0, 0x7D, 0x01, 0xF7};
    MidiHeader header = preparedHeader(dump);
    EXPECT_EQ(app.sendLong(out, header), MMSYSERR_NOERROR);
    EXPECT_EQ(app.call(out, MODM_RESET), MMSYSERR_NOERROR);
    EXPECT_EQ(app.close(out), MMSYSERR_NOERROR);

    std::vector<Frame> requests = sim::shareRequests(0);
    ASSERT_EQ(requests.size(), 5u);
    ShareConnection state = ShareConnection::greeting;
    ShareFrame hello;
    ASSERT_TRUE(readShareRequest(state, requests[0].data(),
                                 static_cast<uint32_t>(requests[0].size()), hello));
    EXPECT_EQ(hello.kind, ShareFrameKind::hello);
    EXPECT_EQ(hello.hello.kind, shareOutput);
    EXPECT_EQ(requests[1], frameOf(ShareFrameKind::message, 0, {0x90, 0x3C, 0x40}));
    EXPECT_EQ(requests[2], frameOf(ShareFrameKind::message, 0, {0x40, 0x40}));
    EXPECT_EQ(requests[3], frameOf(ShareFrameKind::message, shareAnswerWanted, dump));
    EXPECT_EQ(requests[4], frameOf(ShareFrameKind::reset, 0, {}));
    EXPECT_TRUE(wire().empty()) << "the port is the service's";
    EXPECT_EQ(sim::world().ports[1].opens, 0u);
    EXPECT_TRUE(sim::world().sharing.connections.begin()->second.closed);
    EXPECT_EQ(figure(record, Count::messagesSent), 3u) << "a monitor is told as on the port";
    ASSERT_EQ(record.nextEntry, 6u) << "opened, three messages, the reset, closed";
    EXPECT_EQ(record.trace[2].message.length, 3u) << "running status shown with its status";
    EXPECT_EQ(record.trace[3].flags, traceViaService);
    EXPECT_EQ(record.trace[4].event, TraceEvent::reset);
}

// The service cuts nothing: a long message that failed there failed, even when the client's
// reset came while it waited to be taken.
TEST_F(SharedDevice, ALongMessageTheServiceDidNotTakeFailsThoughAResetCameMeanwhile) {
    Stream* out = app.openOutput(0);
    ASSERT_NE(out, nullptr);
    auto& stream = static_cast<OutputStream&>(*out);
    Bytes dump = {0xF0, 0x7D, 0x01, 0xF7};
    MidiHeader header = preparedHeader(dump);
    uint32_t sendStatus = MMSYSERR_NOERROR;
    std::thread sender;
    std::thread resetter;
    {
        // The connection's one request at a time holds the message up until the reset has come.
        std::lock_guard<std::mutex> busy(linkOf(stream).lock);
        sender = std::thread([&] { sendStatus = app.sendLong(out, header); });
        ASSERT_TRUE(soon([&] { return stream.longMessagesUnderWay.load() == 1; }));
        resetter = std::thread([&] { app.call(out, MODM_RESET); });
        ASSERT_TRUE(soon([&] { return stream.cutsRequested.load() == 1; }));
        sim::serviceEnds();
    }
    sender.join();
    resetter.join();
    EXPECT_NE(sendStatus, MMSYSERR_NOERROR);
    EXPECT_EQ(header.dwFlags & MHDR_DONE, MHDR_DONE) << "handed back all the same";
    std::vector<uint32_t> messages = notified();
    EXPECT_EQ(std::count(messages.begin(), messages.end(), MOM_DONE), 0) << "and never as done";
}

TEST_F(SharedDevice, AProgramOpensAnOutputUpToEightTimesAndAgainOnceOneCloses) {
    std::vector<Stream*> streams;
    for (uint32_t i = 0; i < streamsPerDevice; ++i) {
        streams.push_back(app.openOutput(0));
        ASSERT_NE(streams.back(), nullptr) << "open " << i + 1;
    }
    Stream* ninth = nullptr;
    EXPECT_EQ(app.openOutput(0, ninth), MMSYSERR_ALLOCATED);
    EXPECT_EQ(app.close(streams[3]), MMSYSERR_NOERROR);
    streams[3] = app.openOutput(0);
    EXPECT_NE(streams[3], nullptr);
    for (Stream* stream : streams) {
        EXPECT_EQ(app.send(stream, 0x403C90), MMSYSERR_NOERROR);
        EXPECT_EQ(app.close(stream), MMSYSERR_NOERROR);
    }
    EXPECT_EQ(sim::world().sharing.connections.size(), streamsPerDevice + 1);
}

TEST_F(SharedDevice, AnInputDatesEachByteFromItsOwnStartAndIsToldOfWhatItLost) {
    ASSERT_EQ(open(), MMSYSERR_NOERROR);
    ASSERT_EQ(call(MIDM_START), MMSYSERR_NOERROR);
    ASSERT_TRUE(requestsCame(0, 2)); // hello, start
    sim::serviceSends(0, inputFrame(0, {{1004, 0xF8}}));
    sim::serviceSends(0, inputFrame(shareInputLost, {{1010, 0x90}, {1011, 0x3C}, {1012, 0x40}}));
    settle();
    // A channel message is dated by its first data byte, as off the line.
    EXPECT_EQ(told(), (std::vector<Told>{
                          {MIM_DATA, 0xF8, 4}, {MIM_ERROR, 0, 10}, {MIM_DATA, 0x403C90, 11}}));
}

TEST_F(SharedDevice, AnInputWhoseServiceEndedAsksForItAgainAndHearsOnWithoutAWord) {
    ASSERT_EQ(open(), MMSYSERR_NOERROR);
    ASSERT_EQ(call(MIDM_START), MMSYSERR_NOERROR);
    sim::serviceEnds();
    settle();
    // A few times a second the connection is tried again: first the service is asked for, then
    // the input is.
    oneIntervalPasses();
    EXPECT_EQ(count(sim::world().sharing.starts), 2u);
    oneIntervalPasses();
    ASSERT_TRUE(requestsCame(1, 2));
    EXPECT_EQ(sim::shareRequests(1)[1], frameOf(ShareFrameKind::startInput, 0, {}));
    sim::serviceSends(1, inputFrame(0, {{1600, 0xF8}}));
    settle();
    EXPECT_EQ(told(), (std::vector<Told>{{MIM_DATA, 0xF8, 600}}));
}

} // namespace
