// The serial port belongs to one process at a time. Under Wine a second CreateFileW of COM1
// succeeds, so these refusals come from the driver's own owner rule alone.
#include "child_process.h"
#include "fixtures.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Notifications = std::vector<Notification>;

constexpr DWORD noteOn = 0x00403C90;

} // namespace

using PortOwnership = WireTest;

TEST_F(PortOwnership, SecondProcessIsRefusedWhileFirstHoldsThePortAndAdmittedAfterClose) {
    OpenedOutput output;
    ASSERT_EQ(driver.openOutput(0, &output), MMSYSERR_NOERROR);

    DWORD status = 0;
    ASSERT_TRUE(openOutputInAnotherProcess(&status));
    EXPECT_EQ(status, MMSYSERR_ALLOCATED);

    driver.closeOutput(output);
    ASSERT_TRUE(openOutputInAnotherProcess(&status));
    EXPECT_EQ(status, MMSYSERR_NOERROR);
}

TEST_F(PortOwnership, PortOfAProcessThatDiedIsTakenOver) {
    std::string readyName = "melv-wine-tests-holder-" + std::to_string(GetCurrentProcessId());
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, readyName.c_str());
    ASSERT_NE(ready, nullptr);
    ChildProcess holder;
    ASSERT_TRUE(holder.start(L"--hold-output " + std::wstring(readyName.begin(), readyName.end())));
    ASSERT_TRUE(holder.signalled(ready));
    CloseHandle(ready);

    OpenedOutput output;
    EXPECT_EQ(driver.openOutput(0, &output), MMSYSERR_ALLOCATED);
    EXPECT_EQ(takeNotifications(), Notifications{});

    // The holder never closes: it dies with the port recorded as its own.
    ASSERT_TRUE(holder.kill());
    ASSERT_EQ(driver.openOutput(0, &output), MMSYSERR_NOERROR);
    EXPECT_EQ(takeNotifications(), Notifications{{MOM_OPEN}});
    EXPECT_EQ(driver.sendShort(output, noteOn), MMSYSERR_NOERROR);
    EXPECT_EQ(instrument.receive(6), "F5 00 FF 90 3C 40");
    EXPECT_EQ(driver.closeOutput(output), MMSYSERR_NOERROR);
    EXPECT_EQ(takeNotifications(), Notifications{{MOM_CLOSE}});

    // Closing gave the port up for good: another process gets it.
    DWORD status = 0;
    ASSERT_TRUE(openOutputInAnotherProcess(&status));
    EXPECT_EQ(status, MMSYSERR_NOERROR);
    EXPECT_EQ(instrument.receiveStray(), "");
}

TEST_F(PortOwnership, OfProcessesOfBothBitnessesOpeningAtOnceExactlyOneWinsEveryRound) {
    ASSERT_FALSE(otherBitnessHost().empty()) << "MELV_OTHER_BITNESS_HOST names no test host";
    for (int contenders = 4; contenders <= 8; ++contenders) {
        std::vector<DWORD> statuses;
        ASSERT_TRUE(raceForOutput(contenders, &statuses));
        int winners = 0;
        for (DWORD status : statuses) {
            winners += status == MMSYSERR_NOERROR;
            if (status != MMSYSERR_NOERROR) {
                EXPECT_EQ(status, MMSYSERR_ALLOCATED);
            }
        }
        EXPECT_EQ(winners, 1) << contenders << " contenders";
    }
    // Every winner gave the port back: it is free for the next program.
    OpenedOutput output;
    ASSERT_EQ(driver.openOutput(0, &output), MMSYSERR_NOERROR);
    EXPECT_EQ(driver.sendShort(output, noteOn), MMSYSERR_NOERROR);
    EXPECT_EQ(instrument.receive(6), "F5 00 FF 90 3C 40");
    driver.closeOutput(output);
}

TEST_F(PortOwnership, AProgramOfTheOtherBitnessHoldingThePortIsSeenAndTakenOverWhenItDies) {
    std::wstring otherHost = otherBitnessHost();
    ASSERT_FALSE(otherHost.empty()) << "MELV_OTHER_BITNESS_HOST names no test host";
    std::string readyName = "melv-wine-tests-other-" + std::to_string(GetCurrentProcessId());
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, readyName.c_str());
    ASSERT_NE(ready, nullptr);
    ChildProcess holder;
    ASSERT_TRUE(holder.start(L"--hold-output " + std::wstring(readyName.begin(), readyName.end()),
                             otherHost));
    ASSERT_TRUE(holder.signalled(ready));
    CloseHandle(ready);

    OpenedOutput output;
    EXPECT_EQ(driver.openOutput(0, &output), MMSYSERR_ALLOCATED);
    OpenedInput input;
    EXPECT_EQ(driver.openInput(0, &input), MMSYSERR_ALLOCATED);

    ASSERT_TRUE(holder.kill());
    ASSERT_EQ(driver.openOutput(0, &output), MMSYSERR_NOERROR);
    EXPECT_EQ(driver.sendShort(output, noteOn), MMSYSERR_NOERROR);
    EXPECT_EQ(instrument.receive(6), "F5 00 FF 90 3C 40");
    // While this process holds it, a program of the other bitness is refused in turn.
    DWORD status = 0;
    ChildProcess refused;
    ASSERT_TRUE(refused.start(L"--open-output", otherHost));
    ASSERT_TRUE(refused.exited(&status));
    EXPECT_EQ(status, MMSYSERR_ALLOCATED);
    driver.closeOutput(output);
    takeNotifications();
}

using PortSharing = InputTest;

TEST_F(PortSharing, InputAndOutputOfOneProcessWorkOverOnePortThatOtherProcessesCannotOpen) {
    ASSERT_TRUE(openInput());
    OpenedOutput output;
    ASSERT_EQ(driver.openOutput(0, &output), MMSYSERR_NOERROR);
    EXPECT_EQ(takeNotifications(), Notifications{{MOM_OPEN}});
    ASSERT_EQ(driver.inputMessage(input, MIDM_START), MMSYSERR_NOERROR);

    // Both directions at once: the instrument answers a note with one of its own.
    EXPECT_EQ(driver.sendShort(output, noteOn), MMSYSERR_NOERROR);
    ASSERT_TRUE(instrument.send({0x90, 0x3E, 0x40}));
    EXPECT_EQ(instrument.receive(6), "F5 00 FF 90 3C 40");
    EXPECT_EQ(withoutTimes(takeNotifications(1)), (Notifications{{MIM_DATA, 0x00403E90}}));

    DWORD status = 0;
    ASSERT_TRUE(openOutputInAnotherProcess(&status));
    EXPECT_EQ(status, MMSYSERR_ALLOCATED);
    ASSERT_TRUE(openInputInAnotherProcess(&status));
    EXPECT_EQ(status, MMSYSERR_ALLOCATED);

    // The port stays open for input after output has let go of it.
    EXPECT_EQ(driver.closeOutput(output), MMSYSERR_NOERROR);
    ASSERT_TRUE(instrument.send({0x90, 0x3E, 0x00}));
    EXPECT_EQ(withoutTimes(takeNotifications(2)),
              (Notifications{{MOM_CLOSE}, {MIM_DATA, 0x00003E90}}));
    ASSERT_TRUE(openInputInAnotherProcess(&status));
    EXPECT_EQ(status, MMSYSERR_ALLOCATED);

    EXPECT_TRUE(closeInput());
    ASSERT_TRUE(openInputInAnotherProcess(&status));
    EXPECT_EQ(status, MMSYSERR_NOERROR);
    EXPECT_EQ(instrument.receiveStray(), "");
}
