// What the driver costs on the Windows path, measured under Wine against a raw Win32 loop that
// makes the same calls in the same run, rounds interleaved so that a busy machine slows both
// alike. Prints figures and ratios only; nothing here passes or fails on a time.
//
//   melv_wine_bench.exe   (melvpcif.dll beside it; COM1 is the driver's end of a virtual line,
//                          COM8 the instrument's)
//
// Short messages per second: modMessage(MODM_DATA) against one overlapped WriteFile per message.
// Input latency, from a byte written at the instrument's end to the client's callback: the
// driver's input against a bare reader with the same eight one-byte ReadFileEx reads.
//
// Input capacity: the highest multiple of the cable's rate at which notes streamed from the
// instrument all reach the client in time, and the processor time this program, the service and
// Wine's server take at the cable's rate. A long exclusive from the instrument at the cable's
// rate, received against sent, and how long after its last byte the program has it.
//
// Then the same with the instrument shared between programs (the sharing service installed), two
// inputs listening: two programs sending at once against the raw loop's rate, the input's
// latency against the one-program mode's, the capacity and the long exclusive, and the processor
// time the service and this program take while a device is open and nothing flows.
//
//   melv_wine_bench.exe --send COUNT READY GO DONE
//                         the second program: opens output 0, sets READY, waits for GO, sends
//                         COUNT messages and sets DONE (named events)
#include "common/driver_loader.h"
#include "common/process.h"
#include "common/settings_key.h"
#include "line/shared_state.h"
#include "share/protocol.h"

#include <windows.h>

#include <mmddk.h>
#include <mmsystem.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int rounds = 5;
constexpr int messagesPerRound = 1500;
constexpr int latencySamplesPerRound = 40;
constexpr DWORD noteOn = 0x00403C90;

DriverMessageEntry modMessage = nullptr;
DriverMessageEntry midMessage = nullptr;

double nowMs() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

HANDLE openLine(const wchar_t* name, DWORD flags) {
    HANDLE port =
        CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        return port;
    }
    DCB line{};
    line.DCBlength = sizeof line;
    GetCommState(port, &line);
    BuildCommDCBW(L"baud=38400 parity=N data=8 stop=1", &line);
    SetCommState(port, &line);
    return port;
}

// The instrument's end: takes whatever the output side writes, so that the line never fills,
// and writes the bytes the input side waits for.
HANDLE instrument = INVALID_HANDLE_VALUE;
volatile LONG draining = 1;
volatile LONG drained = 0; // the bytes the instrument's end has taken

DWORD WINAPI drainInstrument(void*) {
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = 50;
    SetCommTimeouts(instrument, &timeouts);
    char bytes[4096];
    DWORD got = 0;
    while (draining) {
        if (ReadFile(instrument, bytes, sizeof bytes, &got, nullptr)) {
            InterlockedExchangeAdd(&drained, static_cast<LONG>(got));
        }
    }
    return 0;
}

void sendFromInstrument(BYTE byte) {
    DWORD written = 0;
    WriteFile(instrument, &byte, 1, &written, nullptr);
}

DWORD_PTR openOutput() {
    MIDIOPENDESC description{};
    DWORD_PTR stream = 0;
    if (modMessage(0, MODM_OPEN, reinterpret_cast<DWORD_PTR>(&stream),
                   reinterpret_cast<DWORD_PTR>(&description), CALLBACK_NULL) != MMSYSERR_NOERROR) {
        return 0;
    }
    return stream;
}

void sendMessages(DWORD_PTR stream, int count) {
    for (int i = 0; i < count; ++i) {
        modMessage(0, MODM_DATA, stream, noteOn ^ (i & 1) << 4, 0); // note on, note off
    }
}

// Short messages per second through the driver's output 0.
double driverMessagesPerSecond() {
    DWORD_PTR stream = openOutput();
    if (stream == 0) {
        return 0;
    }
    double start = nowMs();
    sendMessages(stream, messagesPerRound);
    double elapsed = nowMs() - start;
    modMessage(0, MODM_CLOSE, stream, 0, 0);
    return messagesPerRound * 1000.0 / elapsed;
}

