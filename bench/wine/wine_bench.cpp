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
#include "common/driver_loader.h"

#include <windows.h>

#include <mmddk.h>
#include <mmsystem.h>

#include <algorithm>
#include <cstdio>
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

DWORD WINAPI drainInstrument(void*) {
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = 50;
    SetCommTimeouts(instrument, &timeouts);
    char bytes[4096];
    DWORD got = 0;
    while (draining) {
        ReadFile(instrument, bytes, sizeof bytes, &got, nullptr);
    }
    return 0;
}

void sendFromInstrument(BYTE byte) {
    DWORD written = 0;
    WriteFile(instrument, &byte, 1, &written, nullptr);
}

// Short messages per second through the driver's output 0.
double driverMessagesPerSecond() {
    MIDIOPENDESC description{};
    DWORD_PTR stream = 0;
    if (modMessage(0, MODM_OPEN, reinterpret_cast<DWORD_PTR>(&stream),
                   reinterpret_cast<DWORD_PTR>(&description), CALLBACK_NULL) != MMSYSERR_NOERROR) {
        return 0;
    }
    double start = nowMs();
    for (int i = 0; i < messagesPerRound; ++i) {
        modMessage(0, MODM_DATA, stream, noteOn ^ (i & 1) << 4, 0); // note on, note off
    }
    double elapsed = nowMs() - start;
    modMessage(0, MODM_CLOSE, stream, 0, 0);
    return messagesPerRound * 1000.0 / elapsed;
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

void driverLatency(std::vector<double>& samples) {
    MIDIOPENDESC description{};
    description.dwCallback = reinterpret_cast<DWORD_PTR>(onDriverInput);
    DWORD_PTR stream = 0;
    if (midMessage(0, MIDM_OPEN, reinterpret_cast<DWORD_PTR>(&stream),
                   reinterpret_cast<DWORD_PTR>(&description),
                   CALLBACK_FUNCTION) != MMSYSERR_NOERROR) {
        return;
    }
    midMessage(0, MIDM_START, stream, 0, 0);
    sampleLatency(samples);
    midMessage(0, MIDM_RESET, stream, 0, 0);
    midMessage(0, MIDM_CLOSE, stream, 0, 0);
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

double ratio(double driver, double raw) {
    return raw > 0 ? driver / raw : 0;
}

} // namespace

int main() {
    const char* bits = sizeof(void*) == 8 ? "64-bit" : "32-bit";
    DriverEntries driver;
    DriverLoad load = loadDriver(L"melvpcif.dll", driver);
    if (load == DriverLoad::refused) {
        std::printf("the driver beside this program does not load\n");
        return 1;
    }
    modMessage = driver.modMessage;
    midMessage = driver.midMessage;
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
    return 0;
}
