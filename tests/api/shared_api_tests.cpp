// The instrument shared between programs, as programs reach it through winmm. Run with sharing on
// and four outputs, beside a second program: this test host built for the other bitness
// (MELV_OTHER_PROGRAM), which plays the parts given on its command line (sharedProgram).
#include "client.h"
#include "common/hex.h"
#include "common/process.h"
#include "instrument_port.h"

#include <windows.h>

#include <mmsystem.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr DWORD noteOnFor(UINT output, DWORD key) {
    return 0x00400090 | output | key << 8;
}

// An exclusive far longer than the line carries in a second, marked with its output.
std::vector<char> dumpFor(UINT output) {
    std::vector<char> dump(4000);
    for (size_t at = 0; at < dump.size(); ++at) {
        dump[at] = static_cast<char>(at & 0x7F);
    }
    dump.front() = '\xF0';
    dump[1] = 0x7D;
    dump[2] = static_cast<char>(output);
    dump.back() = '\xF7';
    return dump;
}

std::string hexOf(const std::vector<char>& bytes) {
    std::string hex;
    for (char byte : bytes) {
        char digits[4];
        std::snprintf(digits, sizeof digits, hex.empty() ? "%02X" : " %02X",
                      static_cast<unsigned char>(byte));
        hex += digits;
    }
    return hex;
}

// Each program's part: notes on its own channel, its dump, more notes. What the instrument gets of
// it on the output's destination, in order.
MMRESULT playPart(HMIDIOUT output, UINT device) {
    std::vector<char> dump = dumpFor(device);
    MIDIHDR header{};
    header.lpData = dump.data();
    header.dwBufferLength = static_cast<DWORD>(dump.size());
    MMRESULT status = MMSYSERR_NOERROR;
    for (DWORD key = 0x30; key < 0x38 && status == MMSYSERR_NOERROR; ++key) {
        status = midiOutShortMsg(output, noteOnFor(device, key));
    }
    if (status == MMSYSERR_NOERROR) {
        status = midiOutPrepareHeader(output, &header, sizeof header);
    }
    if (status == MMSYSERR_NOERROR) {
        status = midiOutLongMsg(output, &header, sizeof header);
        midiOutUnprepareHeader(output, &header, sizeof header);
    }
    for (DWORD key = 0x30; key < 0x38 && status == MMSYSERR_NOERROR; ++key) {
        status = midiOutShortMsg(output, noteOnFor(device, key) & ~0xFF0000u); // velocity 0
    }
    return status;
}

WireMessages partAtTheInstrument(UINT device) {
    WireMessages part;
    char note[16];
    for (DWORD key = 0x30; key < 0x38; ++key) {
        std::snprintf(note, sizeof note, "%02X %02lX 40", 0x90 | device, key);
        part.push_back(onOutput(static_cast<int>(device), note));
    }
    part.push_back(onOutput(static_cast<int>(device), hexOf(dumpFor(device))));
    for (DWORD key = 0x30; key < 0x38; ++key) {
        std::snprintf(note, sizeof note, "%02X %02lX 00", 0x90 | device, key);
        part.push_back(onOutput(static_cast<int>(device), note));
    }
    return part;
}

// Whether the messages on the part's destination (and any the wire garbled) are the part, in
// order; says where they part ways, shortly, when not.
::testing::AssertionResult playedWhole(const WireMessages& heard, const WireMessages& part) {
    int destination = part.front().destination;
    size_t at = 0;
    for (const WireMessage& message : heard) {
        if (message.destination != destination && message.destination >= 0) {
            continue;
        }
        if (at == part.size() || !(message == part[at])) {
            return ::testing::AssertionFailure()
                   << "message " << at << " on " << destination << " is {" << message.destination
                   << ": " << message.bytes.substr(0, 40) << "}";
        }
        ++at;
    }
    if (at != part.size()) {
        return ::testing::AssertionFailure()
               << "only " << at << " of " << part.size() << " messages came on " << destination;
    }
    return ::testing::AssertionSuccess();
}

