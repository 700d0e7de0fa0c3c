// Output devices as applications reach them: winmm's device list and capabilities, every kind of
// callback, short and long messages, the MIDI mapper and a second application. The wire bytes are
// read at the instrument's end of the line.
#include "client.h"
#include "common/process.h"
#include "instrument_port.h"
#include "melv_version.h"

#include <windows.h>

#include <mmsystem.h>

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr DWORD noteOn = 0x00403C90; // middle C on channel 1, velocity 0x40

std::wstring outputName(UINT device) {
    MIDIOUTCAPSW caps{};
    if (midiOutGetDevCapsW(device, &caps, sizeof caps) != MMSYSERR_NOERROR) {
        return L"(no capabilities)";
    }
    return caps.szPname;
}

class PublicOutput : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(instrument.open()); }

    InstrumentPort instrument;
};

// Another application: this executable started again with `arguments`; its process handle, or
// null.
HANDLE startAgain(const std::wstring& arguments) {
    std::wstring self = programPath();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!startProcess(self.c_str(), L"\"" + self + L"\" " + arguments, false, startup, process)) {
        return nullptr;
    }
    CloseHandle(process.hThread);
    return process.hProcess;
}

// A second application, opening output 0 through winmm.
::testing::AssertionResult openOutputInAnotherProcess(DWORD* status) {
    HANDLE process = startAgain(L"--open-output");
    if (process == nullptr) {
        return ::testing::AssertionFailure()
               << "the second application does not start, error " << GetLastError();
    }
    DWORD waited = WaitForSingleObject(process, 30000);
    GetExitCodeProcess(process, status);
    if (waited != WAIT_OBJECT_0) {
        TerminateProcess(process, 1);
    }
    CloseHandle(process);
    if (waited != WAIT_OBJECT_0) {
        return ::testing::AssertionFailure() << "the second application did not end";
    }
    return ::testing::AssertionSuccess();
}

} // namespace

TEST(SingleOutputDevices, OneOutputAndOneInputNamedAfterThePort) {
    ASSERT_EQ(midiOutGetNumDevs(), 1u) << "winmm does not list the installed driver";
    MIDIOUTCAPSW out{};
    ASSERT_EQ(midiOutGetDevCapsW(0, &out, sizeof out), MMSYSERR_NOERROR);
    EXPECT_EQ(std::wstring(out.szPname), L"MELV PC I/F MIDI Port");
    EXPECT_EQ(out.wPid, 1);
    // The project's version: major in the high byte, minor in the low.
    EXPECT_EQ(out.vDriverVersion, static_cast<DWORD>(MELV_VERSION_MAJOR << 8 | MELV_VERSION_MINOR));
    EXPECT_EQ(out.wTechnology, MOD_MIDIPORT);
    EXPECT_EQ(out.wChannelMask, 0xFFFF);

    ASSERT_EQ(midiInGetNumDevs(), 1u);
    MIDIINCAPSW in{};
    ASSERT_EQ(midiInGetDevCapsW(0, &in, sizeof in), MMSYSERR_NOERROR);
    EXPECT_EQ(std::wstring(in.szPname), L"MELV PC I/F MIDI Port");
    EXPECT_EQ(in.wPid, 2);

    EXPECT_EQ(midiOutGetDevCapsW(1, &out, sizeof out), MMSYSERR_BADDEVICEID);
}

// Each kind of callback a client may choose hears of the open, of its long message being done and
// of the close, in that order, and of nothing else; winmm hands back the header it was given, with
// the client's own fields as they were.
class PublicOutputCallback : public PublicOutput,
                             public ::testing::WithParamInterface<CallbackKind> {};

