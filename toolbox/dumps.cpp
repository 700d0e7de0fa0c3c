#include "dumps.h"

#include "instrument.h"
#include "words/midi_text.h"

#include <windows.h>

#include <mmsystem.h>

#include <cstdio>
#include <cwctype>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

constexpr UINT noDevice = ~0u;

bool endsWithIgnoringCase(const std::wstring& text, const std::wstring& end) {
    if (end.size() > text.size()) {
        return false;
    }
    for (size_t at = 0; at < end.size(); ++at) {
        if (std::towlower(text[text.size() - end.size() + at]) != std::towlower(end[at])) {
            return false;
        }
    }
    return true;
}

std::wstring outputName(UINT device) {
    MIDIOUTCAPSW caps{};
    return midiOutGetDevCapsW(device, &caps, sizeof caps) == MMSYSERR_NOERROR ? caps.szPname : L"";
}

// The first of the driver's outputs named `wanted`, or whose name ends with it ("Synth-A"); the
// first of them all when nothing is wanted.
UINT findOutput(const std::wstring& wanted, std::wstring& name) {
    for (UINT device = 0; device < midiOutGetNumDevs(); ++device) {
        name = outputName(device);
        if (isOurs(name) && endsWithIgnoringCase(name, wanted)) {
            return device;
        }
    }
    return noDevice;
}

UINT findInput(std::wstring& name) {
    for (UINT device = 0; device < midiInGetNumDevs(); ++device) {
        MIDIINCAPSW caps{};
        if (midiInGetDevCapsW(device, &caps, sizeof caps) == MMSYSERR_NOERROR &&
            isOurs(caps.szPname)) {
            name = caps.szPname;
            return device;
        }
    }
    return noDevice;
}

int explainNotInstalled() {
    std::wprintf(L"No MIDI device named \"%ls ...\" was found: the driver is not installed.\n",
                 devicePrefix);
    return notInstalled;
}

// Says why no output was found: the driver is not there, or none has that name.
int explainNoOutput(const std::wstring& wanted) {
    std::wstring any;
    if (findOutput(L"", any) == noDevice) {
        return explainNotInstalled();
    }
    std::wprintf(L"No output of the driver is named \"%ls\". Its outputs are:\n", wanted.c_str());
    for (UINT device = 0; device < midiOutGetNumDevs(); ++device) {
        if (std::wstring name = outputName(device); isOurs(name)) {
            std::wprintf(L"  %ls\n", name.c_str());
        }
    }
    return badArguments;
}

// A file's bytes, or false when it cannot be read. One byte more than a .syx file may hold is
// enough to refuse a larger one, so no more is read.
bool readFileStart(const std::wstring& path, std::vector<uint8_t>& bytes) {
    std::ifstream file(std::filesystem::path(path), std::ios::binary);
    if (!file) {
        return false;
    }
    bytes.resize(syxFileBytesMax + 1);
    file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<size_t>(file.gcount()));
    return !file.bad();
}

