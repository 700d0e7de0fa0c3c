// Checks the installation and the cable, and shows the driver's main job end to end: finds the
// instrument's MIDI devices by name, as every MIDI program does after the installer ran, plays a
// short phrase to each output, listens on the input for a few seconds and prints what the
// instrument sends. When something is wrong it says what, in plain words: the driver is not
// installed, another program has the port, the port cannot be opened, nothing arrives.
//
//   melv-toolbox.exe [--dll PATH\melvpcif.dll] [--independent] [--port N] [--listen SECONDS]
//   melv-toolbox.exe --monitor [--all] [--log FILE]
//   melv-toolbox.exe --window
//   melv-toolbox.exe --status
//   melv-toolbox.exe --panic
//   melv-toolbox.exe --repair
//   melv-toolbox.exe --send-syx FILE... [--pause MS] [--packet BYTES] [--to OUTPUT]
//   melv-toolbox.exe --receive-syx FILE [--request HEX] [--timeout SECONDS] [--to OUTPUT]
//
// --dll loads a driver that is not installed (for trying a build) the way Windows' multimedia
// system loads an installed one. --independent and --port change the driver's settings for this
// run only (they need administrator rights) and put them back at the end. --monitor shows what
// every program sends to the instrument and what comes back, until Ctrl+C; --status says which
// programs use the instrument and what the driver counted. Neither opens a device. --panic turns
// off every note and sustain pedal on every channel of each of the instrument's destinations.
// --repair puts back the driver's registration with Windows where Windows or a tool took it away
// (the check offers it too, when it finds the registration gone and runs in a console).
// --send-syx and --receive-syx are the librarian's jobs for scripts (dumps.h): a restore of the
// instrument's sounds from .syx files and a backup into one.
#include "common/driver_loader.h"
#include "common/hex.h"
#include "common/installed_driver.h"
#include "common/settings_key.h"
#include "dumps.h"
#include "instrument.h"
#include "machine_registration.h"
#include "midi/messages.h"
#include "monitor.h"
#include "monitor_window.h"
#include "panic.h"
#include "words/midi_text.h"

#include <windows.h>

#include <mmddk.h>
#include <mmsystem.h>

#include <cstdio>
#include <cwchar>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct Options {
    std::wstring dll;
    bool independent = false;
    DWORD port = 0;
    DWORD listenSeconds = 5;
    bool monitor = false;
    bool window = false;
    bool status = false;
    bool panic = false;
    bool repair = false;
    MonitorOptions watching;
    bool sendSyx = false, receiveSyx = false;
    SendJob sending;
    ReceiveJob receiving;
};

// How the toolbox reaches the driver: through winmm, as applications do, or straight into a DLL
// loaded with OpenDriver, as winmm does with an installed one.
DriverEntries direct;

bool isDirect() {
    return direct.driver != nullptr;
}

// An opened device: the winmm handle, or the driver's own instance value when loaded directly.
struct Opened {
    UINT device;
    DWORD_PTR handle;
};

UINT outputCount() {
    return isDirect() ? direct.modMessage(0, MODM_GETNUMDEVS, 0, 0, 0) : midiOutGetNumDevs();
}

UINT inputCount() {
    return isDirect() ? direct.midMessage(0, MIDM_GETNUMDEVS, 0, 0, 0) : midiInGetNumDevs();
}

std::wstring outputName(UINT device) {
    MIDIOUTCAPSW caps{};
    MMRESULT status = isDirect()
                          ? direct.modMessage(device, MODM_GETDEVCAPS, 0,
                                              reinterpret_cast<DWORD_PTR>(&caps), sizeof caps)
                          : midiOutGetDevCapsW(device, &caps, sizeof caps);
    return status == MMSYSERR_NOERROR ? caps.szPname : L"";
}

std::wstring inputName(UINT device) {
    MIDIINCAPSW caps{};
    MMRESULT status = isDirect()
                          ? direct.midMessage(device, MIDM_GETDEVCAPS, 0,
                                              reinterpret_cast<DWORD_PTR>(&caps), sizeof caps)
                          : midiInGetDevCapsW(device, &caps, sizeof caps);
    return status == MMSYSERR_NOERROR ? caps.szPname : L"";
}

