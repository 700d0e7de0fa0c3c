// The sharing service between its connections: whose message goes next, whole and under its own
// stream's running status and destination, what each program is answered and when, an idle
// exclusive ended, a vanished program silenced, and the instrument's input fanned out with each
// stream's own queue.
#include "share/hub.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

class SharingHub : public ::testing::Test {
  protected:
    std::unique_ptr<ShareHub> hub = std::make_unique<ShareHub>();
    std::vector<std::unique_ptr<Bytes>> frames; // each stays until its message has gone out
    uint32_t now = 1000;

    void SetUp() override { resetHub(*hub); }

    uint32_t connect(uint32_t kind, uint32_t device) {
        int32_t client = openClient(*hub);
        EXPECT_GE(client, 0);
        Bytes hello(shareHelloBytes);
        writeShareHello({shareProtocolVersion, kind, device, 77}, hello.data());
        EXPECT_TRUE(request(client, ShareFrameKind::hello, 0, hello));
        EXPECT_TRUE(takeAnswer(*hub, client));
        return static_cast<uint32_t>(client);
    }
    bool request(uint32_t client, ShareFrameKind kind, uint16_t flags, const Bytes& payload) {
        auto& frame =
            frames.emplace_back(std::make_unique<Bytes>(shareHeaderBytes + payload.size()));
        writeShareFrame(kind, flags, payload.data(), static_cast<uint32_t>(payload.size()),
                        frame->data());
        return takeRequest(*hub, client, frame->data(), static_cast<uint32_t>(frame->size()));
    }
    bool send(uint32_t client, const Bytes& message, uint16_t flags = 0) {
        return request(client, ShareFrameKind::message, flags, message);
    }
    // The next `count` writes for the line, or fewer when nothing more may go.
    std::vector<Bytes> line(uint32_t count = 100) {
        std::vector<Bytes> writes;
        WireWrite write;
        while (writes.size() < count && nextLineWrite(*hub, now, write)) {
            writes.emplace_back(write.bytes, write.bytes + write.count);
        }
        return writes;
    }
};

TEST_F(SharingHub, MessagesOfTwoProgramsGoWholeAndTakeTurns) {
    uint32_t sequencer = connect(shareOutput, 0);
    uint32_t player = connect(shareOutput, 0);
    EXPECT_TRUE(send(sequencer, {0xB0, 0x07, 0x64, 0x90, 0x3C, 0x40}));
    EXPECT_TRUE(send(player, {0x91, 0x30, 0x40}));
    // Until its message is out, a program's next one stays in its own pipe.
    EXPECT_FALSE(readsNext(*hub, sequencer));
    EXPECT_FALSE(send(sequencer, {0x80, 0x3C, 0x40}));
    EXPECT_EQ(line(), (std::vector<Bytes>{{0xF5, 0x00},
                                          {0xFF, 0xB0, 0x07, 0x64, 0x90},
                                          {0xFF, 0x3C, 0x40},
                                          {0xFF, 0x91, 0x30, 0x40}}));
    EXPECT_TRUE(readsNext(*hub, sequencer));
    EXPECT_FALSE(takeAnswer(*hub, sequencer)); // short messages are not answered
}

TEST_F(SharingHub, EachStreamKeepsItsOwnRunningStatusAndDestination) {
    uint32_t sequencer = connect(shareOutput, 0);
    uint32_t player = connect(shareOutput, 0);
    uint32_t editor = connect(shareOutput, 2);
    EXPECT_TRUE(send(sequencer, {0x90, 0x3C, 0x40}));
    EXPECT_TRUE(send(player, {0x91, 0x40, 0x40}));
    line();
    // The sequencer's data would go under the player's status: its own goes before it.
    EXPECT_TRUE(send(sequencer, {0x3E, 0x40}));
    EXPECT_EQ(line(), (std::vector<Bytes>{{0xFF, 0x90}, {0xFF, 0x3E, 0x40}}));
    // A select a program sends itself cannot send the next message astray.
    EXPECT_TRUE(send(editor, {0xF5, 0x00}));
    line();
    EXPECT_TRUE(send(editor, {0xC2, 0x07}));
    EXPECT_EQ(line(), (std::vector<Bytes>{{0xF5, 0x02}, {0xC2, 0x07}}));
}

