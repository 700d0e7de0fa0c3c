// What the client is told for the bytes the instrument sends: short messages, running status,
// real-time bytes, system common messages, stray data and time stamps.
#include "input_fixture.h"

namespace {

class Assembler : public InputTest {};

TEST_F(Assembler, RunningStatusRepeatsTheLastChannelStatus) {
    feed({0x90, 0x3C, 0x40, 0x3E, 0x40});
    feed({0xC0, 0x05, 0x06});
    EXPECT_EQ(told(), (std::vector<Told>{{MIM_DATA, 0x00403C90, 0},
                                         {MIM_DATA, 0x00403E90, 0},
                                         {MIM_DATA, 0x000005C0, 0},
                                         {MIM_DATA, 0x000006C0, 0}}));
}

TEST_F(Assembler, RealTimeBytesGoOutAtOnceWithoutBreakingAMessage) {
    feed({0x90, 0x3C}, 1);
    feed({0xF8}, 2);
    feed({0x40}, 3);
    // The note began at 1, but the clock was told at 2 already: times told never go back.
    EXPECT_EQ(told(), (std::vector<Told>{{MIM_DATA, 0xF8, 2}, {MIM_DATA, 0x00403C90, 2}}));
}

TEST_F(Assembler, TimesGoOnPastTheClocksWrapAfter49DaysAndAfterLongSilences) {
    for (uint32_t time : {5u, 0x90000005u, 0xFFFFFFF0u, 5u}) {
        feed({0xF8}, time);
    }
    EXPECT_EQ(told(), (std::vector<Told>{{MIM_DATA, 0xF8, 5},
                                         {MIM_DATA, 0xF8, 0x90000005},
                                         {MIM_DATA, 0xF8, 0xFFFFFFF0},
                                         {MIM_DATA, 0xF8, 5}}));
}

TEST_F(Assembler, AnInterruptedMessageIsReportedOnceAndTheNewOneCompletes) {
    feed({0x90, 0x3C, 0x80, 0x3C, 0x00});
    EXPECT_EQ(told(), (std::vector<Told>{{MIM_ERROR, 0x00003C90, 0}, {MIM_DATA, 0x00003C80, 0}}));
}

TEST_F(Assembler, DataWithoutAStatusIsStray) {
    feed({0x3C}, 7);
    EXPECT_EQ(told(), (std::vector<Told>{{MIM_ERROR, 0x3C, 0}})) << "no message begun: time 0";
}

TEST_F(Assembler, SystemCommonMessagesHaveTheirOwnLengthsAndEndRunningStatus) {
    feed({0xF6});
    feed({0xF2, 0x10, 0x20});
    feed({0xF7});
    feed({0x90, 0x3C, 0x40, 0xF1, 0x10, 0x3C});
    feed({0xF3, 0x02});
    EXPECT_EQ(told(), (std::vector<Told>{{MIM_DATA, 0xF6, 0},
                                         {MIM_DATA, 0x002010F2, 0},
                                         {MIM_ERROR, 0xF7, 0},
                                         {MIM_DATA, 0x00403C90, 0},
                                         {MIM_DATA, 0x000010F1, 0},
                                         {MIM_ERROR, 0x3C, 0},
                                         {MIM_DATA, 0x000002F3, 0}}));
}

TEST_F(Assembler, AMessageIsDatedByItsFirstDataByte) {
    feed({0x90}, 10);
    feed({0x3C}, 11);
    feed({0x40}, 12);
    feed({0x3E}, 13); // running status: this message's first data byte
    feed({0x40}, 14);
    feed({0xF2}, 20); // system common: dated by its status
    feed({0x01, 0x02}, 21);
    feed({0xB0}, 30);
    feed({0xC0}, 31); // cuts the Control Change before any data: dated by its status
    EXPECT_EQ(told(), (std::vector<Told>{{MIM_DATA, 0x00403C90, 11},
                                         {MIM_DATA, 0x00403E90, 13},
                                         {MIM_DATA, 0x000201F2, 20},
                                         {MIM_ERROR, 0x000000B0, 30}}));
}

TEST_F(Assembler, NothingComesOutWhileStopped) {
    assembler.started = 0;
    feed({0x90, 0x3C, 0x40, 0xF8, 0xF7, 0x3C, 0xF0, 0x01});
    EXPECT_TRUE(told().empty());
}

} // namespace
