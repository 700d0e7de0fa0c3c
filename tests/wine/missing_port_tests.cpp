// Opening when the machine has no COM1. run-wine-tests.sh runs this suite apart from the others,
// in a prefix without COM1; everywhere else COM1 opens and the suite says so.
#include "child_process.h"
#include "fixtures.h"

#include <gtest/gtest.h>

#include <vector>

using MissingPort = DriverTest;

TEST_F(MissingPort, OpenFailsNotifiesNothingAndLeavesNoOwnerBehind) {
    HANDLE com1 = CreateFileW(L"\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (com1 != INVALID_HANDLE_VALUE) {
        CloseHandle(com1);
        FAIL() << "COM1 opens here; this suite needs a prefix without COM1";
    }

    // The system's "file not found" is none of the errors with a status of their own.
    OpenedOutput output;
    DWORD status = driver.openOutput(0, &output);
    EXPECT_EQ(status, MMSYSERR_ERROR);
    EXPECT_EQ(takeNotifications(), std::vector<Notification>{});

    // A failed open holds nothing: another process meets the same missing port, not an owner.
    DWORD otherStatus = 0;
    ASSERT_TRUE(openOutputInAnotherProcess(&otherStatus));
    EXPECT_EQ(otherStatus, status);
}
