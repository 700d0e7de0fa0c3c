// The driver's main job, end to end: loads melvpcif.dll the way the Windows multimedia host does,
// switches on independent mode, plays a short phrase to each of the four outputs, listens on the
// input and prints what the instrument sends back. Works against the instrument on a real COM
// port as well as against the stand-in under Wine.
//
//   melv-demo.exe [PATH\melvpcif.dll] [--port N] [--listen SECONDS]
//
// The settings it changes for the demonstration (port and message mask) are put back at the end.
#include <windows.h>

#include <mmddk.h>
#include <mmsystem.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

using DriverEntry = DWORD(WINAPI*)(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

const wchar_t settingsKey[] = L"Software\\MELV\\MELV PC I/F MIDI Driver";
constexpr DWORD independentMode = 1u << 8;

struct Driver {
    HDRVR handle = nullptr;
    DriverEntry modMessage = nullptr;
    DriverEntry midMessage = nullptr;
};

// What the input callback saw, printed by the main thread: the callback runs on the driver's
// input thread and should return quickly.
CRITICAL_SECTION receivedLock;
std::vector<std::wstring> received;

void note(const std::wstring& line) {
    EnterCriticalSection(&receivedLock);
    received.push_back(line);
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

std::wstring hex(const BYTE* bytes, DWORD count) {
    std::wstring text;
    wchar_t byte[4];
    for (DWORD i = 0; i < count; ++i) {
        std::swprintf(byte, 4, i == 0 ? L"%02X" : L" %02X", bytes[i]);
        text += byte;
    }
    return text;
}

void CALLBACK onInput(HMIDIIN, UINT message, DWORD_PTR, DWORD_PTR param1, DWORD_PTR param2) {
    wchar_t line[96];
    if (message == MIM_DATA || message == MIM_ERROR) {
        std::swprintf(line, 96, L"%ls %06lX at %lu ms", message == MIM_DATA ? L"data " : L"error",
                      static_cast<unsigned long>(param1), static_cast<unsigned long>(param2));
        note(line);
    } else if (message == MIM_LONGDATA || message == MIM_LONGERROR) {
        auto* header = reinterpret_cast<MIDIHDR*>(param1);
        if (header->dwBytesRecorded > 0) {
            note((message == MIM_LONGDATA ? L"sysex " : L"sysex (cut short) ") +
                 hex(reinterpret_cast<BYTE*>(header->lpData), header->dwBytesRecorded));
        }
    }
}

// The settings key in the 64-bit view, which both builds of the driver share.
HKEY openSettings() {
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, settingsKey, 0, nullptr, 0,
                    KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr);
    return key;
}

bool readDword(HKEY key, const wchar_t* name, DWORD& value) {
    DWORD size = sizeof value;
    return RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size) ==
           ERROR_SUCCESS;
}