// The second program: this host of the other bitness, or of this one where there is no other.
class OtherProgram {
  public:
    explicit OtherProgram(const std::wstring& arguments) {
        const char* other = std::getenv("MELV_OTHER_PROGRAM");
        std::wstring path = programPath();
        if (other != nullptr && *other != '\0') {
            path.assign(other, other + std::strlen(other));
        }
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        if (startProcess(path.c_str(), L"\"" + path + L"\" " + arguments, false, startup,
                         process)) {
            CloseHandle(process.hThread);
            process_ = process.hProcess;
        }
    }
    ~OtherProgram() {
        if (process_ != nullptr) {
            TerminateProcess(process_, 1);
            CloseHandle(process_);
        }
    }
    bool started() const { return process_ != nullptr; }
    // Its exit code once it has ended by itself; STILL_ACTIVE when it has not within 30 s.
    DWORD ended() {
        DWORD code = STILL_ACTIVE;
        if (WaitForSingleObject(process_, 30000) == WAIT_OBJECT_0) {
            GetExitCodeProcess(process_, &code);
        }
        return code;
    }
    void kill() {
        TerminateProcess(process_, 1);
        WaitForSingleObject(process_, 30000);
    }
    // Every thread of it stopped, as in a debugger; how many were.
    int suspend() {
        DWORD id = GetProcessId(process_);
        HANDLE threads = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
        THREADENTRY32 entry{};
        entry.dwSize = sizeof entry;
        int suspended = 0;
        for (BOOL more = Thread32First(threads, &entry); more;
             more = Thread32Next(threads, &entry)) {
            HANDLE thread = entry.th32OwnerProcessID == id
                                ? OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID)
                                : nullptr;
            if (thread != nullptr) {
                suspended += SuspendThread(thread) != static_cast<DWORD>(-1);
                CloseHandle(thread);
            }
        }
        CloseHandle(threads);
        return suspended;
    }

  private:
    HANDLE process_ = nullptr;
};

// A named event for the second program to say it is ready.
struct ReadySignal {
    ReadySignal() : name("melv-shared-ready-" + std::to_string(GetCurrentProcessId())) {
        event = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    }
    ~ReadySignal() { CloseHandle(event); }
    bool came() const { return WaitForSingleObject(event, 30000) == WAIT_OBJECT_0; }
    std::wstring argument() const { return {name.begin(), name.end()}; }
    std::string name;
    HANDLE event;
};

// What the instrument sends in the input test, and how the programs see it.
const std::vector<unsigned char> instrumentSays = {0x90, 0x3C, 0x40, 0xF8, 0xB0, 0x07, 0x64};
const std::vector<DWORD> heardAsData = {0x403C90, 0xF8, 0x6407B0};

struct Heard {
    CRITICAL_SECTION lock;
    std::vector<DWORD> data;
};

void CALLBACK hearData(HMIDIIN, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR) {
    auto& heard = *reinterpret_cast<Heard*>(instance);
    if (message == MIM_DATA) {
        EnterCriticalSection(&heard.lock);
        heard.data.push_back(static_cast<DWORD>(param1));
        LeaveCriticalSection(&heard.lock);
    }
}

// Opens the input, starts it and gathers what it hears until `count` messages came, or ten
// seconds passed; `ready` is set once input runs.
std::vector<DWORD> listen(size_t count, HANDLE ready) {
    Heard heard;
    InitializeCriticalSection(&heard.lock);
    HMIDIIN input = nullptr;
    if (midiInOpen(&input, 0, reinterpret_cast<DWORD_PTR>(hearData),
                   reinterpret_cast<DWORD_PTR>(&heard), CALLBACK_FUNCTION) != MMSYSERR_NOERROR ||
        midiInStart(input) != MMSYSERR_NOERROR) {
        return {};
    }
    SetEvent(ready);
    std::vector<DWORD> data;
    for (int waited = 0; data.size() < count && waited < 10000; waited += 10) {
        Sleep(10);
        EnterCriticalSection(&heard.lock);
        data = heard.data;
        LeaveCriticalSection(&heard.lock);
    }
    midiInStop(input);
    midiInClose(input);
    DeleteCriticalSection(&heard.lock);
    return data;
}

std::vector<DWORD> listenForTheInstrument(HANDLE ready) {
    return listen(heardAsData.size(), ready);
}

// The instrument, and when it may play: once this program's input has started (the other
// program's had when it said it was ready). A fixed pause is not enough on a busy machine.
struct Cue {
    InstrumentPort* instrument;
    HANDLE listening;
};

bool cueCame(const Cue& cue) {
    return WaitForSingleObject(cue.listening, 30000) == WAIT_OBJECT_0;
}