MMRESULT openOutput(UINT device, Opened& output) {
    output = {device, 0};
    if (isDirect()) {
        MIDIOPENDESC description{};
        return direct.modMessage(device, MODM_OPEN, reinterpret_cast<DWORD_PTR>(&output.handle),
                                 reinterpret_cast<DWORD_PTR>(&description), CALLBACK_NULL);
    }
    HMIDIOUT handle = nullptr;
    MMRESULT status = midiOutOpen(&handle, device, 0, 0, CALLBACK_NULL);
    output.handle = reinterpret_cast<DWORD_PTR>(handle);
    return status;
}

MMRESULT send(const Opened& output, DWORD message) {
    return isDirect() ? direct.modMessage(output.device, MODM_DATA, output.handle, message, 0)
                      : midiOutShortMsg(reinterpret_cast<HMIDIOUT>(output.handle), message);
}

MMRESULT sendLong(const Opened& output, std::vector<BYTE> bytes) {
    MIDIHDR header{};
    header.lpData = reinterpret_cast<LPSTR>(bytes.data());
    header.dwBufferLength = static_cast<DWORD>(bytes.size());
    if (isDirect()) {
        header.dwFlags =
            MHDR_PREPARED; // the host prepares headers; here the toolbox stands in for it
        return direct.modMessage(output.device, MODM_LONGDATA, output.handle,
                                 reinterpret_cast<DWORD_PTR>(&header), sizeof header);
    }
    auto handle = reinterpret_cast<HMIDIOUT>(output.handle);
    MMRESULT status = midiOutPrepareHeader(handle, &header, sizeof header);
    if (status == MMSYSERR_NOERROR) {
        status = midiOutLongMsg(handle, &header, sizeof header);
        midiOutUnprepareHeader(handle, &header, sizeof header);
    }
    return status;
}

void closeOutput(const Opened& output) {
    isDirect() ? (void)direct.modMessage(output.device, MODM_CLOSE, output.handle, 0, 0)
               : (void)midiOutClose(reinterpret_cast<HMIDIOUT>(output.handle));
}

// What the input callback saw, printed by the main thread: the callback runs on the driver's
// input thread and should return quickly.
CRITICAL_SECTION receivedLock;
std::vector<std::wstring> received;
DWORD receivedCount = 0;

void note(const std::wstring& line) {
    EnterCriticalSection(&receivedLock);
    received.push_back(line);
    ++receivedCount;
    LeaveCriticalSection(&receivedLock);
}

void printReceived() {
    EnterCriticalSection(&receivedLock);
    for (const std::wstring& line : received) {
        std::wprintf(L"  in  %ls\n", line.c_str());
    }
    received.clear();
    LeaveCriticalSection(&receivedLock);
}

void CALLBACK onInput(HMIDIIN, UINT message, DWORD_PTR, DWORD_PTR param1, DWORD_PTR param2) {
    wchar_t line[96];
    if (message == MIM_DATA) {
        // The packed message in words, as a musician reads it: "Note On ch 1 C4 vel 100".
        std::vector<uint8_t> bytes = {static_cast<uint8_t>(param1),
                                      static_cast<uint8_t>(param1 >> 8),
                                      static_cast<uint8_t>(param1 >> 16)};
        bytes.resize(shortMessageBytes(bytes[0]));
        std::string words = describeMessage(bytes);
        std::swprintf(line, 96, L"%hs at %lu ms", words.c_str(),
                      static_cast<unsigned long>(param2));
        note(line);
    } else if (message == MIM_ERROR) {
        std::swprintf(line, 96, L"error %06lX at %lu ms", static_cast<unsigned long>(param1),
                      static_cast<unsigned long>(param2));
        note(line);
    } else if (message == MIM_LONGDATA || message == MIM_LONGERROR) {
        auto* header = reinterpret_cast<MIDIHDR*>(param1);
        if (header->dwBytesRecorded > 0) {
            std::string bytes = hexBytes(reinterpret_cast<const unsigned char*>(header->lpData),
                                         header->dwBytesRecorded);
            note((message == MIM_LONGDATA ? L"sysex " : L"sysex (cut short) ") +
                 std::wstring(bytes.begin(), bytes.end()));
        }
    }
}

// The input device with four exclusive buffers, opened and started.
struct Input {
    Opened opened{};
    MIDIHDR headers[4] = {};
    char memory[4][512] = {};
};

DWORD_PTR inputMessage(const Input& input, UINT message, DWORD_PTR param1, DWORD_PTR param2) {
    return direct.midMessage(input.opened.device, message, input.opened.handle, param1, param2);
}

