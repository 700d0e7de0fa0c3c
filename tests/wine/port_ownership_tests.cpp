// The serial port belongs to one process at a time. Under Wine a second CreateFileW of COM1
// succeeds, so these refusals come from the driver's own owner rule alone.
#include "child_process.h"
#include "fixtures.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

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

// A program that frees the driver with an output still open, and goes on running, leaves the
// instrument free at once: for other programs, and for the driver loaded again.
TEST_F(PortOwnership, ADriverFreedWithAnOutputOpenLetsThePortGo) {
    OpenedOutput output;
    ASSERT_EQ(driver.openOutput(0, &output), MMSYSERR_NOERROR);
    // The shared record outlives the unload while any other program has the driver loaded.
    HANDLE otherProgramsView =
        OpenFileMappingW(FILE_MAP_READ, FALSE, L"Local\\MELV-PCIF-MIDI-Driver-State-1");
    ASSERT_NE(otherProgramsView, nullptr);
    driver.unload();
    DWORD status = 0;
    ASSERT_TRUE(openOutputInAnotherProcess(&status));
    EXPECT_EQ(status, MMSYSERR_NOERROR);
    ASSERT_TRUE(driver.load());
    EXPECT_EQ(driver.openOutput(0, &output), MMSYSERR_NOERROR);
    EXPECT_EQ(driver.closeOutput(output), MMSYSERR_NOERROR);
    CloseHandle(otherProgramsView);
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

namespace {

// The string form of the access-allowed SIDs in the object's DACL, in order; "" when the object or
// its security cannot be read.
std::vector<std::string> allowedSids(HANDLE object) {
    std::vector<std::string> sids;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (object == nullptr ||
        GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                        &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return {""};
    }
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        LPSTR text = nullptr;
        if (GetAce(dacl, i, &ace) &&
            static_cast<ACE_HEADER*>(ace)->AceType == ACCESS_ALLOWED_ACE_TYPE &&
            ConvertSidToStringSidA(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart, &text)) {
            sids.emplace_back(text);
            LocalFree(text);
        }
    }
    LocalFree(descriptor);
    return sids;
}

std::string userSid() {
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    alignas(TOKEN_USER) BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    LPSTR text = nullptr;
    std::string sid;
    if (GetTokenInformation(token, TokenUser, user, sizeof user, &size) &&
        ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &text)) {
        sid = text;
        LocalFree(text);
    }
    CloseHandle(token);
    return sid;
}

} // namespace

// A program run as administrator may be the first to load the driver: what it makes must still
// be open to the same user's other programs, and to nobody else.
TEST_F(PortOwnership, TheSharedRecordAndOwnerLockAreMadeForTheUserAndTheSystemOnly) {
    HANDLE record = OpenFileMappingW(READ_CONTROL, FALSE, L"Local\\MELV-PCIF-MIDI-Driver-State-1");
    HANDLE lock = OpenMutexW(READ_CONTROL, FALSE, L"Local\\MELV-PCIF-MIDI-Driver-Owner-1");
    std::vector<std::string> expected = {"S-1-5-18", userSid()};
    EXPECT_EQ(allowedSids(record), expected);
    EXPECT_EQ(allowedSids(lock), expected);
    CloseHandle(record);
    CloseHandle(lock);
}