DWORD WINAPI sendSoon(void* cue) {
    const Cue& given = *static_cast<Cue*>(cue);
    return cueCame(given) && given.instrument->send(instrumentSays) ? 0 : 1;
}

// A bulk dump from the instrument, framed by notes, at the cable's rate (3840 bytes a second).
constexpr size_t dumpBytes = 40000;
std::vector<unsigned char> instrumentDump() {
    std::vector<unsigned char> dump(dumpBytes);
    for (size_t at = 0; at < dump.size(); ++at) {
        dump[at] = static_cast<unsigned char>(at % 0x7F);
    }
    dump.front() = 0xF0;
    dump.back() = 0xF7;
    return dump;
}
const std::vector<DWORD> notesAroundTheDump = {0x403C90, 0x403E90, 0x404090,
                                               0x003C80, 0x003E80, 0x004080};

DWORD WINAPI sendDumpAtTheCablesRate(void* cue) {
    const Cue& given = *static_cast<Cue*>(cue);
    InstrumentPort& port = *given.instrument;
    std::vector<unsigned char> dump = instrumentDump();
    bool sent = cueCame(given) && port.send({0x90, 0x3C, 0x40, 0x90, 0x3E, 0x40, 0x90, 0x40, 0x40});
    for (size_t at = 0; sent && at < dump.size(); at += 384) {
        size_t end = std::min(dump.size(), at + 384);
        sent = port.send({dump.begin() + static_cast<ptrdiff_t>(at),
                          dump.begin() + static_cast<ptrdiff_t>(end)});
        Sleep(100);
    }
    return sent && port.send({0x80, 0x3C, 0x00, 0x80, 0x3E, 0x00, 0x80, 0x40, 0x00}) ? 0 : 1;
}

// What a librarian hears of the dump: its short messages, the exclusive's bytes in order and how
// many errors it was told. With one buffer it adds the buffer again from its own callback, as the
// browsers do; with more, all are added before input starts.
struct DumpHeard {
    CRITICAL_SECTION lock;
    HMIDIIN input;
    std::vector<DWORD> data;
    std::vector<unsigned char> exclusive;
    int errors;
    bool ending; // the buffers that the reset hands back are not added again
    // How long its callback takes over the first short message, as a program held up by a busy
    // machine: it reads nothing from the service meanwhile.
    DWORD stallMs;
};

void CALLBACK hearDump(HMIDIIN input, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                       DWORD_PTR) {
    auto& heard = *reinterpret_cast<DumpHeard*>(instance);
    if (message == MIM_DATA && heard.data.empty()) {
        Sleep(heard.stallMs);
    }
    EnterCriticalSection(&heard.lock);
    if (message == MIM_DATA) {
        heard.data.push_back(static_cast<DWORD>(param1));
    } else if (message == MIM_LONGDATA) {
        auto* header = reinterpret_cast<MIDIHDR*>(param1);
        heard.exclusive.insert(heard.exclusive.end(), header->lpData,
                               header->lpData + header->dwBytesRecorded);
        if (!heard.ending) {
            midiInAddBuffer(input, header, sizeof *header);
        }
    } else if (message == MIM_ERROR || message == MIM_LONGERROR) {
        ++heard.errors;
    }
    LeaveCriticalSection(&heard.lock);
}

::testing::AssertionResult receiveDump(int buffers, HANDLE ready, DWORD stallMs = 0) {
    DumpHeard heard{};
    heard.stallMs = stallMs;
    InitializeCriticalSection(&heard.lock);
    std::vector<std::vector<char>> memory(buffers, std::vector<char>(32768));
    std::vector<MIDIHDR> headers(buffers);
    MMRESULT status = midiInOpen(&heard.input, 0, reinterpret_cast<DWORD_PTR>(hearDump),
                                 reinterpret_cast<DWORD_PTR>(&heard), CALLBACK_FUNCTION);
    for (int i = 0; i < buffers && status == MMSYSERR_NOERROR; ++i) {
        headers[i].lpData = memory[i].data();
        headers[i].dwBufferLength = static_cast<DWORD>(memory[i].size());
        status = midiInPrepareHeader(heard.input, &headers[i], sizeof headers[i]);
        if (status == MMSYSERR_NOERROR) {
            status = midiInAddBuffer(heard.input, &headers[i], sizeof headers[i]);
        }
    }
    if (status != MMSYSERR_NOERROR || midiInStart(heard.input) != MMSYSERR_NOERROR) {
        return ::testing::AssertionFailure() << "the input would not start";
    }
    SetEvent(ready);
    bool whole = false;
    for (int waited = 0; !whole && waited < 30000; waited += 50) {
        Sleep(50);
        EnterCriticalSection(&heard.lock);
        whole = heard.data.size() >= notesAroundTheDump.size() || heard.errors > 0;
        LeaveCriticalSection(&heard.lock);
    }
    EnterCriticalSection(&heard.lock);
    heard.ending = true;
    LeaveCriticalSection(&heard.lock);
    midiInReset(heard.input);
    for (MIDIHDR& header : headers) {
        midiInUnprepareHeader(heard.input, &header, sizeof header);
    }
    midiInClose(heard.input);
    DeleteCriticalSection(&heard.lock);
    if (heard.data != notesAroundTheDump || heard.exclusive != instrumentDump() ||
        heard.errors != 0) {
        return ::testing::AssertionFailure()
               << heard.data.size() << " short messages, " << heard.exclusive.size()
               << " bytes of exclusive, " << heard.errors << " errors";
    }
    return ::testing::AssertionSuccess();
}

