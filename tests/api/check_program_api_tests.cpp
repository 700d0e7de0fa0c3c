// The check program that ships with the driver (melv-toolbox.exe), run as a user runs it after
// installing: it finds the devices through winmm and says in plain words what is wrong.
#include "client.h"
#include "common/hex.h"
#include "common/process.h"
#include "instrument_port.h"
#include "line/shared_state.h"
#include "monitor/monitor.h"
#include "monitor_window.h"

#include <windows.h>

#include <aclapi.h>
#include <commctrl.h>
#include <mmsystem.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

namespace {

struct ProgramRun {
    DWORD exitCode = 0;
    std::string output;
};

std::wstring ownCheckProgram() {
    return besideProgram(L"..\\toolbox\\melv-toolbox.exe");
}

// Runs the check program (of this build, unless named) and collects what it prints; once it has
// printed `cue`, `atCue` runs with the program's process, as a user who acts on what the program
// says.
::testing::AssertionResult runCheckProgram(const std::wstring& arguments, ProgramRun* run,
                                           const char* cue = nullptr,
                                           const std::function<void(HANDLE)>& atCue = {},
                                           const std::wstring& program = ownCheckProgram()) {
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
            atCue(process.hProcess);
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

// The records every driver of this session maps: the settings in force and what it tells a
// monitor.
template <typename Record> Record* mapRecord(const char16_t* name) {
    HANDLE mapping = OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE,
                                      reinterpret_cast<const wchar_t*>(name));
    void* view = mapping == nullptr
                     ? nullptr
                     : MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(Record));
    return static_cast<Record*>(view); // kept for the test host's life, as the driver keeps it
}

// Whether the record named so is labelled medium integrity, closed to reads and writes from below.
bool closedToSandboxedPrograms(const char16_t* name) {
    HANDLE mapping = OpenFileMappingW(READ_CONTROL, FALSE, reinterpret_cast<const wchar_t*>(name));
    PACL labels = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    bool closed = mapping != nullptr &&
                  GetSecurityInfo(mapping, SE_KERNEL_OBJECT, LABEL_SECURITY_INFORMATION, nullptr,
                                  nullptr, nullptr, &labels, &descriptor) == ERROR_SUCCESS;
    void* ace = nullptr;
    closed = closed && labels != nullptr && GetAce(labels, 0, &ace) &&
             static_cast<ACE_HEADER*>(ace)->AceType == SYSTEM_MANDATORY_LABEL_ACE_TYPE &&
             static_cast<SYSTEM_MANDATORY_LABEL_ACE*>(ace)->Mask ==
                 (SYSTEM_MANDATORY_LABEL_NO_WRITE_UP | SYSTEM_MANDATORY_LABEL_NO_READ_UP);
    LocalFree(descriptor);
    if (mapping != nullptr) {
        CloseHandle(mapping);
    }
    return closed;
}