TEST_P(PublicOutputCallback, OpenLongMessageAndCloseArriveInOrderAndNothingFurther) {
    NotificationLog log;
    ClientCallback client(GetParam(), log);
    bool byEvent = GetParam() == CallbackKind::Event;
    HMIDIOUT output = nullptr;
    ASSERT_EQ(midiOutOpen(&output, 0, client.callback(), client.instance(), client.flags()),
              MMSYSERR_NOERROR);
    if (byEvent) {
        EXPECT_TRUE(client.eventSet()) << "no signal for the open";
    } else {
        EXPECT_EQ(log.take(1), Notifications{{MOM_OPEN}});
    }

    char exclusive[] = {'\xF0', '\x7D', 1, 2, 3, 4, 5, 6, 7, '\xF7'};
    MIDIHDR header{};
    header.lpData = exclusive;
    header.dwBufferLength = sizeof exclusive;
    header.dwUser = 0x5EEDBEEF;
    header.dwOffset = 7;
    ASSERT_EQ(midiOutPrepareHeader(output, &header, sizeof header), MMSYSERR_NOERROR);
    ASSERT_EQ(midiOutLongMsg(output, &header, sizeof header), MMSYSERR_NOERROR);
    EXPECT_EQ(instrument.receive(15), "F5 00 FF F0 7D 01 02 FF 03 04 05 06 FF 07 F7");
    Notification done{MOM_DONE, reinterpret_cast<DWORD_PTR>(&header)};
    if (byEvent) {
        EXPECT_TRUE(client.eventSet()) << "no signal for the long message";
    } else {
        EXPECT_EQ(log.take(1), Notifications{done});
    }
    EXPECT_TRUE(header.dwFlags & MHDR_DONE);
    EXPECT_EQ(header.dwUser, 0x5EEDBEEFu);
    EXPECT_EQ(header.dwOffset, 7u);
    EXPECT_EQ(midiOutUnprepareHeader(output, &header, sizeof header), MMSYSERR_NOERROR);

    ASSERT_EQ(midiOutClose(output), MMSYSERR_NOERROR);
    if (byEvent) {
        EXPECT_TRUE(client.eventSet()) << "no signal for the close";
        EXPECT_FALSE(client.eventSetAgain()) << "a signal after the close";
    } else {
        EXPECT_EQ(log.take(1), Notifications{{MOM_CLOSE}});
    }
    EXPECT_EQ(instrument.receiveStray(), "");
}

INSTANTIATE_TEST_SUITE_P(EveryKind, PublicOutputCallback,
                         ::testing::Values(CallbackKind::Function, CallbackKind::Window,
                                           CallbackKind::Thread, CallbackKind::Event),
                         [](const auto& info) { return callbackName(info.param); });