constexpr wchar_t sharePipe[] = L"\\\\.\\pipe\\melvpcif-share";

// A program that keeps an exclusive going on output 1 with a data byte and a clock a second.
int trickle(int, HANDLE ready) {
    HMIDIOUT output = nullptr;
    char begun[] = {'\xF0', 0x7D};
    char more[] = {0x11, '\xF8'};
    if (midiOutOpen(&output, 1, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) {
        return 1;
    }
    for (int second = 0; second < 60; ++second, Sleep(1000)) {
        MIDIHDR header{};
        header.lpData = second == 0 ? begun : more;
        header.dwBufferLength = 2;
        midiOutPrepareHeader(output, &header, sizeof header);
        midiOutLongMsg(output, &header, sizeof header);
        midiOutUnprepareHeader(output, &header, sizeof header);
        SetEvent(ready);
    }
    return 0;
}

// A program that opens every device eight times over, and keeps what it was granted.
int hog(int, HANDLE ready) {
    for (int time = 0; time < 8; ++time) {
        HMIDIIN input = nullptr;
        midiInOpen(&input, 0, 0, 0, CALLBACK_NULL);
        for (UINT device = 0; device < midiOutGetNumDevs(); ++device) {
            HMIDIOUT output = nullptr;
            midiOutOpen(&output, device, 0, 0, CALLBACK_NULL);
        }
    }
    SetEvent(ready);
    Sleep(INFINITE);
    return 0;
}

// A program that connects to the service's pipe and lets go again, `times` times, as fast as it
// can, saying nothing.
int knock(int times, HANDLE ready) {
    SetEvent(ready);
    for (int time = 0; time < times; ++time) {
        HANDLE pipe = CreateFileW(sharePipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            CloseHandle(pipe);
        }
    }
    return 0;
}

// A program that makes the service's pipe while the service does not run, and waits for a program
// to connect; how many bytes it was told.
int squat(int, HANDLE ready) {
    HANDLE pipe =
        CreateNamedPipeW(sharePipe, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                         PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 65536, 65536, 0, nullptr);
    SetEvent(ready);
    char heard[256];
    DWORD count = 0;
    if (ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
        ReadFile(pipe, heard, sizeof heard, &count, nullptr);
    }
    CloseHandle(pipe);
    return pipe == INVALID_HANDLE_VALUE ? -1 : static_cast<int>(count);
}

void askTheServiceToStop() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service =
        manager == nullptr ? nullptr : OpenServiceW(manager, L"melvpcif-share", SERVICE_STOP);
    SERVICE_STATUS status;
    if (service != nullptr) {
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        CloseServiceHandle(service);
    }
    if (manager != nullptr) {
        CloseServiceHandle(manager);
    }
}

