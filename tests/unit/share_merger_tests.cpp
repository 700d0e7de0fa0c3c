// What reaches the instrument when several programs' streams share it: whole messages behind
// their own selects and running status, an exclusive holding the others but not the clock, and
// what a stream leaves sounding silenced when it goes.
#include "share/merger.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

class SharedWire : public ::testing::Test {
  protected:
    ShareWire wire = freshWire();
    ShareSender sequencer = {0, 0, {}}; // on the MIDI destination
    ShareSender editor = {2, 0, {}};    // on Synth-A, which takes raw data
    ShareSender player = {0, 0, {}};    // a second program on the MIDI destination

    // Every write of a message that may start now, in order.
    std::vector<Bytes> send(ShareSender& sender, const Bytes& bytes) {
        Outgoing message = outgoingOf(sender, bytes.data(), static_cast<uint32_t>(bytes.size()));
        EXPECT_TRUE(mayStart(wire, message));
        return drain(message);
    }
    std::vector<Bytes> drain(Outgoing& message) {
        std::vector<Bytes> writes;
        WireWrite write;
        while (nextWrite(wire, message, write)) {
            writes.emplace_back(write.bytes, write.bytes + write.count);
        }
        return writes;
    }
    bool mayStartNow(ShareSender& sender, const Bytes& bytes) {
        return mayStart(wire,
                        outgoingOf(sender, bytes.data(), static_cast<uint32_t>(bytes.size())));
    }
    std::vector<Bytes> silence(ShareSender& sender) {
        uint8_t bytes[silencingBytesMax];
        uint32_t count = silencingOf(wire, sender, bytes);
        Outgoing message = silencingOutgoing(sender, bytes, count);
        return drain(message);
    }
};

TEST_F(SharedWire, MessagesOfTwoDestinationsGoWholeBehindTheirOwnSelects) {
    EXPECT_EQ(send(sequencer, {0x90, 0x3C, 0x40}),
              (std::vector<Bytes>{{0xF5, 0x00}, {0xFF, 0x90, 0x3C, 0x40}}));
    EXPECT_EQ(send(editor, {0xC0, 0x05}), (std::vector<Bytes>{{0xF5, 0x02}, {0xC0, 0x05}}));
    EXPECT_EQ(send(editor, {0xC1, 0x06}), (std::vector<Bytes>{{0xC1, 0x06}}));
    EXPECT_EQ(send(sequencer, {0x80, 0x3C, 0x40}),
              (std::vector<Bytes>{{0xF5, 0x00}, {0xFF, 0x80, 0x3C, 0x40}}));
    // A select a program sends itself cannot send the next message astray.
    send(editor, {0xF5, 0x00});
    EXPECT_EQ(send(editor, {0xC2, 0x07}), (std::vector<Bytes>{{0xF5, 0x02}, {0xC2, 0x07}}));
}

TEST_F(SharedWire, EachStreamKeepsItsOwnRunningStatus) {
    send(sequencer, {0x90, 0x3C, 0x40});
    send(player, {0x91, 0x40, 0x40});
    // The sequencer's data would go under the player's status: its own goes before it, once.
    EXPECT_EQ(send(sequencer, {0x3E, 0x40}),
              (std::vector<Bytes>{{0xFF, 0x90}, {0xFF, 0x3E, 0x40}}));
    EXPECT_EQ(send(sequencer, {0x3F, 0x40}), (std::vector<Bytes>{{0xFF, 0x3F, 0x40}}));
    // The player's status is in force again only once it is put back.
    EXPECT_EQ(send(player, {0x41, 0x40}), (std::vector<Bytes>{{0xFF, 0x91}, {0xFF, 0x41, 0x40}}));
}

TEST_F(SharedWire, AnExclusiveHoldsTheOthersToItsEndButLetsTheClockThrough) {
    send(editor, {0xF0, 0x41, 0x10, 0x42}); // its first buffer; the rest follows in another
    EXPECT_FALSE(mayStartNow(sequencer, {0x90, 0x3C, 0x40}));
    EXPECT_FALSE(mayStartNow(player, {0xF0, 0x7D, 0xF7}));
    EXPECT_EQ(send(sequencer, {0xF8}), (std::vector<Bytes>{{0xF5, 0x00}, {0xFF, 0xF8}}));
    EXPECT_EQ(send(editor, {0x12, 0x40, 0xF7}),
              (std::vector<Bytes>{{0xF5, 0x02}, {0x12, 0x40, 0xF7}}));
    EXPECT_TRUE(mayStartNow(sequencer, {0x90, 0x3C, 0x40}));
}

TEST_F(SharedWire, AStreamThatGoesSilencesOnlyWhatItLeftSounding) {
    send(sequencer, {0xB0, 0x40, 0x7F, 0x90, 0x3C, 0x40, 0x3E, 0x40}); // pedal down, two notes
    send(player, {0x91, 0x30, 0x40});
    send(sequencer, {0x3E, 0x00}); // the second note ends under the sequencer's own status
    EXPECT_EQ(silence(sequencer),
              (std::vector<Bytes>{{0xFF, 0x80, 0x3C, 0x40, 0xB0}, {0xFF, 0x40, 0x00}}));
    EXPECT_EQ(silence(sequencer), std::vector<Bytes>{});
    // The silencing's statuses are not the sequencer's: its next data gets its own back.
    EXPECT_EQ(send(sequencer, {0x3C, 0x40}),
              (std::vector<Bytes>{{0xFF, 0x90}, {0xFF, 0x3C, 0x40}}));
}

TEST_F(SharedWire, AProgramThatVanishesInsideItsExclusiveEndsItAndFreesTheLine) {
    send(editor, {0x90, 0x3C, 0x40, 0xF0, 0x41, 0x10});
    EXPECT_FALSE(mayStartNow(sequencer, {0x90, 0x3C, 0x40}));
    EXPECT_EQ(silence(editor), (std::vector<Bytes>{{0xF7, 0x80, 0x3C, 0x40}}));
    EXPECT_TRUE(mayStartNow(sequencer, {0x90, 0x3C, 0x40}));
}

} // namespace
