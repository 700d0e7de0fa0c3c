// System-exclusive data in the client's buffers: across buffers, cut short, at stop and reset,
// and the promise that a buffer is out of the queue and marked done before the client hears.
#include "input_fixture.h"

namespace {

class Exclusive : public InputTest {
  protected:
    // Every buffer handed back: out of the queue, done, no longer queued, when the client hears.
    void watchHandBacks() {
        sim::world().onNotify = [this](const sim::Notification& n) {
            if (n.message != MIM_LONGDATA && n.message != MIM_LONGERROR) {
                return;
            }
            auto* header = reinterpret_cast<MidiHeader*>(n.param1);
            for (MidiHeader* h = exclusive.head; h != nullptr; h = h->lpNext) {
                EXPECT_NE(h, header) << "handed back while still queued";
            }
            EXPECT_EQ(header->dwFlags, MHDR_PREPARED | MHDR_DONE);
            ++handedBack[header];
        };
    }
    std::map<MidiHeader*, int> handedBack;
};

TEST_F(Exclusive, AnExclusiveRunsOnIntoTheNextBuffer) {
    watchHandBacks();
    ClientBuffer& first = queue(4);
    ClientBuffer& second = queue(4);
    feed({0xF0}, 5);
    feed({0x01, 0x02, 0x03, 0x04, 0x05, 0xF7}, 9);
    EXPECT_EQ(told(), (std::vector<Told>{{MIM_LONGDATA, first.address(), 5},
                                         {MIM_LONGDATA, second.address(), 5}}));
    EXPECT_EQ(first.recorded(), (Bytes{0xF0, 0x01, 0x02, 0x03}));
    EXPECT_EQ(second.recorded(), (Bytes{0x04, 0x05, 0xF7}));
    EXPECT_EQ(second.memory[3], 0xEE) << "nothing written past the data";
    EXPECT_FALSE(buffersQueued(exclusive));
}

TEST_F(Exclusive, AnExclusiveEndsRunningStatus) {
    ClientBuffer& buffer = queue(16);
    feed({0x90, 0x3C, 0x40, 0xF0, 0x01, 0x02, 0xF7, 0x3C});
    EXPECT_EQ(told(), (std::vector<Told>{{MIM_DATA, 0x00403C90, 0},
                                         {MIM_LONGDATA, buffer.address(), 0},
                                         {MIM_ERROR, 0x3C, 0}}));
    EXPECT_EQ(buffer.recorded(), (Bytes{0xF0, 0x01, 0x02, 0xF7}));
}

TEST_F(Exclusive, AStatusByteCutsTheExclusiveShortAndStartsItsMessage) {
    ClientBuffer& buffer = queue(16);
    queue(16);
    feed({0xF0, 0x01, 0x90, 0x3C, 0x40});
    EXPECT_EQ(told(),
              (std::vector<Told>{{MIM_LONGERROR, buffer.address(), 0}, {MIM_DATA, 0x00403C90, 0}}));
    EXPECT_EQ(buffer.recorded(), (Bytes{0xF0, 0x01}));
}

TEST_F(Exclusive, RealTimeBytesPassThroughAnExclusive) {
    ClientBuffer& buffer = queue(16);
    feed({0xF0, 0x01, 0xF8, 0x02, 0xF7});
    EXPECT_EQ(told(),
              (std::vector<Told>{{MIM_DATA, 0xF8, 0}, {MIM_LONGDATA, buffer.address(), 0}}));
    EXPECT_EQ(buffer.recorded(), (Bytes{0xF0, 0x01, 0x02, 0xF7}));
}

TEST_F(Exclusive, TimesToldNeverGoBackWhenRealTimeBytesComeInsideAnExclusive) {
    ClientBuffer& first = queue(4);
    ClientBuffer& second = queue(4);
    ClientBuffer& cut = queue(4);
    feed({0xF0, 0x01, 0x02}, 10);
    feed({0xF8}, 20); // a clock, told at once
    feed({0x03, 0x04}, 21);
    feed({0xFE}, 30); // active sensing
    feed({0x05, 0xF7}, 31);
    feed({0x90, 0x3C, 0x40}, 40);
    feed({0xF0}, 50);
    feed({0xF8}, 60);
    feed({0x90, 0x3C, 0x40}, 61);
    EXPECT_EQ(told(), (std::vector<Told>{{MIM_DATA, 0xF8, 20},
                                         {MIM_LONGDATA, first.address(), 20},
                                         {MIM_DATA, 0xFE, 30},
                                         {MIM_LONGDATA, second.address(), 30},
                                         {MIM_DATA, 0x00403C90, 40},
                                         {MIM_DATA, 0xF8, 60},
                                         {MIM_LONGERROR, cut.address(), 60},
                                         {MIM_DATA, 0x00403C90, 61}}));
}

TEST_F(Exclusive, AnExactFillCutShortReturnsTheNextBufferEmpty) {
    ClientBuffer& first = queue(4);
    ClientBuffer& second = queue(4);
    feed({0xF0, 0x01, 0x02, 0x03, 0xB0});
    EXPECT_EQ(told(), (std::vector<Told>{{MIM_LONGDATA, first.address(), 0},
                                         {MIM_LONGERROR, second.address(), 0}}));
    EXPECT_EQ(second.header.dwBytesRecorded, 0u);
}

TEST_F(Exclusive, ABufferThatHoldsNothingGoesBackWithoutSwallowingAByte) {
    ClientBuffer& empty = queue(0);
    ClientBuffer& real = queue(8);
    feed({0xF0, 0x01, 0xF7});
    EXPECT_EQ(told(), (std::vector<Told>{{MIM_LONGDATA, empty.address(), 0},
                                         {MIM_LONGDATA, real.address(), 0}}));
    EXPECT_EQ(empty.header.dwBytesRecorded, 0u);
    EXPECT_EQ(real.recorded(), (Bytes{0xF0, 0x01, 0xF7}));
}

TEST_F(Exclusive, WithoutABufferTheDataIsDroppedButTheExclusiveStillCounts) {
    feed({0xF0, 0x01, 0x02});
    ClientBuffer& late = queue(8);
    feed({0x03, 0xF7, 0x3C});
    EXPECT_EQ(told(), (std::vector<Told>{{MIM_LONGDATA, late.address(), 0}, {MIM_ERROR, 0x3C, 0}}));
    EXPECT_EQ(late.recorded(), (Bytes{0x03, 0xF7}));
}

TEST_F(Exclusive, StopReturnsOnlyAPartlyFilledBuffer) {
    ClientBuffer& partial = queue(8);
    queue(8);
    returnPartialBuffer(exclusive, stream, assembler.messageTime);
    EXPECT_TRUE(told().empty()) << "an empty head buffer stays queued";
    feed({0xF0, 0x01}, 3);
    returnPartialBuffer(exclusive, stream, assembler.messageTime);
    EXPECT_EQ(told(), (std::vector<Told>{{MIM_LONGERROR, partial.address(), 3}}));
    EXPECT_EQ(partial.recorded(), (Bytes{0xF0, 0x01}));
    EXPECT_TRUE(buffersQueued(exclusive)) << "the other buffer waits for more";
}

TEST_F(Exclusive, ResetReturnsEveryBufferUnusedInTheOrderAdded) {
    watchHandBacks();
    ClientBuffer& partial = queue(8);
    ClientBuffer& second = queue(8);
    ClientBuffer& third = queue(8);
    feed({0xF0, 0x01}, 3);
    assembler.now = 9;
    returnPartialBuffer(exclusive, stream, assembler.messageTime);
    returnAllBuffers(exclusive, stream, assembler.now);
    EXPECT_EQ(told(), (std::vector<Told>{{MIM_LONGERROR, partial.address(), 3},
                                         {MIM_LONGDATA, second.address(), 9},
                                         {MIM_LONGDATA, third.address(), 9}}));
    EXPECT_EQ(second.header.dwBytesRecorded, 0u);
    EXPECT_EQ(third.header.dwBytesRecorded, 0u);
    EXPECT_FALSE(buffersQueued(exclusive));
    EXPECT_EQ(handedBack.size(), 3u);
}

TEST_F(Exclusive, EachBufferComesBackOncePerAdd) {
    watchHandBacks();
    ClientBuffer& buffer = queue(2);
    feed({0xF0, 0x01}); // fills it
    buffer.header.dwFlags = MHDR_PREPARED | MHDR_INQUEUE;
    appendBuffer(exclusive, &buffer.header); // the client adds it again
    feed({0x02, 0xF7});
    feed({0xF0});
    returnAllBuffers(exclusive, stream, assembler.now);
    EXPECT_EQ(handedBack[&buffer.header], 2);
    EXPECT_EQ(buffer.recorded(), (Bytes{0x02, 0xF7}));
}

} // namespace