class SharedInstrument : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(instrument.open()); }
    // Once nobody is left the service ends by itself within seconds, which the test of a killed
    // program waits to see; the others ask it to stop, which is quicker. The next test's service
    // tells the instrument its first destination again, from which the test decodes the wire.
    void TearDown() override {
        other.reset();
        if (!theServiceEndsByItself) {
            askTheServiceToStop();
        }
        bool gone = false;
        for (DWORD start = GetTickCount(); !gone && GetTickCount() - start < 15000; Sleep(100)) {
            gone = !WaitNamedPipeW(sharePipe, 1) && GetLastError() == ERROR_FILE_NOT_FOUND;
        }
        EXPECT_TRUE(gone) << "the sharing service goes on with nobody left";
    }

    // The messages the instrument hears next, until `count` of them are in or ten seconds
    // passed. The wire is decoded from the test's start, which announced the first destination;
    // a message whose end is still on its way is not one of them.
    WireMessages heardNext(size_t count) {
        WireMessages heard = decodeWire(wire, true);
        for (DWORD start = GetTickCount();
             heard.size() < seen + count && GetTickCount() - start < 10000;) {
            std::string more = instrument.receiveSome(8192);
            if (!more.empty()) {
                wire += (wire.empty() ? "" : " ") + more;
                heard = decodeWire(wire, true);
            }
        }
        WireMessages next(heard.begin() + static_cast<ptrdiff_t>(std::min(seen, heard.size())),
                          heard.end());
        seen = heard.size();
        return next;
    }

    // How many Note Ons on output 0 the instrument has heard, once `count` are in or 15 s passed,
    // whatever else the wire carries meanwhile.
    size_t notesOnOutputZero(size_t count) {
        size_t notes = 0;
        for (DWORD start = GetTickCount(); notes < count && GetTickCount() - start < 15000;) {
            std::string more = instrument.receiveSome(8192);
            wire += (wire.empty() || more.empty() ? "" : " ") + more;
            notes = 0;
            for (const WireMessage& message : decodeWire(wire)) {
                notes += message.destination == 0 && message.bytes.rfind("90 ", 0) == 0;
            }
        }
        return notes;
    }

    // What `listen` hears while the instrument plays `send` on a thread of its own; `listen` is
    // handed the signal to give once its input has started.
    template <typename Listen>
    auto whileTheInstrumentPlays(LPTHREAD_START_ROUTINE send, Listen listen) {
        Cue cue{&instrument, CreateEventW(nullptr, TRUE, FALSE, nullptr)};
        HANDLE sender = CreateThread(nullptr, 0, send, &cue, 0, nullptr);
        auto heard = listen(cue.listening);
        WaitForSingleObject(sender, 30000);
        CloseHandle(sender);
        CloseHandle(cue.listening);
        return heard;
    }

    // Starts the second program playing `part` and waits until it says it is ready.
    ::testing::AssertionResult startOther(const std::wstring& part) {
        ReadySignal ready;
        other = std::make_unique<OtherProgram>(part + L" " + ready.argument());
        return ready.came() ? ::testing::AssertionSuccess()
                            : ::testing::AssertionFailure() << "the second program is not ready";
    }

    std::unique_ptr<OtherProgram> other;
    InstrumentPort instrument;
    std::string wire;
    size_t seen = 0;
    bool theServiceEndsByItself = false;
};

} // namespace

// The parts a second program plays that open no output first: each takes its number from the
// command line and the ready signal, and answers its exit code.
struct ProgramPart {
    const char* name;
    int (*play)(int argument, HANDLE ready);
};
const ProgramPart partsOfTheirOwn[] = {
    {"--listen",
     [](int count, HANDLE ready) { return listen(count, ready) == heardAsData ? 0 : 1; }},
    {"--dump", [](int buffers, HANDLE ready) { return receiveDump(buffers, ready) ? 0 : 1; }},
    {"--dump-after-a-stall",
     [](int buffers, HANDLE ready) { return receiveDump(buffers, ready, 5000) ? 0 : 1; }},
    {"--trickle", trickle},
    {"--hog", hog},
    {"--knock", knock},
    {"--squat", squat},
};

