// A serial port keeps settings from the program that used it last. Under Wine the line's flow
// control lives in the terminal settings of the driver's end of the line, so it outlasts the
// program that set it, as on Windows; its time-outs do not, and are shown natively.
#include "fixtures.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Notifications = std::vector<Notification>;

// Switches XON/XOFF flow control both ways on COM1 on or off, as a terminal program might leave it.
::testing::AssertionResult setXonXoffOnComOne(bool on) {
    HANDLE port = CreateFileW(L"\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        return ::testing::AssertionFailure() << "COM1 does not open, error " << GetLastError();
    }
    DCB line{};
    line.DCBlength = sizeof(line);
    bool set = GetCommState(port, &line);
    line.fOutX = on;
    line.fInX = on;
    set = set && SetCommState(port, &line);
    DCB left{};
    left.DCBlength = sizeof(left);
    set = set && GetCommState(port, &left) && static_cast<bool>(left.fOutX) == on;
    CloseHandle(port);
    if (!set) {
        return ::testing::AssertionFailure()
               << "XON/XOFF could not be left " << (on ? "on" : "off");
    }
    return ::testing::AssertionSuccess();
}

} // namespace

class LineLeftBehind : public InputTest {
  protected:
    // A driver that kept the flow control would leave it to the tests after this one.
    void TearDown() override {
        InputTest::TearDown();
        EXPECT_TRUE(setXonXoffOnComOne(false));
    }
};

TEST_F(LineLeftBehind, NotesThatLookLikeXonAndXoffPassBothWaysOnALineLeftWithFlowControl) {
    ASSERT_TRUE(setXonXoffOnComOne(true));
    ASSERT_TRUE(openInput());
    OpenedOutput output;
    ASSERT_EQ(driver.openOutput(0, &output), MMSYSERR_NOERROR);
    takeNotifications();
    ASSERT_EQ(driver.inputMessage(input, MIDM_START), MMSYSERR_NOERROR);

    // Key 0x13 is XOFF and key 0x11 is XON: the port must not take them for flow control.
    ASSERT_TRUE(instrument.send({0x90, 0x13, 0x40, 0x90, 0x11, 0x40}));
    EXPECT_EQ(withoutTimes(takeNotifications(2)),
              (Notifications{{MIM_DATA, 0x00401390}, {MIM_DATA, 0x00401190}}));
    EXPECT_EQ(driver.sendShort(output, 0x00401390), MMSYSERR_NOERROR);
    EXPECT_EQ(instrument.receive(6), "F5 00 FF 90 13 40");
    EXPECT_EQ(instrument.receiveStray(), "");

    EXPECT_EQ(driver.closeOutput(output), MMSYSERR_NOERROR);
    EXPECT_TRUE(closeInput());
}