// A named event of this run's, for the second program.
HANDLE runEvent(const char* what, std::string& name) {
    name = std::string("melv-bench-") + what + "-" + std::to_string(GetCurrentProcessId());
    return CreateEventA(nullptr, TRUE, FALSE, name.c_str());
}

// Waits until the instrument's end has taken `count` bytes since `before`, or a while has
// passed: when, in ms.
double whenDrained(LONG before, LONG count) {
    for (int waited = 0; drained - before < count && waited < 10000; ++waited) {
        Sleep(1);
    }
    return nowMs();
}

// Two programs at once, this one and a second, each sending a round's messages to output 0 while
// the instrument is shared: the messages of both per second, from the start signal until the
// instrument's end has taken them all (a packet of four bytes each). The pipe to the service
// takes messages faster than the line: the line's pace is what counts.
double sharedMessagesPerSecond() {
    std::string readyName, goName, doneName;
    HANDLE ready = runEvent("ready", readyName), go = runEvent("go", goName),
           done = runEvent("done", doneName);
    std::wstring self = programPath();
    std::string arguments = " --send " + std::to_string(messagesPerRound) + " " + readyName + " " +
                            goName + " " + doneName;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION other{};
    DWORD_PTR stream = openOutput();
    double rate = 0;
    if (stream != 0 &&
        startProcess(self.c_str(),
                     L"\"" + self + L"\"" + std::wstring(arguments.begin(), arguments.end()), false,
                     startup, other)) {
        if (WaitForSingleObject(ready, 30000) == WAIT_OBJECT_0) {
            LONG before = drained;
            double start = nowMs();
            SetEvent(go);
            sendMessages(stream, messagesPerRound);
            if (WaitForSingleObject(done, 30000) == WAIT_OBJECT_0) {
                rate = 2 * messagesPerRound * 1000.0 /
                       (whenDrained(before, 2 * messagesPerRound * 4) - start);
            }
        }
        WaitForSingleObject(other.hProcess, 30000);
        CloseHandle(other.hThread);
        CloseHandle(other.hProcess);
    }
    if (stream != 0) {
        modMessage(0, MODM_CLOSE, stream, 0, 0);
    }
    for (HANDLE event : {ready, go, done}) {
        CloseHandle(event);
    }
    return rate;
}

// The second program of sharedMessagesPerSecond.
int sendAsSecondProgram(int count, const char* ready, const char* go, const char* done) {
    DWORD_PTR stream = openOutput();
    HANDLE events[3] = {OpenEventA(EVENT_MODIFY_STATE, FALSE, ready),
                        OpenEventA(SYNCHRONIZE, FALSE, go),
                        OpenEventA(EVENT_MODIFY_STATE, FALSE, done)};
    if (stream == 0 || events[0] == nullptr || events[1] == nullptr || events[2] == nullptr) {
        return 1;
    }
    SetEvent(events[0]);
    WaitForSingleObject(events[1], 30000);
    sendMessages(stream, count);
    SetEvent(events[2]);
    modMessage(0, MODM_CLOSE, stream, 0, 0);
    return 0;
}

// Shares the instrument from now on, as the configuration dialog does: the setting for the
// programs that load the driver next, and the record for those that have it loaded.
bool shareTheInstrument(bool share) {
    HKEY key = createSettingsKey(KEY_SET_VALUE);
    bool written = key != nullptr && writeDword(key, shareSetting, share ? 1 : 0);
    if (key != nullptr) {
        RegCloseKey(key);
    }
    HANDLE mapping =
        OpenFileMappingW(FILE_MAP_WRITE, FALSE, reinterpret_cast<const wchar_t*>(sharedStateName));
    void* view = mapping == nullptr
                     ? nullptr
                     : MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(SharedState));
    if (view != nullptr) {
        static_cast<SharedState*>(view)->sharing = share ? 1 : 0;
        UnmapViewOfFile(view);
    }
    if (mapping != nullptr) {
        CloseHandle(mapping);
    }
    return written && view != nullptr;
}

