// A second process that uses the driver: this executable started again in a child role. The
// child loads the driver on its own, exactly as a second application would.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Exit code of a child whose driver did not load, and of one that heard nothing it waited for; the
// other codes are the driver's status, or the system's code for a crash.
constexpr DWORD childLoadFailed = 0x100;
constexpr DWORD childNothingHeard = 0x101;

// Child roles, selected by the first argument:
//   --open-output          opens output 0, closes it again when that worked, and exits with
//                          the open's status.
//   --open-input           the same with input 0.
//   --hold-output EVENT    opens output 0, sets the named event and waits until it is killed;
//                          exits with the open's status if the open fails.
//   --unload-with-input-open EVENT
//                          opens and starts input 0, frees the driver without closing it, sets the
//                          named event and exits with 0 once the instrument's Note On 0x90 0x3C
//                          0x40 has arrived, or childNothingHeard after a deadline.
//   --send-output N PACKED opens output N, sends the short message PACKED (hex), closes it and
//                          exits with the first status that was not MMSYSERR_NOERROR, else 0.
//   --race-output NAME     loads the driver, releases the semaphore NAME-ready, waits for the
//                          event NAME-go, opens output 0, releases NAME-decided, waits for the
//                          event NAME-release, closes what it opened and exits with the open's
//                          status: one contender of many opening at the same moment.
bool isChildRole(int argc, char** argv);
int runChildRole(int argc, char** argv);

class ChildProcess {
  public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // A child still running when the test ends is killed, so no test leaves the driver loaded.
    ~ChildProcess();

    // Starts this executable in a child role, or `executable` (the test host of the other bitness).
    ::testing::AssertionResult start(const std::wstring& arguments,
                                     const std::wstring& executable = {});
    // Waits for the child to end on its own and reports its exit code.
    ::testing::AssertionResult exited(DWORD* exitCode);
    // Waits until `event` is set, failing early if the child ends first.
    ::testing::AssertionResult signalled(HANDLE event);
    ::testing::AssertionResult kill();

  private:
    HANDLE process_ = nullptr;
};

// The test host of the other bitness, which loads the driver of its own bitness from beside it:
// run-wine-tests.sh names it in MELV_OTHER_BITNESS_HOST. Empty when the variable is not set.
std::wstring otherBitnessHost();

// The driver's status as a second process sees it when opening output 0, or input 0.
::testing::AssertionResult openOutputInAnotherProcess(DWORD* status);
::testing::AssertionResult openInputInAnotherProcess(DWORD* status);

// Starts `contenders` processes, every second one of the other bitness when its host is known,
// lets them open output 0 at the same moment and gives the status each was answered.
::testing::AssertionResult raceForOutput(int contenders, std::vector<DWORD>* statuses);