bool writeFile(const std::wstring& path, const std::vector<uint8_t>& bytes) {
    std::ofstream file(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    file.close();
    return !file.fail();
}

// Every file's exclusives in order, or the first file that is not exclusives, said with where.
bool readSyxFiles(const std::vector<std::wstring>& files, std::vector<Exclusive>& exclusives) {
    for (const std::wstring& path : files) {
        std::vector<uint8_t> bytes;
        std::vector<Exclusive> ofFile;
        std::string problem = "it cannot be read";
        if (!readFileStart(path, bytes) || !readSyx(bytes, ofFile, problem)) {
            std::wprintf(L"%ls is not sent, nor any other file: %hs.\n", path.c_str(),
                         problem.c_str());
            return false;
        }
        exclusives.insert(exclusives.end(), ofFile.begin(), ofFile.end());
    }
    return true;
}

// Waits `ms` in full, counted by the performance counter rather than by the scheduler's ticks,
// unless a cancel comes first.
void pauseFor(uint32_t ms, const std::atomic<bool>& cancel) {
    LARGE_INTEGER frequency, start, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    LONGLONG until = start.QuadPart + frequency.QuadPart * ms / 1000;
    for (QueryPerformanceCounter(&now); now.QuadPart < until && !cancel;
         QueryPerformanceCounter(&now)) {
        Sleep(1);
    }
}

// One buffer to the output, returning once the output is done with it.
MMRESULT sendBuffer(HMIDIOUT output, const uint8_t* bytes, size_t length) {
    MIDIHDR header{};
    header.lpData = reinterpret_cast<LPSTR>(const_cast<uint8_t*>(bytes));
    header.dwBufferLength = static_cast<DWORD>(length);
    MMRESULT status = midiOutPrepareHeader(output, &header, sizeof header);
    if (status != MMSYSERR_NOERROR) {
        return status;
    }
    status = midiOutLongMsg(output, &header, sizeof header);
    while (status == MMSYSERR_NOERROR && (header.dwFlags & MHDR_DONE) == 0) {
        Sleep(1);
    }
    midiOutUnprepareHeader(output, &header, sizeof header);
    return status;
}

// Opens the output the job names; the exit code when it cannot.
int openOutput(const std::wstring& wanted, HMIDIOUT& output, std::wstring& name) {
    UINT device = findOutput(wanted, name);
    if (device == noDevice) {
        return explainNoOutput(wanted);
    }
    MMRESULT status = midiOutOpen(&output, device, 0, 0, CALLBACK_NULL);
    return status == MMSYSERR_NOERROR ? allWell : explainOpenFailure(name, status);
}

int lineStopped(const std::wstring& name, MMRESULT status) {
    std::wprintf(L"\nThe serial line stopped taking what was sent to %ls (status %u). Check that "
                 L"the cable and the serial adapter are plugged in, then try again.\n",
                 name.c_str(), status);
    return portUnavailable;
}

size_t bytesOf(const std::vector<Exclusive>& exclusives) {
    size_t bytes = 0;
    for (const Exclusive& exclusive : exclusives) {
        bytes += exclusive.size();
    }
    return bytes;
}

// What the instrument sent, as the input's buffers bring it back: each exclusive put together from
// as many buffers as it filled.
struct Received {
    Exclusive bytes;
    DWORD time = 0; // ms since the recording started, of its first buffer
    bool broken = false;
};

constexpr size_t recordingBuffers = 16;
constexpr DWORD recordingBufferBytes = 4096; // with 16 of them, 17 s of the cable's bytes

struct Recording {
    CRITICAL_SECTION lock;
    HANDLE arrived = nullptr; // set when a buffer came back
    bool stopping = false;    // the input is being reset: its buffers come back empty, to stay
    Received assembling;
    std::vector<Received> done;
    std::vector<MIDIHDR*> returned; // to be queued again by the main thread
    DWORD lastArrival = 0;          // GetTickCount of the last exclusive byte
    MIDIHDR headers[recordingBuffers] = {};
    std::vector<char> memory = std::vector<char>(recordingBuffers * recordingBufferBytes);
};

void finishAssembling(Recording& recording, bool broken) {
    recording.assembling.broken = recording.assembling.broken || broken;
    recording.done.push_back(std::move(recording.assembling));
    recording.assembling = {};
}

// A buffer came back: its bytes join the exclusive under way, which ends at its F7 or, cut short,
// with a long error. Bytes that do not begin with F0 continue nothing: they are kept as broken.
void takeBuffer(Recording& recording, const MIDIHDR& header, bool error, DWORD time) {
    Received& assembling = recording.assembling;
    const auto* bytes = reinterpret_cast<const uint8_t*>(header.lpData);
    if (assembling.bytes.empty()) {
        assembling.time = time;
        assembling.broken = bytes[0] != 0xF0;
    }
    assembling.bytes.insert(assembling.bytes.end(), bytes, bytes + header.dwBytesRecorded);
    if (error || assembling.bytes.back() == 0xF7) {
        finishAssembling(recording, error);
    }
}

void CALLBACK onRecordingInput(HMIDIIN, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                               DWORD_PTR param2) {
    if (message != MIM_LONGDATA && message != MIM_LONGERROR) {
        return;
    }
    auto& recording = *reinterpret_cast<Recording*>(instance);
    auto* header = reinterpret_cast<MIDIHDR*>(param1);
    EnterCriticalSection(&recording.lock);
    if (header->dwBytesRecorded > 0) {
        takeBuffer(recording, *header, message == MIM_LONGERROR, static_cast<DWORD>(param2));
        recording.lastArrival = GetTickCount();
    }
    if (!recording.stopping) {
        recording.returned.push_back(header);
    }
    LeaveCriticalSection(&recording.lock);
    SetEvent(recording.arrived);
}

int openRecording(Recording& recording, HMIDIIN& input) {
    std::wstring name;
    UINT device = findInput(name);
    if (device == noDevice) {
        return explainNotInstalled();
    }
    MMRESULT status = midiInOpen(&input, device, reinterpret_cast<DWORD_PTR>(onRecordingInput),
                                 reinterpret_cast<DWORD_PTR>(&recording), CALLBACK_FUNCTION);
    if (status != MMSYSERR_NOERROR) {
        input = nullptr;
        return explainOpenFailure(name, status);
    }
    for (size_t at = 0; at < recordingBuffers; ++at) {
        MIDIHDR& header = recording.headers[at];
        header.lpData = recording.memory.data() + at * recordingBufferBytes;
        header.dwBufferLength = recordingBufferBytes;
        midiInPrepareHeader(input, &header, sizeof header);
        midiInAddBuffer(input, &header, sizeof header);
    }
    status = midiInStart(input);
    return status == MMSYSERR_NOERROR ? allWell : explainOpenFailure(name, status);
}

void closeRecording(Recording& recording, HMIDIIN input) {
    EnterCriticalSection(&recording.lock);
    recording.stopping = true;
    LeaveCriticalSection(&recording.lock);
    midiInReset(input); // hands every buffer back, an exclusive under way as a long error
    for (MIDIHDR& header : recording.headers) {
        midiInUnprepareHeader(input, &header, sizeof header);
    }
    midiInClose(input);
    // The input has let go of every buffer: nothing is queued again, and an exclusive whose last
    // buffer came back empty is cut short.
    recording.returned.clear();
    if (!recording.assembling.bytes.empty()) {
        finishAssembling(recording, true);
    }
}

void printReceived(size_t number, const Received& received) {
    std::string first = hexBytes(received.bytes, 8);
    std::string maker = makerOf(received.bytes);
    std::wprintf(L"  %zu: %zu bytes at %lu ms%ls  %hs%hs%hs\n", number, received.bytes.size(),
                 static_cast<unsigned long>(received.time),
                 received.broken ? L", arrived broken: not saved" : L"", maker.c_str(),
                 maker.empty() ? "" : "  ", first.c_str());
}

// Queues the buffers that came back again and lists what has ended since; whether anything
// arrived within the last `quietMs`.
bool tendRecording(Recording& recording, HMIDIIN input, size_t& listed, DWORD quietMs) {
    EnterCriticalSection(&recording.lock);
    std::vector<MIDIHDR*> returned;
    returned.swap(recording.returned);
    for (; listed < recording.done.size(); ++listed) {
        printReceived(listed + 1, recording.done[listed]);
    }
    bool quiet = GetTickCount() - recording.lastArrival >= quietMs;
    LeaveCriticalSection(&recording.lock);
    for (MIDIHDR* header : returned) {
        midiInAddBuffer(input, header, sizeof *header);
    }
    return !quiet;
}

int sendRequest(const ReceiveJob& job, const std::vector<uint8_t>& request) {
    HMIDIOUT output = nullptr;
    std::wstring name;
    int outcome = openOutput(job.output, output, name);
    if (outcome != allWell) {
        return outcome;
    }
    MMRESULT status = sendBuffer(output, request.data(), request.size());
    midiOutClose(output);
    if (status != MMSYSERR_NOERROR) {
        return lineStopped(name, status);
    }
    std::wprintf(L"Sent the request to %ls: %hs\n", name.c_str(), hexBytes(request, 16).c_str());
    return allWell;
}

// Saves the exclusives that arrived whole; the exit code.
int saveRecording(const ReceiveJob& job, const std::vector<Received>& done) {
    std::vector<Exclusive> whole;
    size_t broken = 0;
    for (const Received& received : done) {
        received.broken ? (void)++broken : whole.push_back(received.bytes);
    }
    if (!whole.empty() && !writeFile(job.file, syxFileOf(whole))) {
        std::wprintf(L"%ls cannot be written: nothing was saved.\n", job.file.c_str());
        return fileRefused;
    }
    if (!whole.empty()) {
        std::wprintf(L"Saved %zu exclusives, %zu bytes, in %ls.\n", whole.size(), bytesOf(whole),
                     job.file.c_str());
    }
    if (broken > 0) {
        std::wprintf(L"%zu exclusives arrived broken and were not saved: ask the instrument for "
                     L"them again.\n",
                     broken);
        return arrivedBroken;
    }
    if (whole.empty()) {
        std::wprintf(L"Nothing arrived from the instrument: nothing was saved. Start the dump on "
                     L"the instrument, or send a request with --request.\n");
        return nothingArrived;
    }
    return allWell;
}

} // namespace