TEST_F(SharingHub, AClockPassesBetweenTheWritesOfAnothersExclusive) {
    uint32_t editor = connect(shareOutput, 1);
    uint32_t sequencer = connect(shareOutput, 0);
    EXPECT_TRUE(
        send(editor, {0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0xF7}, shareAnswerWanted));
    EXPECT_EQ(line(2), (std::vector<Bytes>{{0xF5, 0x01}, {0xFF, 0xF0, 0x41, 0x10, 0x42}}));
    EXPECT_TRUE(send(sequencer, {0x90, 0x3C, 0x40}));
    uint32_t clock = connect(shareOutput, 0);
    EXPECT_TRUE(send(clock, {0xF8}));
    EXPECT_EQ(line(), (std::vector<Bytes>{{0xF5, 0x00},
                                          {0xFF, 0xF8},
                                          {0xF5, 0x01},
                                          {0xFF, 0x12, 0x40, 0x00, 0x7F},
                                          {0xFF, 0xF7},
                                          {0xF5, 0x00},
                                          {0xFF, 0x90, 0x3C, 0x40}}));
    EXPECT_TRUE(takeAnswer(*hub, editor));
}

TEST_F(SharingHub, AnExclusiveItsProgramLeavesIdleIsEndedAfterTwoSeconds) {
    uint32_t editor = connect(shareOutput, 2);
    uint32_t sequencer = connect(shareOutput, 2);
    EXPECT_TRUE(send(editor, {0xF0, 0x41, 0x10}, shareAnswerWanted));
    EXPECT_EQ(line(), (std::vector<Bytes>{{0xF5, 0x02}, {0xF0, 0x41, 0x10}}));
    EXPECT_TRUE(takeAnswer(*hub, editor)); // and the editor stops in a debugger
    EXPECT_TRUE(send(sequencer, {0x90, 0x3C, 0x40}));
    now += shareHoldIdleMs - 1;
    EXPECT_EQ(line(), std::vector<Bytes>{});
    now += 1;
    EXPECT_EQ(line(), (std::vector<Bytes>{{0xF7}, {0x90, 0x3C, 0x40}}));
    EXPECT_FALSE(takeAnswer(*hub, editor));
}

TEST_F(SharingHub, AResetIsAnsweredOnceItsSilencingIsOut) {
    uint32_t player = connect(shareOutput, 0);
    EXPECT_TRUE(send(player, {0x90, 0x3C, 0x40}));
    line();
    EXPECT_TRUE(request(player, ShareFrameKind::reset, 0, {}));
    EXPECT_FALSE(takeAnswer(*hub, player));
    EXPECT_EQ(line(), (std::vector<Bytes>{{0xFF, 0x80, 0x3C, 0x40}}));
    EXPECT_TRUE(takeAnswer(*hub, player));
    EXPECT_TRUE(request(player, ShareFrameKind::reset, 0, {}));
    EXPECT_TRUE(takeAnswer(*hub, player)); // nothing left sounding: answered at once
    // The silencing's status is not the player's: its next data gets its own back.
    EXPECT_TRUE(send(player, {0x3E, 0x40}));
    EXPECT_EQ(line(), (std::vector<Bytes>{{0xFF, 0x90}, {0xFF, 0x3E, 0x40}}));
}

TEST_F(SharingHub, AProgramThatVanishesIsSilencedAndItsPlaceFreed) {
    uint32_t player = connect(shareOutput, 0);
    uint32_t other = connect(shareOutput, 0);
    EXPECT_TRUE(send(player, {0x90, 0x3C, 0x40, 0xF0, 0x41}));
    line();
    EXPECT_TRUE(send(other, {0x91, 0x30, 0x40}));
    clientGone(*hub, player);
    EXPECT_EQ(line(),
              (std::vector<Bytes>{{0xFF, 0xF7, 0x80, 0x3C, 0x40}, {0xFF, 0x91, 0x30, 0x40}}));
    EXPECT_EQ(openClient(*hub), static_cast<int32_t>(player));
}