MMRESULT openInput(UINT device, Input& input) {
    input.opened = {device, 0};
    HMIDIIN handle = nullptr;
    MMRESULT status;
    if (isDirect()) {
        MIDIOPENDESC description{};
        description.dwCallback = reinterpret_cast<DWORD_PTR>(onInput);
        status =
            direct.midMessage(device, MIDM_OPEN, reinterpret_cast<DWORD_PTR>(&input.opened.handle),
                              reinterpret_cast<DWORD_PTR>(&description), CALLBACK_FUNCTION);
    } else {
        status =
            midiInOpen(&handle, device, reinterpret_cast<DWORD_PTR>(onInput), 0, CALLBACK_FUNCTION);
        input.opened.handle = reinterpret_cast<DWORD_PTR>(handle);
    }
    if (status != MMSYSERR_NOERROR) {
        return status;
    }
    for (size_t i = 0; i < 4; ++i) {
        MIDIHDR& header = input.headers[i];
        header.lpData = input.memory[i];
        header.dwBufferLength = sizeof input.memory[i];
        if (isDirect()) {
            header.dwFlags = MHDR_PREPARED;
            inputMessage(input, MIDM_ADDBUFFER, reinterpret_cast<DWORD_PTR>(&header),
                         sizeof header);
        } else {
            midiInPrepareHeader(handle, &header, sizeof header);
            midiInAddBuffer(handle, &header, sizeof header);
        }
    }
    return isDirect() ? inputMessage(input, MIDM_START, 0, 0) : midiInStart(handle);
}

void closeInput(Input& input) {
    if (isDirect()) {
        inputMessage(input, MIDM_RESET, 0, 0);
        inputMessage(input, MIDM_CLOSE, 0, 0);
        return;
    }
    auto handle = reinterpret_cast<HMIDIIN>(input.opened.handle);
    midiInReset(handle); // hands every buffer back, so that the close is accepted
    for (MIDIHDR& header : input.headers) {
        midiInUnprepareHeader(handle, &header, sizeof header);
    }
    midiInClose(handle);
}

// The driver's settings, changed for the demonstration and put back afterwards. They are read
// when the driver is loaded, so they are set before the first MIDI call.
struct SavedSettings {
    HKEY key = nullptr;
    DWORD mask = 0, port = 0;
    bool hadMask = false, hadPort = false;
};

bool changeSettings(const Options& options, SavedSettings& saved) {
    if (!options.independent && options.port == 0) {
        return true;
    }
    saved.key = createSettingsKey(KEY_QUERY_VALUE | KEY_SET_VALUE);
    if (saved.key == nullptr) {
        return false;
    }
    saved.hadMask = readDword(saved.key, messagesSetting, saved.mask);
    saved.hadPort = readDword(saved.key, portSetting, saved.port);
    bool written = true;
    if (options.independent) {
        written =
            writeDword(saved.key, messagesSetting,
                       (saved.hadMask ? saved.mask : defaultMessageMask) | independentModeMaskBit);
    }
    if (options.port != 0) {
        written = written && writeDword(saved.key, portSetting, options.port);
    }
    return written;
}

void restoreSettings(SavedSettings& saved) {
    if (saved.key == nullptr) {
        return;
    }
    saved.hadMask ? (void)writeDword(saved.key, messagesSetting, saved.mask)
                  : (void)RegDeleteValueW(saved.key, messagesSetting);
    saved.hadPort ? (void)writeDword(saved.key, portSetting, saved.port)
                  : (void)RegDeleteValueW(saved.key, portSetting);
    RegCloseKey(saved.key);
}