int sendSyxFiles(const SendJob& job, const std::atomic<bool>& cancel,
                 const SendProgress& progress) {
    std::vector<Exclusive> exclusives;
    if (!readSyxFiles(job.files, exclusives)) {
        return fileRefused;
    }
    HMIDIOUT output = nullptr;
    std::wstring name;
    if (int outcome = openOutput(job.output, output, name); outcome != allWell) {
        return outcome;
    }
    size_t sent = 0, inAll = bytesOf(exclusives);
    bool withinExclusive = false; // a packet went out and the exclusive's F7 has not
    MMRESULT status = MMSYSERR_NOERROR;
    for (const SendStep& step : pacedSend(exclusives, job.packetBytes, job.pauseMs)) {
        if (cancel) {
            break;
        }
        const Exclusive& exclusive = exclusives[step.exclusive];
        status = sendBuffer(output, exclusive.data() + step.offset, step.length);
        if (status != MMSYSERR_NOERROR) {
            break;
        }
        sent += step.length;
        withinExclusive = step.offset + step.length < exclusive.size();
        progress(sent, inAll);
        pauseFor(step.pauseAfterMs, cancel);
    }
    if (withinExclusive) {
        // The instrument would otherwise take whatever comes next as part of this exclusive.
        const uint8_t end = 0xF7;
        sendBuffer(output, &end, 1);
    }
    midiOutClose(output);
    if (status != MMSYSERR_NOERROR) {
        return lineStopped(name, status);
    }
    if (sent < inAll) {
        std::wprintf(L"Stopped after %zu of %zu bytes%ls.\n", sent, inAll,
                     withinExclusive ? L": the exclusive under way was ended with F7" : L"");
        return cancelled;
    }
    std::wprintf(L"Sent %zu exclusives, %zu bytes, to %ls.\n", exclusives.size(), inAll,
                 name.c_str());
    return allWell;
}