TEST_F(SharingHub, AProgramCutOffInItsMessageLeavesNoNoteOnAndNoHalfMessageBehind) {
    uint32_t other = connect(shareOutput, 0);
    uint32_t player = connect(shareOutput, 0);
    EXPECT_TRUE(send(other, {0x90, 0x30, 0x40}));
    line();
    EXPECT_TRUE(send(player, {0x91, 0x3C, 0x40, 0xC0, 0x05, 0x90, 0x3C, 0x40}));
    EXPECT_EQ(line(1), (std::vector<Bytes>{{0xFF, 0x91, 0x3C, 0x40, 0xC0}}));
    clientGone(*hub, player); // killed with "05 90 3C 40" still to go
    EXPECT_TRUE(send(other, {0x3E, 0x40}));
    // The other's data gets its status back, as the instrument may be inside the cut message.
    EXPECT_EQ(line(),
              (std::vector<Bytes>{{0xFF, 0x90}, {0xFF, 0x3E, 0x40}, {0xFF, 0x81, 0x3C, 0x40}}));
}

TEST_F(SharingHub, AProgramThatGoesWhileItsResetWaitsStillHasItsNotesReleased) {
    uint32_t player = connect(shareOutput, 0);
    uint32_t editor = connect(shareOutput, 2);
    EXPECT_TRUE(send(player, {0x90, 0x3C, 0x40}));
    EXPECT_TRUE(send(editor, {0xF0, 0x41}));
    line();
    EXPECT_TRUE(request(player, ShareFrameKind::reset, 0, {}));
    clientGone(*hub, player);
    EXPECT_TRUE(send(editor, {0x10, 0xF7}));
    EXPECT_EQ(line(), (std::vector<Bytes>{{0x10, 0xF7}, {0xF5, 0x00}, {0xFF, 0x80, 0x3C, 0x40}}));
}

TEST_F(SharingHub, EveryStartedInputGetsItsOwnBytesAndASlowOneLosesOnlyItsOwn) {
    uint32_t reader = connect(shareInput, 0);
    uint32_t stalled = connect(shareInput, 0);
    uint32_t late = connect(shareInput, 0);
    EXPECT_TRUE(request(reader, ShareFrameKind::startInput, 0, {}));
    EXPECT_TRUE(request(stalled, ShareFrameKind::startInput, 0, {}));
    takeInput(*hub, 0xFE, 5); // before the late one's start
    EXPECT_TRUE(request(late, ShareFrameKind::startInput, 0, {}));
    auto frame = std::make_unique<uint8_t[]>(shareFrameBytesMax);
    uint32_t readerBytes = 0;
    for (uint32_t i = 0; i < shareInputQueueEntries; ++i) {
        takeInput(*hub, 0x40, 6 + i);
        if (i % 1000 == 0) {
            readerBytes += takeInputFrame(*hub, reader, frame.get()) - shareHeaderBytes;
        }
    }
    readerBytes += takeInputFrame(*hub, reader, frame.get()) - shareHeaderBytes;
    EXPECT_EQ(readerBytes, (shareInputQueueEntries + 1) * shareInputEntryBytes);

    ShareFrame read;
    uint32_t size = takeInputFrame(*hub, stalled, frame.get());
    ASSERT_TRUE(readShareAnswer(frame.get(), size, read));
    EXPECT_EQ(read.length, shareInputQueueEntries * shareInputEntryBytes);
    EXPECT_EQ(read.flags, shareInputLost);
    size = takeInputFrame(*hub, late, frame.get());
    ASSERT_TRUE(readShareAnswer(frame.get(), size, read));
    EXPECT_EQ(readU32(read.payload), 6u); // its first byte is the first after its start
    EXPECT_EQ(read.flags, 0);
}

} // namespace