int sharedProgram(int argc, char** argv) {
    if (argc < 3) {
        return -1;
    }
    HANDLE ready = argc >= 4 ? OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[3]) : nullptr;
    for (const ProgramPart& part : partsOfTheirOwn) {
        if (std::strcmp(argv[1], part.name) == 0) {
            return part.play(std::atoi(argv[2]), ready);
        }
    }
    if (std::strcmp(argv[1], "--play") != 0 && std::strcmp(argv[1], "--sound") != 0 &&
        std::strcmp(argv[1], "--stall") != 0) {
        return -1;
    }
    UINT device = std::strtoul(argv[2], nullptr, 10);
    HMIDIOUT output = nullptr;
    MMRESULT status = midiOutOpen(&output, device, 0, 0, CALLBACK_NULL);
    if (status != MMSYSERR_NOERROR) {
        return static_cast<int>(status);
    }
    if (std::strcmp(argv[1], "--sound") == 0) {
        midiOutShortMsg(output, 0x7F40B0 | device); // the sustain pedal down
        midiOutShortMsg(output, noteOnFor(device, 0x3C));
        SetEvent(ready);
        Sleep(INFINITE);
    }
    if (std::strcmp(argv[1], "--stall") == 0) {
        HMIDIIN input = nullptr;
        char begun[] = {'\xF0', 0x7D, 0x01, 0x02}; // an exclusive whose end never comes
        MIDIHDR header{};
        header.lpData = begun;
        header.dwBufferLength = sizeof begun;
        if (midiInOpen(&input, 0, 0, 0, CALLBACK_NULL) == MMSYSERR_NOERROR &&
            midiInStart(input) == MMSYSERR_NOERROR &&
            midiOutPrepareHeader(output, &header, sizeof header) == MMSYSERR_NOERROR &&
            midiOutLongMsg(output, &header, sizeof header) == MMSYSERR_NOERROR) {
            SetEvent(ready);
        }
        Sleep(INFINITE);
    }
    status = playPart(output, device);
    midiOutClose(output);
    return static_cast<int>(status);
}

