// The check program that ships with the driver (melv-demo.exe), run as a user runs it after
// installing: it finds the devices through winmm and says in plain words what is wrong.
#include "client.h"
#include "common/process.h"
#include "instrument_port.h"

#include <windows.h>

#include <mmsystem.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

struct ProgramRun {
    DWORD exitCode = 0;
    std::string output;
};

// Runs the check program of this build (demo\melv-demo.exe beside this host's own folder) and
// collects what it prints; once it has printed `cue`, `atCue` runs, as a user who acts on what
// the program says.
::testing::AssertionResult runCheckProgram(const std::wstring& arguments, ProgramRun* run,
                                           const char* cue = nullptr,
                                           const std::function<void()>& atCue = {}) {
    std::wstring program = besideProgram(L"..\\demo\\melv-demo.exe");
    std::wstring command = L"\"" + program + L"\" " + arguments;

    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) {
        return ::testing::AssertionFailure() << "no pipe, error " << GetLastError();
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = writeEnd;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION process{};
    bool started = startProcess(program.c_str(), command, true, startup, process);
    CloseHandle(writeEnd);
    if (!started) {
        CloseHandle(readEnd);
        return ::testing::AssertionFailure()
               << "the check program does not start, error " << GetLastError();
    }
    // Reads while the program runs and what is left once it has ended, rather than up to the
    // pipe's end: a Wine helper that the program starts (the desktop process) inherits the write
    // end and keeps it open after the program has gone.
    DWORD waited = WAIT_TIMEOUT;
    bool cued = false;
    for (DWORD start = GetTickCount(); GetTickCount() - start < 30000;) {
        waited = WaitForSingleObject(process.hProcess, 20);
        DWORD available = 0;
        char chunk[512];
        DWORD got = 0;
        while (PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
               ReadFile(readEnd, chunk, sizeof chunk, &got, nullptr) && got > 0) {
            run->output.append(chunk, got);
        }
        if (cue != nullptr && !cued && run->output.find(cue) != std::string::npos) {
            cued = true;
            atCue();
        }
        if (waited == WAIT_OBJECT_0) {
            break;
        }
    }
    CloseHandle(readEnd);
    GetExitCodeProcess(process.hProcess, &run->exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (waited != WAIT_OBJECT_0) {
        return ::testing::AssertionFailure() << "the check program did not end";
    }
    return ::testing::AssertionSuccess();
}

bool says(const ProgramRun& run, const char* text) {
    return run.output.find(text) != std::string::npos;
}

class CheckProgram : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(instrument.open()); }

    InstrumentPort instrument;
};

} // namespace

TEST_F(CheckProgram, ShowsWhatTheInstrumentSendsAndThatAllIsWell) {
    // The user plays once the program listens; what the line held before is not the
    // instrument's answer.
    ProgramRun run;
    ASSERT_TRUE(runCheckProgram(L"--listen 1", &run, "listening for", [&] {
        EXPECT_TRUE(instrument.send({0x90, 0x3C, 0x40}));
    }));
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_TRUE(says(run, "output 0: MELV PC I/F MIDI Port")) << run.output;
    EXPECT_TRUE(says(run, "in  Note On ch 1 C4 vel 64 at ")) << run.output;
    EXPECT_TRUE(says(run, "the driver and the connection work")) << run.output;
}

TEST_F(CheckProgram, SaysSoWhenNothingArrivesFromTheInstrument) {
    ProgramRun run;
    ASSERT_TRUE(runCheckProgram(L"--listen 1", &run));
    EXPECT_EQ(run.exitCode, 6u) << run.output;
    EXPECT_TRUE(says(run, "Nothing arrived from the instrument")) << run.output;
    EXPECT_TRUE(says(run, "COM1")) << run.output;
}

TEST_F(CheckProgram, SaysSoWhenAnotherProgramHasTheInstrument) {
    HMIDIOUT held = nullptr;
    ASSERT_EQ(midiOutOpen(&held, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    ProgramRun run;
    ASSERT_TRUE(runCheckProgram(L"--listen 1", &run));
    midiOutClose(held);
    EXPECT_EQ(run.exitCode, 4u) << run.output;
    std::string holder = "using the instrument right now: melv_api_tests.exe (process " +
                         std::to_string(GetCurrentProcessId()) + ")";
    EXPECT_TRUE(says(run, holder.c_str())) << run.output;
}