TEST_F(PublicOutput, ShortMessagesReachOutputZeroOnePacketEachRunningStatusIncluded) {
    HMIDIOUT output = nullptr;
    ASSERT_EQ(midiOutOpen(&output, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutShortMsg(output, noteOn), MMSYSERR_NOERROR);
    EXPECT_EQ(instrument.receive(6), "F5 00 FF 90 3C 40");
    EXPECT_EQ(midiOutShortMsg(output, 0x00403E), MMSYSERR_NOERROR); // running status: E4 on
    EXPECT_EQ(instrument.receive(3), "FF 3E 40");
    EXPECT_EQ(midiOutShortMsg(output, 0x05C1), MMSYSERR_NOERROR); // program 5, channel 2
    EXPECT_EQ(instrument.receive(3), "FF C1 05");
    EXPECT_EQ(midiOutShortMsg(output, 0xF8), MMSYSERR_NOERROR); // clock
    EXPECT_EQ(instrument.receive(2), "FF F8");
    EXPECT_EQ(midiOutClose(output), MMSYSERR_NOERROR);
    EXPECT_EQ(instrument.receiveStray(), "");
}

TEST_F(PublicOutput, AnUnpreparedLongMessageIsRefusedAndSendsNothing) {
    HMIDIOUT output = nullptr;
    ASSERT_EQ(midiOutOpen(&output, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    char exclusive[] = {'\xF0', '\x7D', '\xF7'};
    MIDIHDR header{};
    header.lpData = exclusive;
    header.dwBufferLength = sizeof exclusive;
    EXPECT_EQ(midiOutLongMsg(output, &header, sizeof header), MIDIERR_UNPREPARED);
    EXPECT_EQ(header.dwFlags, 0u);
    EXPECT_EQ(midiOutClose(output), MMSYSERR_NOERROR);
    EXPECT_EQ(instrument.receiveStray(), "");
}

TEST_F(PublicOutput, TheMidiMapperPlaysOnOutputZero) {
    HMIDIOUT mapper = nullptr;
    ASSERT_EQ(midiOutOpen(&mapper, MIDI_MAPPER, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutShortMsg(mapper, noteOn), MMSYSERR_NOERROR);
    EXPECT_EQ(instrument.receive(6), "F5 00 FF 90 3C 40");
    EXPECT_EQ(midiOutShortMsg(mapper, 0x00003C80), MMSYSERR_NOERROR);
    EXPECT_EQ(instrument.receive(4), "FF 80 3C 00");
    EXPECT_EQ(midiOutClose(mapper), MMSYSERR_NOERROR);
    EXPECT_EQ(instrument.receiveStray(), "");
}

// As some client libraries do: the program closes the device again from its close notification.
void CALLBACK closeAgainWhenClosed(HANDLE device, UINT message, DWORD_PTR instance, DWORD_PTR,
                                   DWORD_PTR) {
    auto& answers = *reinterpret_cast<std::vector<MMRESULT>*>(instance);
    if (message == MOM_CLOSE) {
        answers.push_back(midiOutClose(static_cast<HMIDIOUT>(device)));
    } else if (message == MIM_CLOSE) {
        answers.push_back(midiInClose(static_cast<HMIDIIN>(device)));
    }
}

TEST_F(PublicOutput, AProgramClosingAgainFromItsCloseNotificationsIsToldOnceAndGoesOn) {
    std::vector<MMRESULT> answers;
    auto callback = reinterpret_cast<DWORD_PTR>(closeAgainWhenClosed);
    auto instance = reinterpret_cast<DWORD_PTR>(&answers);
    HMIDIOUT output = nullptr;
    HMIDIIN input = nullptr;
    ASSERT_EQ(midiOutOpen(&output, 0, callback, instance, CALLBACK_FUNCTION), MMSYSERR_NOERROR);
    ASSERT_EQ(midiInOpen(&input, 0, callback, instance, CALLBACK_FUNCTION), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutClose(output), MMSYSERR_NOERROR);
    EXPECT_EQ(midiInClose(input), MMSYSERR_NOERROR);
    ASSERT_EQ(answers.size(), 2u) << "one close notification each";
    EXPECT_NE(answers[0], MMSYSERR_NOERROR);
    EXPECT_NE(answers[1], MMSYSERR_NOERROR);
    // Each device was closed once, and opens again.
    ASSERT_EQ(midiInOpen(&input, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_EQ(midiInClose(input), MMSYSERR_NOERROR);
    ASSERT_EQ(midiOutOpen(&output, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutShortMsg(output, noteOn), MMSYSERR_NOERROR);
    EXPECT_EQ(instrument.receive(6), "F5 00 FF 90 3C 40");
    EXPECT_EQ(midiOutClose(output), MMSYSERR_NOERROR);
}

TEST_F(PublicOutput, AnOpenDeviceIsRefusedToTheSameProgramAndClosingOneLeavesTheOther) {
    HMIDIOUT output = nullptr;
    HMIDIIN input = nullptr;
    ASSERT_EQ(midiOutOpen(&output, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    ASSERT_EQ(midiInOpen(&input, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    HMIDIOUT secondOutput = nullptr;
    HMIDIIN secondInput = nullptr;
    EXPECT_EQ(midiOutOpen(&secondOutput, 0, 0, 0, CALLBACK_NULL), MMSYSERR_ALLOCATED);
    EXPECT_EQ(midiInOpen(&secondInput, 0, 0, 0, CALLBACK_NULL), MMSYSERR_ALLOCATED);
    EXPECT_EQ(midiInClose(input), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutShortMsg(output, noteOn), MMSYSERR_NOERROR);
    EXPECT_EQ(instrument.receive(6), "F5 00 FF 90 3C 40");
    EXPECT_EQ(midiOutClose(output), MMSYSERR_NOERROR);
}

TEST_F(PublicOutput, ASecondApplicationIsRefusedWhileThePortIsHeldAndAdmittedAfterClose) {
    HMIDIOUT output = nullptr;
    ASSERT_EQ(midiOutOpen(&output, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    DWORD status = 0;
    ASSERT_TRUE(openOutputInAnotherProcess(&status));
    EXPECT_EQ(status, static_cast<DWORD>(MMSYSERR_ALLOCATED));

    ASSERT_EQ(midiOutClose(output), MMSYSERR_NOERROR);
    ASSERT_TRUE(openOutputInAnotherProcess(&status));
    EXPECT_EQ(status, static_cast<DWORD>(MMSYSERR_NOERROR));
}

// Another program stopped in the middle of taking or leaving the instrument (in a debugger, or hung
// in a serial driver) holds up an open for one bounded wait, and the lock it left behind when it
// was ended is taken over.
TEST_F(PublicOutput, AnOpenWhileAnotherProgramIsStuckInTheOwnerLockIsRefusedWithinSixSeconds) {
    std::string readyName = "melv-api-tests-lock-" + std::to_string(GetCurrentProcessId());
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, readyName.c_str());
    HANDLE holder =
        startAgain(L"--hold-owner-lock " + std::wstring(readyName.begin(), readyName.end()));
    ASSERT_NE(holder, nullptr);
    EXPECT_EQ(WaitForSingleObject(ready, 30000), WAIT_OBJECT_0) << "the lock was not taken";
    CloseHandle(ready);

    HMIDIOUT output = nullptr;
    DWORD start = GetTickCount();
    EXPECT_EQ(midiOutOpen(&output, 0, 0, 0, CALLBACK_NULL), MMSYSERR_ALLOCATED);
    EXPECT_LT(GetTickCount() - start, 6000u);

    TerminateProcess(holder, 1);
    WaitForSingleObject(holder, 30000);
    CloseHandle(holder);
    ASSERT_EQ(midiOutOpen(&output, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutClose(output), MMSYSERR_NOERROR);
}

struct CloseWhenDone {
    HANDLE done;
    HMIDIOUT output;
    MMRESULT status;
};

DWORD WINAPI closeWhenDone(void* context) {
    auto& closer = *static_cast<CloseWhenDone*>(context);
    if (WaitForSingleObject(closer.done, 10000) == WAIT_OBJECT_0) {
        closer.status = midiOutClose(closer.output);
    }
    return 0;
}

// A program with an event callback closes on another thread as soon as its long message is done,
// while the call that told it is still returning.
TEST_F(PublicOutput, AProgramClosingOnAnotherThreadWhenToldDoneIsNeverRefused) {
    HANDLE done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    char exclusive[] = {'\xF0', '\x7D', '\xF7'};
    for (int attempt = 0; attempt < 100; ++attempt) {
        CloseWhenDone closer = {done, nullptr, MMSYSERR_ERROR};
        ASSERT_EQ(
            midiOutOpen(&closer.output, 0, reinterpret_cast<DWORD_PTR>(done), 0, CALLBACK_EVENT),
            MMSYSERR_NOERROR);
        ASSERT_EQ(WaitForSingleObject(done, 5000), WAIT_OBJECT_0) << "no signal for the open";
        MIDIHDR header{};
        header.lpData = exclusive;
        header.dwBufferLength = sizeof exclusive;
        ASSERT_EQ(midiOutPrepareHeader(closer.output, &header, sizeof header), MMSYSERR_NOERROR);
        HANDLE thread = CreateThread(nullptr, 0, closeWhenDone, &closer, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        EXPECT_EQ(midiOutLongMsg(closer.output, &header, sizeof header), MMSYSERR_NOERROR);
        ASSERT_EQ(WaitForSingleObject(thread, 20000), WAIT_OBJECT_0);
        CloseHandle(thread);
        ASSERT_EQ(closer.status, MMSYSERR_NOERROR) << "refused at attempt " << attempt;
        ASSERT_EQ(instrument.receive(6), "F5 00 FF F0 7D F7");
    }
    CloseHandle(done);
}

TEST(IndependentOutputs, FourOutputsEachWithItsDestinationsName) {
    ASSERT_EQ(midiOutGetNumDevs(), 4u);
    EXPECT_EQ(outputName(0), L"MELV PC I/F Default MIDI");
    EXPECT_EQ(outputName(1), L"MELV PC I/F MIDI Out");
    EXPECT_EQ(outputName(2), L"MELV PC I/F Synth-A");
    EXPECT_EQ(outputName(3), L"MELV PC I/F Synth-B");
    MIDIINCAPSW in{};
    ASSERT_EQ(midiInGetDevCapsW(0, &in, sizeof in), MMSYSERR_NOERROR);
    EXPECT_EQ(std::wstring(in.szPname), L"MELV PC I/F MIDI Port");
}

// A synth output takes its bytes raw after its destination select, a MIDI output in packets; both
// may be open at once in one application.
TEST(IndependentOutputs, SynthOutputsTakeRawBytesAndMidiOutputsPackets) {
    InstrumentPort instrument;
    ASSERT_TRUE(instrument.open());
    HMIDIOUT synth = nullptr, midiOut = nullptr;
    ASSERT_EQ(midiOutOpen(&synth, 2, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    ASSERT_EQ(midiOutOpen(&midiOut, 1, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);

    EXPECT_EQ(midiOutShortMsg(synth, noteOn), MMSYSERR_NOERROR);
    EXPECT_EQ(instrument.receive(5), "F5 02 90 3C 40");
    char exclusive[] = {'\xF0', '\x7D', 1, 2, 3, 4, '\xF7'};
    MIDIHDR header{};
    header.lpData = exclusive;
    header.dwBufferLength = sizeof exclusive;
    ASSERT_EQ(midiOutPrepareHeader(synth, &header, sizeof header), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutLongMsg(synth, &header, sizeof header), MMSYSERR_NOERROR);
    EXPECT_EQ(instrument.receive(7), "F0 7D 01 02 03 04 F7");
    midiOutUnprepareHeader(synth, &header, sizeof header);

    EXPECT_EQ(midiOutShortMsg(midiOut, noteOn), MMSYSERR_NOERROR);
    EXPECT_EQ(instrument.receive(6), "F5 01 FF 90 3C 40");
    EXPECT_EQ(midiOutShortMsg(synth, 0x00003C80), MMSYSERR_NOERROR);
    EXPECT_EQ(instrument.receive(5), "F5 02 80 3C 00");

    EXPECT_EQ(midiOutClose(synth), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutClose(midiOut), MMSYSERR_NOERROR);
    EXPECT_EQ(instrument.receiveStray(), "");
}