// The processor time a process has taken, in ms.
double processorMs(HANDLE process) {
    FILETIME created, ended, kernel, user;
    if (!GetProcessTimes(process, &created, &ended, &kernel, &user)) {
        return -1;
    }
    auto ms = [](FILETIME time) {
        return static_cast<double>(static_cast<ULONGLONG>(time.dwHighDateTime) << 32 |
                                   time.dwLowDateTime) /
               10000.0;
    };
    return ms(kernel) + ms(user);
}

// The sharing service's process while it runs, or null.
HANDLE serviceProcess() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service =
        manager == nullptr
            ? nullptr
            : OpenServiceW(manager, reinterpret_cast<const wchar_t*>(shareServiceName),
                           SERVICE_QUERY_STATUS);
    SERVICE_STATUS_PROCESS status{};
    DWORD size = 0;
    if (service != nullptr) {
        QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                             sizeof status, &size);
        CloseServiceHandle(service);
    }
    if (manager != nullptr) {
        CloseServiceHandle(manager);
    }
    return status.dwProcessId == 0
               ? nullptr
               : OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, status.dwProcessId);
}

// The same bytes written by hand: one overlapped WriteFile per packet, waited for.
double rawMessagesPerSecond() {
    HANDLE port = openLine(L"\\\\.\\COM1", FILE_FLAG_OVERLAPPED);
    if (port == INVALID_HANDLE_VALUE) {
        return 0;
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    double start = nowMs();
    for (int i = 0; i < messagesPerRound; ++i) {
        BYTE packet[4] = {0xFF, static_cast<BYTE>(i & 1 ? 0x80 : 0x90), 0x3C, 0x40};
        DWORD written = 0;
        if (!WriteFile(port, packet, sizeof packet, &written, &overlapped) &&
            GetLastError() == ERROR_IO_PENDING) {
            GetOverlappedResult(port, &overlapped, &written, TRUE);
        }
    }
    double elapsed = nowMs() - start;
    CloseHandle(overlapped.hEvent);
    CloseHandle(port);
    return messagesPerRound * 1000.0 / elapsed;
}

// When the byte the instrument sent last reached the client: set by either reader.
HANDLE arrived = nullptr;
volatile double arrivedAtMs = 0;

void noteArrival() {
    arrivedAtMs = nowMs();
    SetEvent(arrived);
}

void CALLBACK onDriverInput(HMIDIIN, UINT message, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    if (message == MIM_DATA) {
        noteArrival();
    }
}

// Sends one clock byte at a time and records how long each took to reach the client.
void sampleLatency(std::vector<double>& samples) {
    for (int i = 0; i < latencySamplesPerRound; ++i) {
        ResetEvent(arrived);
        double sent = nowMs();
        sendFromInstrument(0xF8);
        if (WaitForSingleObject(arrived, 2000) == WAIT_OBJECT_0) {
            samples.push_back(arrivedAtMs - sent);
        }
    }
}

using InputCallback = void(CALLBACK*)(HMIDIIN, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

DWORD_PTR startInput(InputCallback callback = onDriverInput) {
    MIDIOPENDESC description{};
    description.dwCallback = reinterpret_cast<DWORD_PTR>(callback);
    DWORD_PTR stream = 0;
    if (midMessage(0, MIDM_OPEN, reinterpret_cast<DWORD_PTR>(&stream),
                   reinterpret_cast<DWORD_PTR>(&description),
                   CALLBACK_FUNCTION) != MMSYSERR_NOERROR) {
        return 0;
    }
    midMessage(0, MIDM_START, stream, 0, 0);
    return stream;
}

void stopInput(DWORD_PTR stream) {
    midMessage(0, MIDM_RESET, stream, 0, 0);
    midMessage(0, MIDM_CLOSE, stream, 0, 0);
}

void driverLatency(std::vector<double>& samples) {
    if (DWORD_PTR stream = startInput(); stream != 0) {
        sampleLatency(samples);
        stopInput(stream);
    }
}

// Input capacity: Note On and Note Off pairs streamed from the instrument's end at a multiple of
// the cable's rate, counted as they reach the client of every input listening. The virtual line
// holds the instrument's writes back while nobody reads, so falling behind shows as a stream that
// could not be sent on time, or whose end came late.
constexpr double cableBytesPerSecond = 3840;
constexpr DWORD streamMs = 2000;
constexpr DWORD streamGraceMs = 500; // how late the stream's end may come and count as kept up
volatile LONG streamedBytesHeard = 0;
volatile LONG streamErrors = 0;
volatile double streamLastHeardAt = 0;

void CALLBACK onStreamedInput(HMIDIIN, UINT message, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    if (message == MIM_DATA) {
        InterlockedExchangeAdd(&streamedBytesHeard, 3);
        streamLastHeardAt = nowMs();
    } else if (message == MIM_ERROR || message == MIM_LONGERROR) {
        InterlockedIncrement(&streamErrors);
    }
}

// Writes notes at `rate` bytes a second for streamMs, in a write every 10 ms; the bytes written.
LONG streamNotes(double rate) {
    static const BYTE pairs[] = {0x90, 0x3C, 0x40, 0x80, 0x3C, 0x40};
    std::vector<BYTE> chunk;
    LONG sent = 0;
    double start = nowMs();
    for (double elapsed = 0; elapsed < streamMs; elapsed = nowMs() - start) {
        auto due = static_cast<LONG>(rate * elapsed / 1000) / 6 * 6;
        chunk.clear();
        for (LONG at = sent; at < due; ++at) {
            chunk.push_back(pairs[at % 6]);
        }
        DWORD written = 0;
        if (!chunk.empty()) {
            WriteFile(instrument, chunk.data(), static_cast<DWORD>(chunk.size()), &written,
                      nullptr);
        }
        sent += static_cast<LONG>(written);
        Sleep(10);
    }
    return sent;
}

// Under Wine the system tells a program only its own processor time; another process's comes
// from Linux's /proc, which Wine shows as Z:\proc. The processor time, in ms, of the processes
// whose name (as Linux keeps it, 15 characters at most) begins with `name`.
double linuxProcessorMs(const char* name) {
    WIN32_FIND_DATAA entry;
    HANDLE found = FindFirstFileA("Z:\\proc\\*", &entry);
    double ms = 0;
    for (BOOL more = found != INVALID_HANDLE_VALUE; more; more = FindNextFileA(found, &entry)) {
        if (entry.cFileName[0] < '1' || entry.cFileName[0] > '9') {
            continue;
        }
        std::string path = std::string("Z:\\proc\\") + entry.cFileName + "\\stat";
        char text[1024] = {};
        std::FILE* file = std::fopen(path.c_str(), "rb");
        if (file == nullptr) {
            continue;
        }
        std::fread(text, 1, sizeof text - 1, file);
        std::fclose(file);
        // "pid (name) state ..." and then, 11 and 12 fields on, the user and system time in
        // ticks of 10 ms.
        const char* open = std::strchr(text, '(');
        const char* close = std::strrchr(text, ')');
        unsigned long user = 0, system = 0;
        if (open != nullptr && close != nullptr &&
            std::strncmp(open + 1, name, std::strlen(name)) == 0 &&
            std::sscanf(close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user,
                        &system) == 2) {
            ms += 10.0 * static_cast<double>(user + system);
        }
    }
    if (found != INVALID_HANDLE_VALUE) {
        FindClose(found);
    }
    return ms;
}

// Processor time per second of this program, the service and Wine's server.
struct ProcessorCost {
    double programMs;
    double serviceMs;
    double serverMs;
};

ProcessorCost processorNow() {
    return {processorMs(GetCurrentProcess()), linuxProcessorMs("melvpcif-share"),
            linuxProcessorMs("wineserver")};
}

struct StreamOutcome {
    bool keptUp;         // sent on time, and every listener had all of it soon after
    double receivedRate; // bytes a second each listener received, from start to last byte
    ProcessorCost cost;
    // What fell short where it did not keep up: the bytes due and sent, those expected of every
    // listener and heard, the errors told and when the last byte came.
    LONG due, sent, expected, heard, errors;
    double endMs;
};

// Streams notes at `rate` bytes a second to `listeners` inputs.
StreamOutcome streamTo(double rate, int listeners) {
    std::vector<DWORD_PTR> inputs;
    for (int i = 0; i < listeners; ++i) {
        if (DWORD_PTR stream = startInput(onStreamedInput); stream != 0) {
            inputs.push_back(stream);
        }
    }
    streamedBytesHeard = 0;
    streamErrors = 0;
    ProcessorCost before = processorNow();
    double start = nowMs();
    streamLastHeardAt = start;
    LONG sent = streamNotes(rate);
    auto expected = sent * static_cast<LONG>(inputs.size());
    for (LONG heard = -1; heard != streamedBytesHeard && streamedBytesHeard < expected;) {
        heard = streamedBytesHeard;
        Sleep(streamGraceMs); // until nothing more comes
    }
    double lastHeardAt = streamLastHeardAt;
    ProcessorCost after = processorNow();
    double seconds = (nowMs() - start) / 1000;
    for (DWORD_PTR stream : inputs) {
        stopInput(stream);
    }
    double elapsedMs = lastHeardAt - start;
    auto due = static_cast<LONG>(rate * streamMs / 1000) / 6 * 6;
    bool onTime = sent >= 0.95 * due && elapsedMs <= streamMs + streamGraceMs;
    return {static_cast<int>(inputs.size()) == listeners && streamErrors == 0 &&
                streamedBytesHeard == expected && onTime,
            inputs.empty()
                ? 0
                : streamedBytesHeard / static_cast<double>(inputs.size()) * 1000 / elapsedMs,
            {(after.programMs - before.programMs) / seconds,
             (after.serviceMs - before.serviceMs) / seconds,
             (after.serverMs - before.serverMs) / seconds},
            due,
            sent,
            expected,
            streamedBytesHeard,
            streamErrors,
            elapsedMs};
}

// The highest multiple of the cable's rate tried at which every listener kept up (0 when none),
// the most any received a second, and the cost at the cable's own rate.
struct Capacity {
    double keptUpAt;
    double mostReceived;
    ProcessorCost atTheCablesRate;
    double shortAt;          // the multiple it did not keep up at, 0 when it kept up at every one
    StreamOutcome shortfall; // what fell short there
};

Capacity inputCapacity(int listeners) {
    Capacity capacity{};
    for (double multiple : {1.0, 2.0, 5.0, 10.0, 20.0, 50.0}) {
        StreamOutcome outcome = streamTo(multiple * cableBytesPerSecond, listeners);
        capacity.mostReceived = std::max(capacity.mostReceived, outcome.receivedRate);
        if (multiple == 1.0) {
            capacity.atTheCablesRate = outcome.cost;
        }
        if (!outcome.keptUp) {
            capacity.shortAt = multiple;
            capacity.shortfall = outcome;
            break;
        }
        capacity.keptUpAt = multiple;
    }
    return capacity;
}

void printCapacity(const char* bits, const char* mode, const Capacity& capacity) {
    const ProcessorCost& cost = capacity.atTheCablesRate;
    std::printf("%s %s input capacity (notes for %lu ms at 1, 2, 5, 10, 20, 50 times the cable's "
                "rate): kept up at up to %.0f times the cable's rate, most received %.0f bytes/s "
                "(%.1f times); processor time per second at the cable's rate: program %.0f ms, "
                "service %.0f ms, Wine's server %.0f ms\n",
                bits, mode, streamMs, capacity.keptUpAt, capacity.mostReceived,
                capacity.mostReceived / cableBytesPerSecond, cost.programMs, cost.serviceMs,
                cost.serverMs);
    const StreamOutcome& missed = capacity.shortfall;
    if (capacity.shortAt != 0) {
        std::printf("%s %s at %.0f times: sent %ld of %ld bytes due, heard %ld of %ld, %ld errors, "
                    "the last after %.0f ms\n",
                    bits, mode, capacity.shortAt, missed.sent, missed.due, missed.heard,
                    missed.expected, missed.errors, missed.endMs);
    }
}

// A 40,000-byte exclusive from the instrument at the cable's rate (384 bytes every 100 ms), taken
// by an input with one 32 KiB buffer added again from its callback, as browsers do.
constexpr LONG dumpBytes = 40000;
DWORD_PTR dumpStream = 0;
volatile LONG dumpReceived = 0;
volatile double dumpWholeAtMs = 0;

void CALLBACK onDumpInput(HMIDIIN, UINT message, DWORD_PTR, DWORD_PTR param1, DWORD_PTR) {
    if (message == MIM_LONGDATA) {
        auto* header = reinterpret_cast<MIDIHDR*>(param1);
        auto count = static_cast<LONG>(header->dwBytesRecorded);
        if (InterlockedExchangeAdd(&dumpReceived, count) + count == dumpBytes) {
            dumpWholeAtMs = nowMs();
        }
        if (header->dwBytesRecorded > 0) {
            midMessage(0, MIDM_ADDBUFFER, dumpStream, param1, sizeof *header);
        }
    }
}

double ratio(double measured, double reference) {
    return reference > 0 ? measured / reference : 0;
}

// Bytes per second the instrument sent and the program received whole, from the dump's first
// byte to its last, and how long after its last byte was sent the program had it.
struct DumpOutcome {
    bool measured; // false when the input would not start
    double sentRate;
    double receivedRate; // 0 when it did not come whole
    double lagMs;
};

DumpOutcome dumpAtTheCablesRate() {
    dumpReceived = 0;
    std::vector<char> memory(32768);
    MIDIHDR header{};
    header.lpData = memory.data();
    header.dwBufferLength = static_cast<DWORD>(memory.size());
    header.dwFlags = MHDR_PREPARED; // as winmm marks a header it has prepared
    MIDIOPENDESC description{};
    description.dwCallback = reinterpret_cast<DWORD_PTR>(onDumpInput);
    if (midMessage(0, MIDM_OPEN, reinterpret_cast<DWORD_PTR>(&dumpStream),
                   reinterpret_cast<DWORD_PTR>(&description),
                   CALLBACK_FUNCTION) != MMSYSERR_NOERROR) {
        return {};
    }
    midMessage(0, MIDM_ADDBUFFER, dumpStream, reinterpret_cast<DWORD_PTR>(&header), sizeof header);
    midMessage(0, MIDM_START, dumpStream, 0, 0);
    std::vector<BYTE> dump(static_cast<size_t>(dumpBytes), 0x11);
    dump.front() = 0xF0;
    dump.back() = 0xF7;
    double start = nowMs();
    double lastSentAt = start;
    for (size_t at = 0; at < dump.size(); at += 384) {
        DWORD written = 0;
        WriteFile(instrument, &dump[at],
                  static_cast<DWORD>(std::min<size_t>(384, dump.size() - at)), &written, nullptr);
        lastSentAt = nowMs();
        Sleep(100);
    }
    double sentMs = nowMs() - start;
    for (int waited = 0; dumpReceived < dumpBytes && waited < 5000; waited += 10) {
        Sleep(10);
    }
    stopInput(dumpStream);
    bool whole = dumpReceived == dumpBytes;
    return {true, dumpBytes * 1000.0 / sentMs,
            whole ? dumpBytes * 1000.0 / (dumpWholeAtMs - start) : 0,
            whole ? dumpWholeAtMs - lastSentAt : -1};
}

void printDump(const char* bits, const char* mode, const DumpOutcome& dump) {
    if (!dump.measured) {
        std::printf("%s %s input of an exclusive: the input would not start\n", bits, mode);
        return;
    }
    std::printf("%s %s input of a %ld-byte exclusive at the cable's rate: sent %.0f bytes/s, "
                "received whole %.0f bytes/s, ratio %.2f; its last byte reached the program "
                "%.0f ms after it was sent\n",
                bits, mode, dumpBytes, dump.sentRate, dump.receivedRate,
                ratio(dump.receivedRate, dump.sentRate), dump.lagMs);
}

// The processor time, in ms, the service and this program take in two seconds while an input is
// open and started and nothing flows; false when there is no input through the service.
constexpr DWORD idleMs = 2000;
bool measureIdleCost(double& serviceMs, double& programMs) {
    DWORD_PTR stream = startInput();
    HANDLE service = serviceProcess();
    bool measured = stream != 0 && service != nullptr;
    if (measured) {
        ProcessorCost before = processorNow();
        Sleep(idleMs);
        ProcessorCost after = processorNow();
        serviceMs = after.serviceMs - before.serviceMs;
        programMs = after.programMs - before.programMs;
    }
    if (service != nullptr) {
        CloseHandle(service);
    }
    if (stream != 0) {
        stopInput(stream);
    }
    return measured;
}

// A bare reader: eight one-byte reads whose completion routines run in its alertable wait.
struct RawReader {
    HANDLE port;
    HANDLE stop;
    OVERLAPPED slots[8];
    BYTE bytes[8];
};
RawReader reader;

void CALLBACK onRawRead(DWORD error, DWORD count, OVERLAPPED* slot) {
    if (error != 0) {
        return;
    }
    if (count == 1) {
        noteArrival();
    }
    size_t index = static_cast<size_t>(slot - reader.slots);
    ReadFileEx(reader.port, &reader.bytes[index], 1, slot, onRawRead);
}

DWORD WINAPI runRawReader(void*) {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    for (size_t i = 0; i < 8; ++i) {
        reader.slots[i] = {};
        ReadFileEx(reader.port, &reader.bytes[i], 1, &reader.slots[i], onRawRead);
    }
    while (WaitForSingleObjectEx(reader.stop, INFINITE, TRUE) == WAIT_IO_COMPLETION) {
    }
    CancelIo(reader.port);
    SleepEx(0, TRUE); // the cancelled reads' routines
    return 0;
}

void rawLatency(std::vector<double>& samples) {
    reader.port = openLine(L"\\\\.\\COM1", FILE_FLAG_OVERLAPPED);
    if (reader.port == INVALID_HANDLE_VALUE) {
        return;
    }
    reader.stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, runRawReader, nullptr, 0, nullptr);
    sampleLatency(samples);
    SetEvent(reader.stop);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    CloseHandle(reader.stop);
    CloseHandle(reader.port);
}

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    size_t at = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[at];
}

} // namespace