// A bar of music on one output: program, volume, bank, a GM-on exclusive and a short arpeggio.
// Answers the exit code: all well, or what went wrong, said in plain words.
int playPhrase(UINT device, const std::wstring& name, UINT position) {
    Opened output;
    MMRESULT status = openOutput(device, output);
    if (status != MMSYSERR_NOERROR) {
        return explainOpenFailure(name, status);
    }
    MMRESULT sent = MMSYSERR_NOERROR; // the first send that failed, if one did
    auto keep = [&sent](MMRESULT result) { sent = sent != MMSYSERR_NOERROR ? sent : result; };
    BYTE channel = static_cast<BYTE>(position);
    keep(send(output, 0x000000C0u | channel | (position * 8 + 1) << 8)); // program change
    keep(send(output, 0x006407B0u | channel));                           // volume 100
    keep(send(output, 0x000000B0u | channel));                           // bank select MSB 0
    keep(sendLong(output, {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}));        // GM on
    for (BYTE key : {60, 64, 67, 72}) {
        BYTE pitch = static_cast<BYTE>(key + 2 * position);
        keep(send(output, 0x00600090u | channel | pitch << 8));
        Sleep(120);
        keep(send(output, 0x00000080u | channel | pitch << 8));
    }
    closeOutput(output);
    std::wprintf(L"  out %u %ls: program, volume, bank select, GM-on exclusive, four notes "
                 L"(status %u)\n",
                 device, name.c_str(), sent);
    if (sent != MMSYSERR_NOERROR) {
        std::wprintf(L"\nThe serial line stopped taking what %ls sent. Check that the cable and "
                     L"the serial adapter are plugged in, then try again.\n",
                     name.c_str());
        return portUnavailable;
    }
    return allWell;
}

// A whole decimal number no larger than `largest`.
template <typename Number> bool readNumber(const wchar_t* text, Number largest, Number& into) {
    wchar_t* end = nullptr;
    unsigned long long value = std::wcstoull(text, &end, 10);
    into = static_cast<Number>(value);
    return *text >= L'0' && *text <= L'9' && *end == L'\0' && value <= largest;
}

// The librarian's options, which go with --send-syx or --receive-syx only.
bool parseLibrarianOption(const std::wstring& arg, int argc, wchar_t** argv, int& i,
                          Options& options) {
    bool hasValue = i + 1 < argc;
    if (arg == L"--send-syx") {
        options.sendSyx = true;
        for (; i + 1 < argc && std::wcsncmp(argv[i + 1], L"--", 2) != 0; ++i) {
            options.sending.files.push_back(argv[i + 1]);
        }
        return !options.sending.files.empty();
    }
    if (arg == L"--receive-syx" && hasValue) {
        options.receiveSyx = true;
        options.receiving.file = argv[++i];
        return true;
    }
    if (arg == L"--to" && hasValue) {
        options.sending.output = options.receiving.output = argv[++i];
        return true;
    }
    if (arg == L"--request" && hasValue) {
        std::wstring request = argv[++i];
        options.receiving.request.assign(request.begin(), request.end());
        return true;
    }
    if (!hasValue) {
        return false;
    }
    if (arg == L"--pause") {
        return readNumber(argv[++i], sendPauseMaxMs, options.sending.pauseMs);
    }
    if (arg == L"--packet") {
        return readNumber(argv[++i], syxFileBytesMax, options.sending.packetBytes);
    }
    if (arg == L"--timeout") {
        return readNumber(argv[++i], 3600u, options.receiving.quietSeconds) &&
               options.receiving.quietSeconds > 0;
    }
    return false;
}

bool librarianOptionsFit(const Options& options, bool others) {
    SendJob sendDefaults;
    ReceiveJob receiveDefaults;
    bool sendOnly = options.sending.pauseMs != sendDefaults.pauseMs ||
                    options.sending.packetBytes != sendDefaults.packetBytes;
    bool receiveOnly = !options.receiving.request.empty() ||
                       options.receiving.quietSeconds != receiveDefaults.quietSeconds;
    bool job = options.sendSyx || options.receiveSyx;
    return !(options.sendSyx && options.receiveSyx) && !(job && others) &&
           (options.sendSyx || !sendOnly) && (options.receiveSyx || !receiveOnly) &&
           (job || options.sending.output.empty());
}

bool parseOptions(int argc, wchar_t** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == L"--dll" && hasValue) {
            options.dll = argv[++i];
        } else if (arg == L"--port" && hasValue) {
            options.port = std::wcstoul(argv[++i], nullptr, 10);
        } else if (arg == L"--listen" && hasValue) {
            options.listenSeconds = std::wcstoul(argv[++i], nullptr, 10);
        } else if (arg == L"--independent") {
            options.independent = true;
        } else if (arg == L"--monitor") {
            options.monitor = true;
        } else if (arg == L"--window") {
            options.window = true;
        } else if (arg == L"--all") {
            options.watching.all = true;
        } else if (arg == L"--log" && hasValue) {
            options.watching.logFile = argv[++i];
        } else if (arg == L"--panic") {
            options.panic = true;
        } else if (arg == L"--status") {
            options.status = true;
        } else if (arg == L"--repair") {
            options.repair = true;
        } else if (!parseLibrarianOption(arg, argc, argv, i, options)) {
            return false;
        }
    }
    // Watching and the status say what is, and change nothing for the run.
    bool onlyLooks = options.monitor || options.status || options.window;
    bool changes = options.independent || options.port != 0 || !options.dll.empty();
    bool alone = options.panic || options.repair;
    return options.port <= lastPortNumber && !(onlyLooks && changes) &&
           !(alone && (onlyLooks || changes)) && !(options.panic && options.repair) &&
           (options.monitor + options.status + options.window <= 1) &&
           (options.monitor || (!options.watching.all && options.watching.logFile.empty())) &&
           librarianOptionsFit(options, onlyLooks || changes || alone);
}

