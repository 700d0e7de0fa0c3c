// The serial device vanishes while a program has the instrument open and comes back on the same
// port, as a USB serial adapter pulled and put back: the program keeps its devices open, its
// sends fail at once meanwhile, the process stays near idle, and afterwards the instrument hears
// the next note and the program hears the instrument, without reopening anything.
#include "fixtures.h"
#include "line_control.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <vector>

namespace {

using Notifications = std::vector<Notification>;
using Clock = std::chrono::steady_clock;

constexpr DWORD noteOn = 0x00403C90;
// How long the line stays away while the program goes on playing, a note every pacing interval.
constexpr int awayMs = 1500;
constexpr int pacingMs = 100;
// The port is tried again a few times a second; a loaded machine gets this much longer.
constexpr int pickUpDeadlineMs = 5000;

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// CPU time the whole process has used so far, in ms.
long long processCpuMs() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto ms = [](const FILETIME& t) {
        return static_cast<long long>((ULONGLONG{t.dwHighDateTime} << 32 | t.dwLowDateTime) /
                                      10000);
    };
    return ms(kernel) + ms(user);
}

bool anyInputError(const Notifications& told) {
    for (const Notification& n : told) {
        if (n.message == MIM_ERROR || n.message == MIM_CLOSE) {
            return true;
        }
    }
    return false;
}

} // namespace

using LostLine = InputTest;

TEST_F(LostLine, AfterTheLineComesBackTheInstrumentHearsAndIsHeardWithoutReopening) {
    ASSERT_TRUE(lineControlAvailable()) << "MELV_LINE_CONTROL names no control folder";
    OpenedOutput output;
    ASSERT_TRUE(playAlongWith(output));
    takeNotifications();

    ASSERT_TRUE(takeLineAway());
    // The program plays on while the line is away: every send fails at once.
    long long cpuBefore = processCpuMs();
    Clock::time_point awaySince = Clock::now();
    long long longestSendMs = 0;
    int failedSends = 0;
    while (msSince(awaySince) < awayMs) {
        Clock::time_point sent = Clock::now();
        failedSends += driver.sendShort(output, noteOn) != MMSYSERR_NOERROR;
        longestSendMs = std::max(longestSendMs, msSince(sent));
        Sleep(pacingMs);
    }
    long long awayWallMs = msSince(awaySince);
    long long awayCpuMs = processCpuMs() - cpuBefore;
    EXPECT_GE(failedSends, awayMs / pacingMs - 1) << "sends while the line is away fail";
    EXPECT_LT(longestSendMs, 500) << "and they fail at once";
    EXPECT_LT(awayCpuMs * 100, awayWallMs * 10) << "the process stays near idle";
    std::printf("line away %lld ms: process CPU %lld ms (%.1f%%), longest send %lld ms\n",
                awayWallMs, awayCpuMs, 100.0 * awayCpuMs / awayWallMs, longestSendMs);
    EXPECT_FALSE(anyInputError(takeNotifications())) << "the program is told nothing";

    ASSERT_TRUE(bringLineBack());
    ASSERT_TRUE(instrument.reopen());
    // Without reopening anything, the next note reaches the instrument once the port is due to
    // be tried again, announced afresh on the new line.
    Clock::time_point backSince = Clock::now();
    DWORD status = MMSYSERR_ERROR;
    while (status != MMSYSERR_NOERROR && msSince(backSince) < pickUpDeadlineMs) {
        status = driver.sendShort(output, noteOn);
        if (status != MMSYSERR_NOERROR) {
            Sleep(pacingMs / 2);
        }
    }
    long long pickedUpMs = msSince(backSince);
    ASSERT_EQ(status, MMSYSERR_NOERROR) << "the line was not picked up again";
    EXPECT_EQ(instrument.receive(6), "F5 00 FF 90 3C 40");
    std::printf("the line was picked up %lld ms after it came back\n", pickedUpMs);

    // And the program hears the instrument again.
    ASSERT_TRUE(instrument.send({0x90, 0x3E, 0x40}));
    Notifications told = withoutTimes(takeNotifications(1, pickUpDeadlineMs));
    EXPECT_EQ(told, (Notifications{{MIM_DATA, 0x00403E90}}));
    EXPECT_EQ(driver.closeOutput(output), MMSYSERR_NOERROR);
}