int receiveSyx(const ReceiveJob& job, const std::atomic<bool>& cancel) {
    std::vector<uint8_t> request;
    std::string problem;
    if (!job.request.empty() && !readTypedMessages(job.request, request, problem)) {
        std::wprintf(L"The request is not sent: %hs.\n", problem.c_str());
        return badArguments;
    }
    Recording recording;
    InitializeCriticalSection(&recording.lock);
    recording.arrived = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    recording.lastArrival = GetTickCount();
    HMIDIIN input = nullptr;
    int outcome = openRecording(recording, input);
    if (outcome == allWell && !request.empty()) {
        outcome = sendRequest(job, request);
    }
    if (outcome == allWell) {
        std::wprintf(L"Recording what the instrument sends; it ends once nothing has arrived for "
                     L"%lu s.\n",
                     static_cast<unsigned long>(job.quietSeconds));
        size_t listed = 0;
        while (!cancel && tendRecording(recording, input, listed, job.quietSeconds * 1000)) {
            WaitForSingleObject(recording.arrived, 100);
        }
        closeRecording(recording, input);
        tendRecording(recording, input, listed, 0);
        outcome = saveRecording(job, recording.done);
    } else if (input != nullptr) {
        closeRecording(recording, input);
    }
    CloseHandle(recording.arrived);
    DeleteCriticalSection(&recording.lock);
    return outcome;
}