std::string fileText(const std::wstring& path) {
    std::ifstream file{std::filesystem::path(path)};
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// Whether the lines are found in the text in this order.
::testing::AssertionResult inOrder(const std::string& text, const std::vector<std::string>& lines) {
    size_t at = 0;
    for (const std::string& line : lines) {
        at = text.find(line, at);
        if (at == std::string::npos) {
            return ::testing::AssertionFailure() << "no \"" << line << "\" in order in:\n" << text;
        }
    }
    return ::testing::AssertionSuccess();
}

std::wstring temporaryFile(const wchar_t* name) {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    return std::wstring(folder) + name;
}

std::wstring syxFile(const wchar_t* name, const std::vector<unsigned char>& bytes) {
    std::wstring path = temporaryFile(name);
    std::ofstream{std::filesystem::path(path), std::ios::binary}.write(
        reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}

// A chunk of what the instrument's end read, and when, by the performance counter in ms.
struct Arrival {
    double ms;
    std::string hex;
};

double nowMs() {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// What the instrument hears within seconds, read until it makes as many messages as a panic.
WireMessages heardPanic(InstrumentPort& instrument) {
    std::string wire;
    for (DWORD start = GetTickCount();
         decodeWire(wire).size() < panicMessages().size() && GetTickCount() - start < 10000;) {
        std::string more = instrument.receiveSome(1024);
        wire += (wire.empty() || more.empty() ? "" : " ") + more;
    }
    return decodeWire(wire);
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
    ASSERT_TRUE(runCheckProgram(L"--listen 1", &run, "listening for", [&](HANDLE) {
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

// The check and the panic alike: neither takes the instrument from the program that has it.
TEST_F(CheckProgram, SaysSoWhenAnotherProgramHasTheInstrument) {
    HMIDIOUT held = nullptr;
    ASSERT_EQ(midiOutOpen(&held, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    std::wstring syx = syxFile(L"melv-held.syx", {0xF0, 0x7D, 0x01, 0xF7});
    ProgramRun check, panic, send, receive;
    ASSERT_TRUE(runCheckProgram(L"--listen 1", &check));
    ASSERT_TRUE(runCheckProgram(L"--panic", &panic));
    ASSERT_TRUE(runCheckProgram(L"--send-syx \"" + syx + L"\"", &send));
    ASSERT_TRUE(runCheckProgram(L"--receive-syx \"" + syx + L"\" --timeout 1", &receive));
    midiOutClose(held);
    std::string holder = "using the instrument right now: melv_api_tests.exe (process " +
                         std::to_string(GetCurrentProcessId()) + ")";
    for (const ProgramRun& run : {check, panic, send, receive}) {
        EXPECT_EQ(run.exitCode, 4u) << run.output;
        EXPECT_TRUE(says(run, holder.c_str())) << run.output;
    }
    EXPECT_EQ(instrument.receiveStray(), "") << "the panic went out beside the holder";
}

// A note that keeps sounding after a program crashed: the panic turns off every note and pedal on
// every channel of each of the instrument's destinations, in one-output mode too.
TEST_F(CheckProgram, ThePanicTurnsOffEveryChannelOfEveryDestination) {
    ProgramRun run;
    ASSERT_TRUE(runCheckProgram(L"--panic", &run));
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_TRUE(says(run, "All notes and sustain pedals are off")) << run.output;
    EXPECT_EQ(heardPanic(instrument), panicMessages());
}

// A 32-bit program's traffic is watched by the 64-bit monitor: the run names the first build's.
TEST_F(CheckProgram, TheMonitorShowsWhatAProgramSendsAndIsSentInOrderAndLooksOnly) {
    auto* settings = mapRecord<SharedState>(sharedStateName);
    auto* record = mapRecord<MonitorRecord>(monitorRecordName);
    ASSERT_TRUE(settings != nullptr && record != nullptr) << "this host has loaded the driver";
    EXPECT_TRUE(closedToSandboxedPrograms(monitorRecordName));
    uint16_t mask = messageMask(*settings);
    setMessageMask(*settings, mask & ~(1u << messageBit(kindProgramChange, midiKindsAt)));
    uint64_t dropped = figure(*record, droppedCount(kindProgramChange));
    uint64_t lost = figure(*record, Count::exclusivesLost);
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    std::wstring log = std::wstring(folder) + L"melv-monitor.txt";
    const char* monitorPath = std::getenv("MELV_MONITOR_PROGRAM");
    std::wstring monitor = monitorPath == nullptr
                               ? ownCheckProgram()
                               : std::wstring(monitorPath, monitorPath + strlen(monitorPath));
    std::string me = "melv_api_tests.exe (" + std::to_string(GetCurrentProcessId()) + ")";
    ProgramRun run, status;
    ASSERT_TRUE(runCheckProgram(
        L"--monitor --log \"" + log + L"\"", &run, "Ctrl+C ends",
        [&](HANDLE watching) {
            HMIDIOUT out = nullptr;
            HMIDIIN in = nullptr;
            ASSERT_EQ(midiOutOpen(&out, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
            EXPECT_EQ(midiOutShortMsg(out, 0x00403C90), MMSYSERR_NOERROR);
            EXPECT_EQ(midiOutShortMsg(out, 0x000005C0), MMSYSERR_NOERROR);
            char gmOn[] = {'\xF0', '\x7E', '\x7F', '\x09', '\x01', '\xF7'};
            MIDIHDR header{gmOn, sizeof gmOn};
            midiOutPrepareHeader(out, &header, sizeof header);
            EXPECT_EQ(midiOutLongMsg(out, &header, sizeof header), MMSYSERR_NOERROR);
            midiOutUnprepareHeader(out, &header, sizeof header);
            ASSERT_EQ(midiInOpen(&in, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
            EXPECT_EQ(midiInStart(in), MMSYSERR_NOERROR); // and no buffer for an exclusive
            EXPECT_TRUE(instrument.send({0xF0, 0x7D, 0x01, 0xF7, 0x90, 0x3E, 0x50}));
            for (DWORD start = GetTickCount();
                 GetTickCount() - start < 10000 &&
                 fileText(log).find("D4 vel 80") == std::string::npos;) {
                Sleep(20);
            }
            // Killed in the middle of it all, the monitor costs the program nothing.
            TerminateProcess(watching, 9);
            WaitForSingleObject(watching, 5000);
            EXPECT_EQ(midiOutShortMsg(out, 0x00403E80), MMSYSERR_NOERROR);
            EXPECT_EQ(decodeWire(instrument.receive(18)),
                      (WireMessages{onOutput(0, "90 3C 40"), onOutput(0, "F0 7E 7F 09 01 F7"),
                                    onOutput(0, "80 3E 40")}));
            EXPECT_TRUE(runCheckProgram(L"--status", &status, nullptr, {}, monitor));
            midiInReset(in);
            midiInClose(in);
            midiOutClose(out);
        },
        monitor));
    setMessageMask(*settings, mask);
    EXPECT_TRUE(inOrder(
        fileText(log),
        {"open  " + me + " opened Default MIDI",
         "out   " + me + " > Default MIDI  Note On ch 1 C4 vel 64",
         "out   " + me +
             " > Default MIDI  dropped by the Program Change filter of the settings: "
             "Program Change ch 1 prog 5",
         "out   " + me + " > Default MIDI  SysEx 6 bytes F0 7E 7F 09 01 F7",
         "open  " + me + " opened the input",
         "in    " + me + " < instrument  SysEx 4 bytes F0 7D 01 F7 LOST: the program had no buffer",
         "in    " + me + " < instrument  Note On ch 1 D4 vel 80"}));
    EXPECT_EQ(figure(*record, droppedCount(kindProgramChange)), dropped + 1);
    EXPECT_EQ(figure(*record, Count::exclusivesLost), lost + 1);
    EXPECT_TRUE(inOrder(status.output,
                        {"mode: one program at a time", "line: up",
                         me + ": Default MIDI, the input", "dropped by the settings' filters: "}))
        << status.output;
}

// A restore: the file's exclusives reach the instrument byte for byte, each followed by the pause
// the user asked for, the longer one in packets that follow each other at once.
TEST_F(CheckProgram, TheLibrarianSendsAFilesExclusivesWithThePauseAfterEach) {
    std::vector<unsigned char> first = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
    std::vector<unsigned char> second(600, 0x11), third = {0xF0, 0x7D, 0x02, 0x03, 0xF7};
    second.front() = 0xF0, second.back() = 0xF7;
    std::vector<unsigned char> file = first;
    file.insert(file.end(), second.begin(), second.end());
    file.insert(file.end(), third.begin(), third.end());
    std::wstring syx = syxFile(L"melv-restore.syx", file);
    // A second file that is not exclusives: neither file is sent.
    std::wstring broken = syxFile(L"melv-broken.syx", {0xF0, 0x7D, 0x90, 0x3C, 0xF7});
    ProgramRun refused;
    ASSERT_TRUE(runCheckProgram(L"--send-syx \"" + syx + L"\" \"" + broken + L"\"", &refused));
    EXPECT_EQ(refused.exitCode, 8u) << refused.output;
    EXPECT_TRUE(says(refused, "melv-broken.syx is not sent, nor any other file: status byte 90 at "
                              "byte 2 inside the exclusive that starts at byte 0"))
        << refused.output;
    EXPECT_EQ(instrument.receiveStray(), "");
    // The instrument's end reads as the bytes come, each chunk with its time.
    std::vector<Arrival> arrivals;
    std::thread reading([&] {
        std::string wire;
        for (double start = nowMs();
             decodeWire(wire, true).size() < 3 && nowMs() - start < 20000;) {
            std::string more = instrument.receiveSome(1024);
            if (!more.empty()) {
                arrivals.push_back({nowMs(), more});
                wire += (wire.empty() ? "" : " ") + more;
            }
        }
    });
    ProgramRun run;
    bool ran = runCheckProgram(L"--send-syx \"" + syx + L"\" --pause 100", &run);
    reading.join();
    ASSERT_TRUE(ran);
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_TRUE(says(run, "Sent 3 exclusives, 611 bytes, to MELV PC I/F MIDI Port")) << run.output;
    // When each exclusive's F7 and the next one's F0 arrived: no other byte on the wire is either.
    std::string wire;
    std::vector<double> ends, starts;
    for (const Arrival& arrival : arrivals) {
        wire += (wire.empty() ? "" : " ") + arrival.hex;
        for (size_t at = 0; at < arrival.hex.size(); at += 3) {
            std::string byte = arrival.hex.substr(at, 2);
            if (byte == "F7") {
                ends.push_back(arrival.ms);
            } else if (byte == "F0") {
                starts.push_back(arrival.ms);
            }
        }
    }
    EXPECT_EQ(decodeWire(wire), (WireMessages{onOutput(0, hexBytes(first.data(), first.size())),
                                              onOutput(0, hexBytes(second.data(), second.size())),
                                              onOutput(0, hexBytes(third.data(), third.size()))}));
    ASSERT_EQ(ends.size(), 3u);
    ASSERT_EQ(starts.size(), 3u);
    // Read at the instrument's end, which may take an F7 late on a busy machine, so the gap it
    // sees may be shorter than the pause by as much: 15 ms are allowed for that. The librarian
    // counts the pause itself by the performance counter from the end of the driver's write.
    for (size_t gap = 0; gap < 2; ++gap) {
        EXPECT_GE(starts[gap + 1] - ends[gap], 85.0) << "after exclusive " << gap + 1;
    }
}

// A backup: a long dump, asked for by a request typed in hex, is saved as it was sent. Its two
// messages together are more than the buffers the librarian queues at once.
TEST_F(CheckProgram, TheLibrarianSavesALongDumpAsTheInstrumentSentIt) {
    std::vector<unsigned char> dump(40000);
    for (size_t at = 0; at < dump.size(); ++at) {
        dump[at] = static_cast<unsigned char>(at % 0x80);
    }
    dump.front() = 0xF0, dump[1] = 0x7D, dump.back() = 0xF7;
    std::wstring saved = temporaryFile(L"melv-backup.syx");
    DeleteFileW(saved.c_str());
    std::string request;
    ProgramRun run;
    ASSERT_TRUE(runCheckProgram(L"--receive-syx \"" + saved +
                                    L"\" --request \"F0 7E 7F 06 01 F7\" --timeout 2",
                                &run, "Recording what the instrument sends", [&](HANDLE) {
                                    request = instrument.receive(10);
                                    EXPECT_TRUE(instrument.send(dump));
                                    Sleep(500);
                                    EXPECT_TRUE(instrument.send(dump));
                                }));
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_EQ(decodeWire(request), (WireMessages{onOutput(0, "F0 7E 7F 06 01 F7")}));
    EXPECT_TRUE(inOrder(run.output, {"1: 40000 bytes at ", "2: 40000 bytes at ",
                                     "Saved 2 exclusives, 80000 bytes"}));
    std::ifstream file{std::filesystem::path(saved), std::ios::binary};
    std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(file), {}};
    std::vector<unsigned char> both = dump;
    both.insert(both.end(), dump.begin(), dump.end());
    EXPECT_TRUE(bytes == both) << "saved " << bytes.size() << " bytes";
}

namespace {

// Waits for the list to hold `count` rows; the rows it holds.
int waitForRows(HWND list, int count) {
    int rows = 0;
    for (DWORD start = GetTickCount(); GetTickCount() - start < 10000; Sleep(20)) {
        rows = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
        if (rows == count) {
            break;
        }
    }
    return rows;
}

// The toolbox's window for one test; should the test end without closing it, it is ended.
struct MonitorWindowRun {
    PROCESS_INFORMATION process{};
    HWND window = nullptr;
    ~MonitorWindowRun() {
        if (process.hProcess != nullptr) {
            TerminateProcess(process.hProcess, 1);
            toolboxExitCode(process, 5000);
        }
    }
};

// Starts the window and finds it once it shows, made whole: whether it did.
bool startMonitorWindow(MonitorWindowRun& run) {
    if (!startToolbox(L"--window", run.process)) {
        run.process = {};
        return false;
    }
    for (DWORD start = GetTickCount(); GetTickCount() - start < 20000; Sleep(20)) {
        run.window = FindWindowW(monitorWindowClass, nullptr);
        if (run.window != nullptr && IsWindowVisible(run.window)) {
            return true;
        }
    }
    return false;
}

// Closes the window as its user does: answers its exit code.
DWORD closeMonitorWindow(MonitorWindowRun& run) {
    PostMessageW(run.window, WM_CLOSE, 0, 0);
    DWORD exitCode = toolboxExitCode(run.process, 10000);
    run.process = {};
    return exitCode;
}

std::string clipboardText();

// The shown rows as the window copies them: a line each, the columns apart by tabs.
std::vector<std::string> shownRows(HWND window) {
    SendMessageW(window, WM_COMMAND, selectAllRows, 0);
    SendMessageW(window, WM_COMMAND, copyRowsAsText, 0);
    std::vector<std::string> rows;
    std::string text = clipboardText();
    for (size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2) {
        rows.push_back(text.substr(at, end - at));
    }
    return rows;
}

std::string clipboardText() {
    std::string text;
    if (OpenClipboard(nullptr)) {
        if (HANDLE data = GetClipboardData(CF_UNICODETEXT); data != nullptr) {
            std::wstring wide(static_cast<const wchar_t*>(GlobalLock(data)));
            GlobalUnlock(data);
            text.assign(wide.begin(), wide.end());
        }
        CloseClipboard();
    }
    return text;
}

} // namespace

// The window, driven through its own controls and keys as a user uses them, its rows read back;
// started again, it is where and as large as the user left it.
TEST_F(CheckProgram, TheMonitorWindowListsWhatIsSentAndItsTogglesChangeOnlyWhatIsShown) {
    MonitorWindowRun run;
    ASSERT_TRUE(startMonitorWindow(run));
    HWND window = run.window;
    HWND list = GetDlgItem(window, monitorList);
    auto click = [&](MonitorControl control) {
        SendMessageW(GetDlgItem(window, control), BM_CLICK, 0, 0);
    };
    HMIDIOUT out = nullptr;
    ASSERT_EQ(midiOutOpen(&out, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    std::unique_ptr<HMIDIOUT__, decltype(&midiOutClose)> closing(out, midiOutClose);
    EXPECT_EQ(midiOutShortMsg(out, 0x00403C90), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutShortMsg(out, 0xF8), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutShortMsg(out, 0x00403C80), MMSYSERR_NOERROR);
    // The opening, the note and its end; the clock hidden.
    ASSERT_EQ(waitForRows(list, 3), 3);
    std::string me = "melv_api_tests.exe (" + std::to_string(GetCurrentProcessId()) + ")";
    std::vector<std::string> rows = shownRows(window);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_TRUE(
        rows[1].ends_with("\tout\t" + me + "\tDefault MIDI\tNote On ch 1 C4 vel 64\t90 3C 40"))
        << rows[1];
    EXPECT_TRUE(rows[2].ends_with("\tNote Off ch 1 C4 vel 64\t80 3C 40")) << rows[2];
    auto findAndTell = [&](MonitorControl direction) {
        SendMessageW(window, WM_COMMAND, direction, 0);
        return SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_FOCUSED);
    };
    SetDlgItemTextW(window, findText, L"c4");
    EXPECT_EQ(findAndTell(findNextRow), 1);
    EXPECT_EQ(findAndTell(findNextRow), 2);
    EXPECT_EQ(findAndTell(findNextRow), 1) << "round past the end";
    EXPECT_EQ(findAndTell(findPreviousRow), 2) << "and back round the start";
    SendMessageW(window, WM_COMMAND, selectAllRows, 0);
    SendMessageW(window, WM_COMMAND, copyRowsAsHex, 0);
    EXPECT_EQ(clipboardText(), "90 3C 40\r\n80 3C 40\r\n");
    click(showSteadyRealTime);
    EXPECT_EQ(waitForRows(list, 4), 4);
    EXPECT_TRUE(shownRows(window).at(2).ends_with("\tTiming Clock\tF8"));

    click(pauseRowsButton);
    EXPECT_EQ(midiOutShortMsg(out, 0x00403E90), MMSYSERR_NOERROR);
    Sleep(300);
    EXPECT_EQ(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0), 4) << "paused, the list stands";
    click(pauseRowsButton);
    EXPECT_EQ(waitForRows(list, 5), 5);
    click(showOut);
    EXPECT_EQ(waitForRows(list, 1), 1) << "only the opening is left";
    closing.reset();
    instrument.receiveStray(1024);
    click(panicButton);
    EXPECT_EQ(heardPanic(instrument), panicMessages());

    SetWindowPos(window, nullptr, 40, 30, 700, 400, SWP_NOZORDER);
    RECT place{};
    GetWindowRect(window, &place);
    ASSERT_EQ(place.right - place.left, 700) << "the window takes the size a user gives it";
    EXPECT_EQ(closeMonitorWindow(run), 0u);
    ASSERT_TRUE(startMonitorWindow(run));
    GetWindowRect(run.window, &place);
    EXPECT_EQ(place.right - place.left, 700);
    EXPECT_EQ(place.bottom - place.top, 400);
    EXPECT_EQ(closeMonitorWindow(run), 0u);
}