// How far a send has gone, a line at each tenth of it, so that a log stays short.
void printProgress(size_t sent, size_t inAll) {
    static size_t tenthsShown = 0;
    size_t tenths = inAll == 0 ? 10 : sent * 10 / inAll;
    if (tenths != tenthsShown) {
        tenthsShown = tenths;
        std::wprintf(L"  %zu%%: %zu of %zu bytes\n", tenths * 10, sent, inAll);
    }
}

// Puts the driver's registration back through the sharing service, which may do it for every
// user: no administrator rights, no question from Windows.
int repairRegistration() {
    std::wstring slot = registeredDriverSlot();
    if (!slot.empty()) {
        std::wprintf(L"The driver's registration with Windows is whole (as %ls).\n", slot.c_str());
        return allWell;
    }
    std::wprintf(L"Putting back the driver's registration with Windows...\n");
    if (!askServiceToRestoreRegistration() || (slot = registeredDriverSlot()).empty()) {
        std::wprintf(L"It could not be put back here. Run the driver's setup program again: it "
                     L"repairs the installation and keeps your settings.\n");
        return registrationGone;
    }
    std::wprintf(L"Put back: the driver is registered again as %ls. Restart your MIDI programs "
                 L"to see it.\n",
                 slot.c_str());
    return allWell;
}

// Whether a person answers at the console, rather than a script reading the output.
bool askedInConsole(const wchar_t* question) {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(input, &mode)) {
        return false;
    }
    std::wprintf(L"%ls [Y/n] ", question);
    wchar_t answer[8] = {};
    DWORD read = 0;
    ReadConsoleW(input, answer, 7, &read, nullptr);
    return read == 0 || answer[0] == L'\r' || answer[0] == L'y' || answer[0] == L'Y';
}

// This check once more, in a new process: a program's multimedia system reads the list of MIDI
// drivers once.
int checkAgain() {
    std::wprintf(L"\nChecking again:\n");
    STARTUPINFOW startup = {sizeof startup};
    PROCESS_INFORMATION process = {};
    std::wstring commandLine = GetCommandLineW();
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return registrationGone;
    }
    DWORD exitCode = registrationGone;
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(exitCode);
}

// Nothing of the driver's is listed: not installed, or installed with its registration gone.
int explainNoDevices() {
    if (driverFileInstalled() && registeredDriverSlot().empty()) {
        std::wprintf(L"\nThe driver's files are installed, but Windows removed its registration as "
                     L"a MIDI driver, so no program sees it. A Windows update or the MIDI "
                     L"registry repair of Windows 11's MIDI stack does that. It can be put back "
                     L"now (melv-toolbox.exe --repair does it from a script), or by running the "
                     L"driver's setup program again, which keeps your settings.\n");
        if (askedInConsole(L"Put the registration back now?") && repairRegistration() == allWell) {
            return checkAgain();
        }
        return registrationGone;
    }
    std::wprintf(L"\nNo MIDI device named \"%ls ...\" was found: the driver is not installed. "
                 L"Run the setup program, then start this check again.\n",
                 devicePrefix);
    return notInstalled;
}

std::wstring modeWords() {
    return sharingConfigured() ? L"shared: several programs may use the instrument at once"
                               : L"one program at a time";
}