int main(int argc, char** argv) {
    const char* bits = sizeof(void*) == 8 ? "64-bit" : "32-bit";
    bool second = argc == 6 && std::strcmp(argv[1], "--send") == 0;
    DriverEntries driver;
    DriverLoad load = loadDriver(L"melvpcif.dll", driver);
    if (load == DriverLoad::refused) {
        std::printf("the driver beside this program does not load\n");
        return 1;
    }
    modMessage = driver.modMessage;
    midMessage = driver.midMessage;
    if (second) {
        return sendAsSecondProgram(std::atoi(argv[2]), argv[3], argv[4], argv[5]);
    }
    instrument = openLine(L"\\\\.\\COM8", 0);
    arrived = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (load != DriverLoad::loaded || instrument == INVALID_HANDLE_VALUE) {
        std::printf("the driver's entry points or the instrument's end of the line are missing\n");
        return 1;
    }

    HANDLE drain = CreateThread(nullptr, 0, drainInstrument, nullptr, 0, nullptr);
    std::vector<double> driverRates, rawRates;
    for (int round = 0; round < rounds; ++round) {
        driverRates.push_back(driverMessagesPerSecond());
        rawRates.push_back(rawMessagesPerSecond());
    }
    draining = 0;
    WaitForSingleObject(drain, INFINITE);
    CloseHandle(drain);

    std::vector<double> driverLatencies, rawLatencies;
    for (int round = 0; round < rounds; ++round) {
        driverLatency(driverLatencies);
        rawLatency(rawLatencies);
    }

    Capacity oneProgram = inputCapacity(1);
    DumpOutcome oneProgramDump = dumpAtTheCablesRate();

    // Shared: the service holds the port from the first open on, so the raw loop cannot run
    // between these rounds; it ran between the ones above, on the same line.
    std::vector<double> sharedRates, sharedLatencies;
    bool shared = shareTheInstrument(true);
    draining = 1;
    drain = CreateThread(nullptr, 0, drainInstrument, nullptr, 0, nullptr);
    for (int round = 0; round < rounds && shared; ++round) {
        sharedRates.push_back(sharedMessagesPerSecond());
    }
    draining = 0;
    WaitForSingleObject(drain, INFINITE);
    CloseHandle(drain);
    for (int round = 0; round < rounds && shared; ++round) {
        driverLatency(sharedLatencies);
    }
    Capacity sharedCapacity = shared ? inputCapacity(2) : Capacity{};
    DumpOutcome sharedDump = shared ? dumpAtTheCablesRate() : DumpOutcome{};
    double serviceIdleMs = 0, programIdleMs = 0;
    bool idleMeasured = shared && measureIdleCost(serviceIdleMs, programIdleMs);
    shareTheInstrument(false);
    unloadDriver(driver);

    double driverRate = percentile(driverRates, 0.5), rawRate = percentile(rawRates, 0.5);
    std::printf("%s short messages per second (median of %d rounds of %d): driver %.0f, raw "
                "WriteFile %.0f, ratio %.2f\n",
                bits, rounds, messagesPerRound, driverRate, rawRate, ratio(driverRate, rawRate));
    for (double fraction : {0.5, 0.99}) {
        double driverMs = percentile(driverLatencies, fraction);
        double rawMs = percentile(rawLatencies, fraction);
        std::printf("%s input latency, %s of %zu and %zu samples: driver %.2f ms, raw reader "
                    "%.2f ms, ratio %.2f\n",
                    bits, fraction == 0.5 ? "median" : "99th percentile", driverLatencies.size(),
                    rawLatencies.size(), driverMs, rawMs, ratio(driverMs, rawMs));
    }
    printCapacity(bits, "one program at a time,", oneProgram);
    printDump(bits, "one program at a time,", oneProgramDump);
    if (!shared) {
        std::printf("%s shared: the setting cannot be written\n", bits);
        return 1;
    }
    // The virtual line takes bytes as fast as they come; the instrument's cable carries 3840 a
    // second (38400 baud, ten bits a byte).
    double sharedRate = percentile(sharedRates, 0.5);
    std::printf("%s shared, two programs sending at once (median of %d rounds of 2 x %d): %.0f "
                "messages (%.0f bytes) per second at the instrument, ratio to the cable's 3840 "
                "bytes %.2f, to raw WriteFile %.2f\n",
                bits, rounds, messagesPerRound, sharedRate, 4 * sharedRate, 4 * sharedRate / 3840,
                ratio(sharedRate, rawRate));
    double sharedMs = percentile(sharedLatencies, 0.5), oneMs = percentile(driverLatencies, 0.5);
    std::printf("%s shared input latency, median of %zu samples: %.2f ms, one program at a time "
                "%.2f ms, difference %+.2f ms\n",
                bits, sharedLatencies.size(), sharedMs, oneMs, sharedMs - oneMs);
    printCapacity(bits, "shared, two inputs listening,", sharedCapacity);
    printDump(bits, "shared,", sharedDump);
    if (idleMeasured) {
        std::printf("%s shared, idle with an input started, processor time in %lu ms: service "
                    "%.1f ms, this program %.1f ms\n",
                    bits, idleMs, serviceIdleMs, programIdleMs);
    } else {
        std::printf("%s shared, idle: no input through the service to look at\n", bits);
    }
    return 0;
}
