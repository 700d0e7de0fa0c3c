// Output 0 with independent mode off, as a first load of the driver offers it: what reaches the
// instrument and what the client is told.
#include "fixtures.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Notifications = std::vector<Notification>;

constexpr DWORD noteOn = 0x00403C90; // 0x90 0x3C 0x40: middle C on channel 1

} // namespace

using OutputStream = WireTest;

TEST_F(OutputStream, OpeningAndClosingNotifyTheClientOnceEachAndSendNothing) {
    OpenedOutput output;
    ASSERT_EQ(driver.openOutput(0, &output), MMSYSERR_NOERROR);
    EXPECT_NE(output.instance, 0u) << "the driver stored no stream for the host to hand back";
    EXPECT_EQ(takeNotifications(), Notifications{{MOM_OPEN}});

    EXPECT_EQ(driver.closeOutput(output), MMSYSERR_NOERROR);
    EXPECT_EQ(takeNotifications(), Notifications{{MOM_CLOSE}});
    EXPECT_EQ(instrument.receiveStray(), "");
}

TEST_F(OutputStream,
       NoteOnAnnouncesOutputZeroOnceThenTravelsAsOnePacketAndExclusiveInPacketsOfFour) {
    expectOutputWire(
        {0, "F5 00 FF 90 3C 40", "FF 90 3C 40", "FF F0 7D 01 02 FF 03 04 05 06 FF 07 F7"});
}

TEST_F(OutputStream, EveryOpeningOfThePortAnnouncesTheDestinationAgain) {
    OpenedOutput output;
    ASSERT_EQ(driver.openOutput(0, &output), MMSYSERR_NOERROR);
    driver.sendShort(output, noteOn);
    EXPECT_EQ(instrument.receive(6), "F5 00 FF 90 3C 40");
    driver.closeOutput(output);

    // The port closes with its last stream. Meanwhile another program may have selected another
    // destination, so the next opening announces output 0 again, once.
    ASSERT_EQ(driver.openOutput(0, &output), MMSYSERR_NOERROR);
    EXPECT_EQ(driver.sendShort(output, noteOn), MMSYSERR_NOERROR);
    EXPECT_EQ(driver.sendShort(output, noteOn), MMSYSERR_NOERROR);
    EXPECT_EQ(instrument.receive(10), "F5 00 FF 90 3C 40 FF 90 3C 40");
    EXPECT_EQ(instrument.receiveStray(), "");
    driver.closeOutput(output);
}

TEST_F(OutputStream, TheHostPreparesHeadersItself) {
    OpenedOutput output;
    ASSERT_EQ(driver.openOutput(0, &output), MMSYSERR_NOERROR);
    MIDIHDR header{};
    EXPECT_EQ(driver.outputMessage(output, MODM_PREPARE, reinterpret_cast<DWORD_PTR>(&header),
                                   sizeof(header)),
              MMSYSERR_NOTSUPPORTED);
    driver.closeOutput(output);
}

TEST_F(OutputStream, UnpreparedExclusiveMessageIsRefusedAndLeftUntouched) {
    OpenedOutput output;
    ASSERT_EQ(driver.openOutput(0, &output), MMSYSERR_NOERROR);
    takeNotifications();

    char exclusive[] = {'\xF0', '\x7D', 1, '\xF7'};
    MIDIHDR header{};
    header.lpData = exclusive;
    header.dwBufferLength = sizeof(exclusive);

    EXPECT_EQ(driver.sendLong(output, &header), MIDIERR_UNPREPARED);
    EXPECT_EQ(header.dwFlags, 0u);
    EXPECT_EQ(instrument.receiveStray(), "");
    EXPECT_EQ(takeNotifications(), Notifications{});

    driver.closeOutput(output);
}

TEST_F(OutputStream, ResetTurnsOffTheNotesAndReleasesThePedalsTheOutputLeftOn) {
    OpenedOutput output;
    ASSERT_EQ(driver.openOutput(0, &output), MMSYSERR_NOERROR);
    EXPECT_EQ(driver.outputMessage(output, MODM_RESET, 0, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(instrument.receiveStray(), "") << "nothing sounds yet, so nothing is written";

    // Middle C on channel 1; E on channel 2 with its sustain pedal down; D on and off again.
    for (DWORD message : {noteOn, 0x00404091ul, 0x007F40B1ul, 0x00403E90ul, 0x00003E80ul}) {
        EXPECT_EQ(driver.sendShort(output, message), MMSYSERR_NOERROR);
    }
    EXPECT_EQ(instrument.receive(22),
              "F5 00 FF 90 3C 40 FF 91 40 40 FF B1 40 7F FF 90 3E 40 FF 80 3E 00");
    EXPECT_EQ(driver.outputMessage(output, MODM_RESET, 0, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(instrument.receive(12), "FF 80 3C 40 FF 81 40 40 FF B1 40 00");
    EXPECT_EQ(driver.outputMessage(output, MODM_RESET, 0, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(instrument.receiveStray(), "") << "a second reset finds nothing left on";
    EXPECT_EQ(takeNotifications(), (Notifications{{MOM_OPEN}}));

    driver.closeOutput(output);
}