void writeDword(HKEY key, const wchar_t* name, DWORD value) {
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

DriverEntry entry(HMODULE module, const char* name) {
    return reinterpret_cast<DriverEntry>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

bool loadDriver(const std::wstring& path, Driver& driver) {
    driver.handle = OpenDriver(path.c_str(), nullptr, 0);
    if (driver.handle == nullptr) {
        return false;
    }
    HMODULE module = GetDriverModuleHandle(driver.handle);
    driver.modMessage = entry(module, "modMessage");
    driver.midMessage = entry(module, "midMessage");
    return driver.modMessage != nullptr && driver.midMessage != nullptr;
}

DWORD send(const Driver& driver, DWORD_PTR stream, DWORD message) {
    return driver.modMessage(0, MODM_DATA, stream, message, 0);
}

DWORD sendLong(const Driver& driver, DWORD_PTR stream, std::vector<BYTE> bytes) {
    MIDIHDR header = {};
    header.lpData = reinterpret_cast<LPSTR>(bytes.data());
    header.dwBufferLength = static_cast<DWORD>(bytes.size());
    header.dwFlags = MHDR_PREPARED; // the host prepares headers; this program stands in for it
    return driver.modMessage(0, MODM_LONGDATA, stream, reinterpret_cast<DWORD_PTR>(&header),
                             sizeof header);
}

// A bar of music on one output: program, volume, bank, a short arpeggio and a GM-on exclusive.
void playPhrase(const Driver& driver, UINT output, const wchar_t* name) {
    MIDIOPENDESC description = {};
    DWORD_PTR stream = 0;
    DWORD status = driver.modMessage(output, MODM_OPEN, reinterpret_cast<DWORD_PTR>(&stream),
                                     reinterpret_cast<DWORD_PTR>(&description), CALLBACK_NULL);
    if (status != MMSYSERR_NOERROR) {
        std::wprintf(L"  out %u %ls: open failed with status %lu\n", output, name, status);
        return;
    }
    BYTE channel = static_cast<BYTE>(output);
    send(driver, stream, 0x000000C0u | channel | (output * 8 + 1) << 8); // program change
    send(driver, stream, 0x006407B0u | channel);                         // volume 100
    send(driver, stream, 0x000000B0u | channel);                         // bank select MSB 0
    DWORD sysexStatus = sendLong(driver, stream, {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7});
    for (BYTE key : {60, 64, 67, 72}) {
        BYTE pitch = static_cast<BYTE>(key + 2 * output);
        send(driver, stream, 0x00600090u | channel | pitch << 8);
        Sleep(120);
        send(driver, stream, 0x00000080u | channel | pitch << 8);
    }
    driver.modMessage(0, MODM_CLOSE, stream, 0, 0);
    std::wprintf(L"  out %u %ls: program, volume, bank select, GM-on exclusive (status %lu), "
                 L"four notes\n",
                 output, name, sysexStatus);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring path = L"melvpcif.dll";
    DWORD port = 0;
    DWORD listenSeconds = 3;
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i];
        if (arg == L"--port" && i + 1 < argc) {
            port = std::wcstoul(argv[++i], nullptr, 10);
        } else if (arg == L"--listen" && i + 1 < argc) {
            listenSeconds = std::wcstoul(argv[++i], nullptr, 10);
        } else {
            path = arg;
        }
    }
    InitializeCriticalSection(&receivedLock);
    // Each line as it happens, also when the output goes into a pipe.
    std::setvbuf(stdout, nullptr, _IONBF, 0);

    // The driver reads its settings when it is loaded: set them before.
    HKEY settings = openSettings();
    DWORD savedMask = 0x7E7F, savedPort = 1;
    bool hadMask = settings && readDword(settings, L"Messages", savedMask);
    bool hadPort = settings && readDword(settings, L"COM", savedPort);
    if (settings) {
        writeDword(settings, L"Messages", (hadMask ? savedMask : 0x7E7F) | independentMode);
        if (port != 0) {
            writeDword(settings, L"COM", port);
        }
    }

    Driver driver;
    if (!loadDriver(path, driver)) {
        std::wprintf(L"cannot load the driver %ls\n", path.c_str());
        return 1;
    }
    DWORD outputs = driver.modMessage(0, MODM_GETNUMDEVS, 0, 0, 0);
    std::wprintf(L"driver %ls: %lu outputs, %lu input\n", path.c_str(), outputs,
                 driver.midMessage(0, MIDM_GETNUMDEVS, 0, 0, 0));

    MIDIOPENDESC description = {nullptr, reinterpret_cast<DWORD_PTR>(onInput), 0, 0, 0, {}};
    DWORD_PTR input = 0;
    DWORD status = driver.midMessage(0, MIDM_OPEN, reinterpret_cast<DWORD_PTR>(&input),
                                     reinterpret_cast<DWORD_PTR>(&description), CALLBACK_FUNCTION);
    std::vector<MIDIHDR> headers(4);
    std::vector<std::vector<char>> memory(4, std::vector<char>(512));
    if (status == MMSYSERR_NOERROR) {
        for (size_t i = 0; i < headers.size(); ++i) {
            headers[i].lpData = memory[i].data();
            headers[i].dwBufferLength = 512;
            headers[i].dwFlags = MHDR_PREPARED;
            driver.midMessage(0, MIDM_ADDBUFFER, input, reinterpret_cast<DWORD_PTR>(&headers[i]),
                              sizeof(MIDIHDR));
        }
        driver.midMessage(0, MIDM_START, input, 0, 0);
        std::wprintf(L"input open and started\n");
    } else {
        std::wprintf(L"input open failed with status %lu\n", status);
    }

    for (UINT output = 0; output < outputs; ++output) {
        MIDIOUTCAPSW caps = {};
        driver.modMessage(output, MODM_GETDEVCAPS, 0, reinterpret_cast<DWORD_PTR>(&caps),
                          sizeof caps);
        playPhrase(driver, output, caps.szPname);
        printReceived();
    }
    std::wprintf(L"listening for %lu s\n", listenSeconds);
    for (DWORD tenth = 0; tenth < listenSeconds * 10; ++tenth) {
        Sleep(100);
        printReceived();
    }
    if (status == MMSYSERR_NOERROR) {
        driver.midMessage(0, MIDM_STOP, input, 0, 0);
        driver.midMessage(0, MIDM_RESET, input, 0, 0);
        driver.midMessage(0, MIDM_CLOSE, input, 0, 0);
    }
    printReceived();
    CloseDriver(driver.handle, 0, 0);

    if (settings) {
        hadMask ? writeDword(settings, L"Messages", savedMask)
                : (void)RegDeleteValueW(settings, L"Messages");
        hadPort ? writeDword(settings, L"COM", savedPort) : (void)RegDeleteValueW(settings, L"COM");
        RegCloseKey(settings);
    }
    std::wprintf(L"done\n");
    return 0;
}