TEST_F(SharedInstrument, TwoProgramsOfBothBitnessesPlayAtOnceEachWholeOnItsOwnDestination) {
    HMIDIOUT output = nullptr;
    ASSERT_EQ(midiOutOpen(&output, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    OtherProgram editor(L"--play 2");
    ASSERT_TRUE(editor.started());
    EXPECT_EQ(playPart(output, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(editor.ended(), 0u);
    EXPECT_EQ(midiOutClose(output), MMSYSERR_NOERROR);

    WireMessages heard = heardNext(2 * partAtTheInstrument(0).size());
    EXPECT_TRUE(playedWhole(heard, partAtTheInstrument(0)));
    EXPECT_TRUE(playedWhole(heard, partAtTheInstrument(2)));
}

TEST_F(SharedInstrument, TwoProgramsHearEveryMessageTheInstrumentSends) {
    ASSERT_TRUE(startOther(L"--listen 3"));
    EXPECT_EQ(whileTheInstrumentPlays(sendSoon, listenForTheInstrument), heardAsData);
    EXPECT_EQ(other->ended(), 0u);
}

// A librarian with one buffer that it adds again from its callback, and another with four: both
// receive the instrument's bulk dump whole, time after time. They swap ways from run to run, so
// that each bitness receives both ways.
TEST_F(SharedInstrument, TwoLibrariansReceiveALongDumpWholeAtTheCablesRate) {
    for (int run = 0; run < 10; ++run) {
        bool mineHasOne = run % 2 == 0;
        ASSERT_TRUE(startOther(mineHasOne ? L"--dump 4" : L"--dump 1"));
        EXPECT_TRUE(whileTheInstrumentPlays(
            sendDumpAtTheCablesRate,
            [mineHasOne](HANDLE mine) { return receiveDump(mineHasOne ? 1 : 4, mine); }))
            << "run " << run;
        EXPECT_EQ(other->ended(), 0u) << "run " << run;
    }
}

// A librarian that reads nothing for five seconds as the dump begins still receives it whole, as
// the service keeps more than four seconds for each program, and the other is not held up.
TEST_F(SharedInstrument, ALibrarianHeldUpFiveSecondsStillReceivesTheDumpWhole) {
    ASSERT_TRUE(startOther(L"--dump-after-a-stall 1"));
    EXPECT_TRUE(whileTheInstrumentPlays(sendDumpAtTheCablesRate,
                                        [](HANDLE mine) { return receiveDump(4, mine); }));
    EXPECT_EQ(other->ended(), 0u);
}

// A program that trickles a byte and a clock a second into its exclusive holds another program's
// notes for seconds only: the service ends its exclusive, and all 20 notes come soon after.
TEST_F(SharedInstrument, AProgramTricklingAnExclusiveHoldsTheOthersForSecondsOnly) {
    ASSERT_TRUE(startOther(L"--trickle 1"));
    HMIDIOUT output = nullptr;
    ASSERT_EQ(midiOutOpen(&output, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    DWORD start = GetTickCount();
    for (DWORD key = 0x30; key < 0x30 + 20; ++key) {
        EXPECT_EQ(midiOutShortMsg(output, noteOnFor(0, key)), MMSYSERR_NOERROR);
    }
    EXPECT_EQ(notesOnOutputZero(20), 20u);
    EXPECT_LT(GetTickCount() - start, 6000u) << "the trickling program held the notes back";
    EXPECT_EQ(midiOutClose(output), MMSYSERR_NOERROR);
}

// A program that opens every device eight times over gets its share of the places, and another
// program still opens and plays.
TEST_F(SharedInstrument, AProgramOpeningFortyTimesLeavesPlacesForTheOthers) {
    ASSERT_TRUE(startOther(L"--hog 0"));
    HMIDIOUT output = nullptr;
    ASSERT_EQ(midiOutOpen(&output, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutShortMsg(output, noteOnFor(0, 0x3C)), MMSYSERR_NOERROR);
    EXPECT_EQ(notesOnOutputZero(1), 1u);
    EXPECT_EQ(midiOutClose(output), MMSYSERR_NOERROR);
}

// A program connecting to the service and going again as fast as it can does not keep another
// program from opening its devices.
TEST_F(SharedInstrument, AProgramKnockingOverAndOverDoesNotKeepTheOthersOut) {
    HMIDIOUT output = nullptr;
    ASSERT_EQ(midiOutOpen(&output, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR); // the service runs
    ASSERT_TRUE(startOther(L"--knock 4000"));
    for (int time = 0; time < 10; ++time) {
        HMIDIIN input = nullptr;
        EXPECT_EQ(midiInOpen(&input, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR) << time;
        EXPECT_EQ(midiInClose(input), MMSYSERR_NOERROR);
    }
    EXPECT_EQ(other->ended(), 0u);
    EXPECT_EQ(midiOutClose(output), MMSYSERR_NOERROR);
}

// A program of the same user that makes the service's pipe while the service does not run is not
// taken for the service: an open is refused, and it hears nothing.
TEST_F(SharedInstrument, AProgramStandingInForTheServiceHearsNothing) {
    ASSERT_TRUE(startOther(L"--squat 0"));
    HMIDIOUT output = nullptr;
    EXPECT_EQ(midiOutOpen(&output, 0, 0, 0, CALLBACK_NULL), MMSYSERR_ALLOCATED);
    EXPECT_EQ(other->ended(), 0u) << "bytes the stand-in heard";
}

TEST_F(SharedInstrument, AProgramKilledWithANoteSoundingIsSilencedAndTheOtherPlaysOn) {
    theServiceEndsByItself = true; // the killed program's connection does not keep it
    ASSERT_TRUE(startOther(L"--sound 1"));
    HMIDIOUT output = nullptr;
    ASSERT_EQ(midiOutOpen(&output, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_EQ(heardNext(2), (WireMessages{onOutput(1, "B1 40 7F"), onOutput(1, "91 3C 40")}));
    other->kill();
    EXPECT_EQ(heardNext(2), (WireMessages{onOutput(1, "81 3C 40"), onOutput(1, "B1 40 00")}));
    EXPECT_EQ(midiOutShortMsg(output, noteOnFor(0, 0x40)), MMSYSERR_NOERROR);
    EXPECT_EQ(heardNext(1), (WireMessages{onOutput(0, "90 40 40")}));
    EXPECT_EQ(midiOutClose(output), MMSYSERR_NOERROR);
}

// With one program at a time, a program killed while its note and pedal are down leaves them to
// the next program that opens the instrument, which releases them before its own first message,
// also when no program had the driver loaded meanwhile.
class OneProgramAtATime : public SharedInstrument {};

TEST_F(OneProgramAtATime, TheNextProgramReleasesWhatAKilledProgramLeftSounding) {
    ASSERT_TRUE(startOther(L"--sound 0"));
    EXPECT_EQ(heardNext(2), (WireMessages{onOutput(0, "B0 40 7F"), onOutput(0, "90 3C 40")}));
    other->kill();
    HMIDIOUT output = nullptr;
    ASSERT_EQ(midiOutOpen(&output, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutShortMsg(output, noteOnFor(0, 0x40)), MMSYSERR_NOERROR);
    EXPECT_EQ(heardNext(3), (WireMessages{onOutput(0, "80 3C 40"), onOutput(0, "B0 40 00"),
                                          onOutput(0, "90 40 40")}));
    EXPECT_EQ(midiOutClose(output), MMSYSERR_NOERROR);
}

namespace {

// The toolbox of this build run with `arguments`: its exit code once it has ended.
DWORD runToolbox(const std::wstring& arguments) {
    PROCESS_INFORMATION process{};
    return startToolbox(arguments, process) ? toolboxExitCode(process, 30000) : ~0u;
}

} // namespace

// The panic goes through the service to every destination, beside a program that plays.
TEST_F(SharedInstrument, ThePanicReachesEveryDestinationBesideAProgramThatPlays) {
    ASSERT_TRUE(startOther(L"--sound 1"));
    EXPECT_EQ(heardNext(2), (WireMessages{onOutput(1, "B1 40 7F"), onOutput(1, "91 3C 40")}));
    EXPECT_EQ(runToolbox(L"--panic"), 0u);
    EXPECT_EQ(heardNext(panicMessages().size()), panicMessages());
}

// The librarian joins the programs that share the instrument, and its exclusive, handed over in
// packets, reaches the destination it named as one.
TEST_F(SharedInstrument, ARestoreFromAFileJoinsAProgramThatHoldsANote) {
    ASSERT_TRUE(startOther(L"--sound 1"));
    EXPECT_EQ(heardNext(2), (WireMessages{onOutput(1, "B1 40 7F"), onOutput(1, "91 3C 40")}));
    std::vector<unsigned char> exclusive(300, 0x33);
    exclusive.front() = 0xF0, exclusive.back() = 0xF7;
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    std::wstring syx = std::wstring(folder) + L"melv-shared-restore.syx";
    std::ofstream{std::filesystem::path(syx), std::ios::binary}.write(
        reinterpret_cast<const char*>(exclusive.data()),
        static_cast<std::streamsize>(exclusive.size()));
    EXPECT_EQ(runToolbox(L"--send-syx \"" + syx + L"\" --packet 100 --to Synth-B"), 0u);
    EXPECT_EQ(heardNext(1),
              (WireMessages{onOutput(3, hexBytes(exclusive.data(), exclusive.size()))}));
}

// A host with two plug-ins on one output: each has a stream of its own, and a reset of one turns
// off its own note only.
TEST_F(SharedInstrument, OneProgramOpensAnOutputTwiceAndAResetSilencesOnlyItsOwnStream) {
    HMIDIOUT first = nullptr;
    HMIDIOUT second = nullptr;
    ASSERT_EQ(midiOutOpen(&first, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    ASSERT_EQ(midiOutOpen(&second, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutShortMsg(first, noteOnFor(0, 0x3C)), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutShortMsg(second, noteOnFor(0, 0x40)), MMSYSERR_NOERROR);
    EXPECT_EQ(heardNext(2), (WireMessages{onOutput(0, "90 3C 40"), onOutput(0, "90 40 40")}));
    EXPECT_EQ(midiOutReset(second), MMSYSERR_NOERROR);
    EXPECT_EQ(heardNext(1), (WireMessages{onOutput(0, "80 40 40")}));
    EXPECT_EQ(instrument.receiveStray(), "") << "the first stream's note sounds on";
    EXPECT_EQ(midiOutClose(second), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutClose(first), MMSYSERR_NOERROR);
}

// A program stopped in a debugger in the middle of an exclusive, its input started: the service
// ends its exclusive within seconds, and another program plays and hears the instrument.
TEST_F(SharedInstrument, AProgramStoppedInTheMiddleOfAnExclusiveHoldsTheOthersForSecondsOnly) {
    ASSERT_TRUE(startOther(L"--stall 1"));
    ASSERT_GT(other->suspend(), 0);
    HMIDIOUT output = nullptr;
    ASSERT_EQ(midiOutOpen(&output, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    DWORD start = GetTickCount();
    EXPECT_EQ(midiOutShortMsg(output, noteOnFor(0, 0x3C)), MMSYSERR_NOERROR);
    EXPECT_EQ(heardNext(2), (WireMessages{onOutput(1, "F0 7D 01 02 F7"), onOutput(0, "90 3C 40")}));
    EXPECT_LT(GetTickCount() - start, 5000u);
    EXPECT_EQ(whileTheInstrumentPlays(sendSoon, listenForTheInstrument), heardAsData);
    EXPECT_EQ(midiOutClose(output), MMSYSERR_NOERROR);
}