int checkDevices(const Options& options) {
    std::vector<UINT> outputs;
    for (UINT device = 0; device < outputCount(); ++device) {
        if (isOurs(outputName(device))) {
            outputs.push_back(device);
        }
    }
    UINT inputDevice = ~0u;
    for (UINT device = 0; device < inputCount(); ++device) {
        if (isOurs(inputName(device)) && inputDevice == ~0u) {
            inputDevice = device;
        }
    }
    std::wprintf(L"driver: %zu outputs, %u input\n", outputs.size(), inputDevice == ~0u ? 0 : 1);
    std::wprintf(L"mode: %ls\n", modeWords().c_str());
    if (outputs.empty() || inputDevice == ~0u) {
        return explainNoDevices();
    }
    for (UINT device : outputs) {
        std::wprintf(L"  output %u: %ls\n", device, outputName(device).c_str());
    }
    std::wprintf(L"  input %u: %ls\n", inputDevice, inputName(inputDevice).c_str());

    Input input;
    MMRESULT status = openInput(inputDevice, input);
    if (status != MMSYSERR_NOERROR) {
        return explainOpenFailure(inputName(inputDevice), status);
    }
    std::wprintf(L"input open and started\n");
    int outcome = allWell;
    for (UINT position = 0; position < outputs.size() && outcome == allWell; ++position) {
        outcome = playPhrase(outputs[position], outputName(outputs[position]), position);
        printReceived();
    }
    std::wprintf(L"listening for %lu s: play something on the instrument\n", options.listenSeconds);
    for (DWORD tenth = 0; tenth < options.listenSeconds * 10; ++tenth) {
        Sleep(100);
        printReceived();
    }
    closeInput(input);
    printReceived();
    if (outcome == allWell && receivedCount == 0) {
        std::wprintf(L"\nNothing arrived from the instrument. If you played on it, check that the "
                     L"cable is on COM%lu and firmly plugged in at both ends, and that the "
                     L"instrument's computer interface is switched on.\n",
                     configuredPort());
        outcome = nothingArrived;
    }
    return outcome;
}

// The sound stops, in either mode; a program that holds the instrument alone is named, not
// interrupted.
int panic() {
    MMRESULT status = panicInEitherMode();
    if (status != MMSYSERR_NOERROR) {
        return explainOpenFailure(L"The instrument", status);
    }
    std::wprintf(L"All notes and sustain pedals are off, on every channel of each of the "
                 L"instrument's destinations.\n");
    return allWell;
}

int check(const Options& options) {
    if (options.dll.empty()) {
        return checkDevices(options);
    }
    if (loadDriver(options.dll.c_str(), direct) != DriverLoad::loaded) {
        std::wprintf(L"The driver %ls cannot be loaded.\n", options.dll.c_str());
        return notInstalled;
    }
    int outcome = checkDevices(options);
    unloadDriver(direct);
    return outcome;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    // Each line as it happens, also when the output goes into a pipe.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    Options options;
    if (!parseOptions(argc, argv, options)) {
        std::wprintf(
            L"usage: melv-toolbox.exe [--dll PATH] [--independent] [--port 1-256] "
            L"[--listen SECONDS]\n"
            L"       melv-toolbox.exe --monitor [--all] [--log FILE]\n"
            L"       melv-toolbox.exe --status\n"
            L"       melv-toolbox.exe --panic   (every note and pedal off)\n"
            L"       melv-toolbox.exe --repair  (the driver's registration with Windows)\n");
        return badArguments;
    }
    if (options.panic) {
        return panic();
    }
    if (options.repair) {
        return repairRegistration();
    }
    if (options.sendSyx) {
        return sendSyxFiles(options.sending, stopAskedAtConsole(), printProgress);
    }
    if (options.receiveSyx) {
        return receiveSyx(options.receiving, stopAskedAtConsole());
    }
    if (options.monitor) {
        return runMonitor(options.watching);
    }
    if (options.window) {
        return runMonitorWindow(modeWords(), configuredPort());
    }
    if (options.status) {
        std::wprintf(L"The MELV PC I/F MIDI driver now\n");
        return printStatus(modeWords(), configuredPort());
    }
    InitializeCriticalSection(&receivedLock);
    std::wprintf(L"Checking the MELV PC I/F MIDI driver and the connection to the instrument\n");
    SavedSettings saved;
    if (!changeSettings(options, saved)) {
        std::wprintf(L"(the settings for this run cannot be changed without administrator "
                     L"rights; the saved settings apply)\n");
    }
    int outcome = check(options);
    restoreSettings(saved);
    std::wprintf(outcome == allWell ? L"done: the driver and the connection work\n"
                                    : L"done: see above\n");
    return outcome;
}
