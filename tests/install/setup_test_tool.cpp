// What the setup program's tests need from inside Windows (run under Wine by test-setup.sh):
//
//   setup-test-tool run PROGRAM [ARGUMENT...]
//       runs PROGRAM, waits for it and prints its exit code: the shell sees only the low eight
//       bits of one, and 3010 tells a restart is needed
//   setup-test-tool run-entry UninstallString|QuietUninstallString
//       the same with that command of the driver's Apps & features entry, exactly as Windows
//       runs it (the command line as written, not re-quoted by a shell)
//   setup-test-tool hold DLL
//       loads DLL as a MIDI program has the driver loaded, prints "loaded by process ID", and
//       keeps it until its standard input ends
//   setup-test-tool pages PROGRAM PICTURE.bmp|- STEP...
//       starts PROGRAM (a path, or entry:VALUE for a command of the Apps & features entry) and
//       goes through its pages as a user clicks them. A STEP is the label of the wizard's main
//       button (Next >, I Agree, Uninstall, Finish): wait until the button reads so, print every
//       text of the page, click it; or choose:TEXT, which clicks the control of the page that
//       reads TEXT (an option) before the next step; or picture:FILE.bmp, which writes the page
//       as it stands then. The last page before its click is written as a picture too. Ends with
//       the program's exit code.
//   setup-test-tool media-devices
//       lists, through SetupAPI, every root-enumerated device of the Media class, present or not,
//       one line each: hardware id|description|maker|each MIDI entry of its driver key as
//       FILE=ALIAS, comma-separated
//
// Exit code 100 and a line on stderr when the tool itself cannot do what it was asked.
#include "common/process.h"
#include "common/window_picture.h"

#include <windows.h>

#include <setupapi.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr int toolFailed = 100;
// Generous: a page appears within a second or two, even on a loaded machine.
constexpr DWORD pageDeadlineMs = 60000;
constexpr DWORD programDeadlineMs = 120000;
constexpr DWORD answerDeadlineMs = 5000;

const wchar_t uninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\melvpcif";

int fail(const wchar_t* what) {
    std::fwprintf(stderr, L"setup-test-tool: %ls (error %lu)\n", what, GetLastError());
    return toolFailed;
}

// Waits for `process` to end, prints its exit code and closes it; its exit code, or toolFailed
// when it did not end in time.
int reportExit(HANDLE process, const wchar_t* late) {
    DWORD exitCode = toolFailed;
    if (WaitForSingleObject(process, programDeadlineMs) != WAIT_OBJECT_0) {
        fail(late);
        TerminateProcess(process, toolFailed);
    } else {
        GetExitCodeProcess(process, &exitCode);
    }
    CloseHandle(process);
    std::wprintf(L"exit code: %lu\n", exitCode);
    return static_cast<int>(exitCode);
}

// Starts `commandLine` as given; the thread handle is closed at once.
bool startCommand(const std::wstring& commandLine, PROCESS_INFORMATION& process) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    if (!startProcess(nullptr, commandLine, false, startup, process)) {
        return false;
    }
    CloseHandle(process.hThread);
    return true;
}

// Runs `commandLine` as given and waits for it; its exit code, or toolFailed.
int runAndWait(const std::wstring& commandLine) {
    PROCESS_INFORMATION process = {};
    if (!startCommand(commandLine, process)) {
        return fail(L"cannot start the command");
    }
    return reportExit(process.hProcess, L"the command did not end in time");
}

int run(int count, wchar_t** arguments) {
    // Options in quotes are no options to an NSIS program: only what holds a space is quoted.
    std::wstring commandLine;
    for (int i = 0; i < count; ++i) {
        std::wstring argument = arguments[i];
        if (i == 0 || argument.find(L' ') != std::wstring::npos) {
            argument = L"\"" + argument + L"\"";
        }
        commandLine += (i == 0 ? L"" : L" ") + argument;
    }
    return runAndWait(commandLine);
}

// A command of the driver's Apps & features entry, as written there.
bool entryCommand(const wchar_t* valueName, std::wstring& command) {
    // Apps & features reads the native view: the 64-bit one on 64-bit Windows.
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, uninstallKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                      &key) != ERROR_SUCCESS) {
        return false;
    }
    wchar_t text[1024] = {};
    DWORD size = sizeof text - sizeof(wchar_t);
    DWORD type = 0;
    LONG result =
        RegQueryValueExW(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
    RegCloseKey(key);
    command = text;
    return result == ERROR_SUCCESS && type == REG_SZ;
}

int runEntry(const wchar_t* valueName) {
    std::wstring command;
    if (!entryCommand(valueName, command)) {
        return fail(L"the Apps & features entry has no such command");
    }
    std::wprintf(L"running: %ls\n", command.c_str());
    return runAndWait(command);
}

int hold(const wchar_t* path) {
    HMODULE module = LoadLibraryW(path);
    if (module == nullptr) {
        return fail(L"cannot load the DLL");
    }
    std::wprintf(L"loaded by process %lu\n", GetCurrentProcessId());
    std::fflush(stdout);
    char buffer[64];
    DWORD got = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &got, nullptr) &&
           got > 0) {
    }
    FreeLibrary(module);
    return 0;
}

// --- the setup program's pages ---

std::wstring textOf(HWND window) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, answerDeadlineMs,
                             &length)) {
        return std::wstring();
    }
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(text.data()),
                        SMTO_NORMAL, answerDeadlineMs, &copied);
    text.resize(copied);
    return text;
}

// A button's text as the user reads it: without the "&" of its access key.
std::wstring label(HWND button) {
    std::wstring text;
    for (wchar_t c : textOf(button)) {
        if (c != L'&') {
            text += c;
        }
    }
    return text;
}

struct Search {
    DWORD process;
    HWND found;
};

BOOL CALLBACK findWizard(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<Search*>(context);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == search->process && IsWindowVisible(window) &&
        GetDlgItem(window, IDOK) != nullptr) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK collectText(HWND window, LPARAM context) {
    auto* texts = reinterpret_cast<std::vector<std::wstring>*>(context);
    if (IsWindowVisible(window)) {
        std::wstring text = textOf(window);
        if (!text.empty()) {
            texts->push_back(text);
        }
    }
    return TRUE;
}

// Every visible text of the page that the wizard shows now, its buttons' included.
std::vector<std::wstring> pageTexts(HWND wizard) {
    std::vector<std::wstring> texts;
    EnumChildWindows(wizard, collectText, reinterpret_cast<LPARAM>(&texts));
    return texts;
}

void printPage(const wchar_t* page, HWND wizard) {
    for (const std::wstring& text : pageTexts(wizard)) {
        // One line per text; line breaks inside it shown as " | ".
        std::wstring line;
        for (wchar_t c : text) {
            if (c == L'\r') {
                continue;
            }
            line += c == L'\n' ? std::wstring(L" | ") : std::wstring(1, c);
        }
        std::wprintf(L"%ls: %ls\n", page, line.c_str());
    }
}

// Waits until the wizard's main button reads `wanted` and can be clicked.
bool waitForButton(HWND wizard, const wchar_t* wanted, HANDLE process) {
    DWORD start = GetTickCount();
    while (GetTickCount() - start < pageDeadlineMs) {
        HWND button = GetDlgItem(wizard, IDOK);
        if (button != nullptr && label(button) == wanted && IsWindowEnabled(button)) {
            return true;
        }
        if (WaitForSingleObject(process, 50) == WAIT_OBJECT_0) {
            return false; // ended before the page came
        }
    }
    return false;
}

void click(HWND wizard) {
    PostMessageW(GetDlgItem(wizard, IDOK), BM_CLICK, 0, 0);
}

struct ControlSearch {
    const wchar_t* text;
    HWND found;
};

BOOL CALLBACK findControl(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<ControlSearch*>(context);
    if (IsWindowVisible(window) && label(window) == search->text) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

// The program's command line: a path, or a command of the driver's Apps & features entry.
bool commandLineOf(const std::wstring& program, std::wstring& commandLine) {
    const std::wstring entry = L"entry:";
    if (program.compare(0, entry.size(), entry) != 0) {
        commandLine = L"\"" + program + L"\"";
        return true;
    }
    return entryCommand(program.substr(entry.size()).c_str(), commandLine);
}

int pages(const wchar_t* program, const wchar_t* picturePath, int stepCount, wchar_t** steps) {
    std::wstring commandLine;
    if (!commandLineOf(program, commandLine)) {
        return fail(L"the Apps & features entry has no such command");
    }
    PROCESS_INFORMATION process = {};
    if (!startCommand(commandLine, process)) {
        return fail(L"cannot start the program");
    }
    auto giveUp = [&](const wchar_t* why) {
        TerminateProcess(process.hProcess, toolFailed);
        CloseHandle(process.hProcess);
        return fail(why);
    };

    // The wizard: a window of that process with a main button.
    Search search = {process.dwProcessId, nullptr};
    DWORD start = GetTickCount();
    while (search.found == nullptr && GetTickCount() - start < pageDeadlineMs &&
           WaitForSingleObject(process.hProcess, 50) == WAIT_TIMEOUT) {
        EnumWindows(findWizard, reinterpret_cast<LPARAM>(&search));
    }
    HWND wizard = search.found;
    if (wizard == nullptr) {
        return giveUp(L"the program showed no wizard");
    }
    std::wprintf(L"title: %ls\n", textOf(wizard).c_str());
    auto pictureWritten = [&](const wchar_t* path) {
        std::string whyNot;
        if (writeWindowPicture(wizard, path, answerDeadlineMs, whyNot)) {
            return true;
        }
        std::wstring why =
            L"cannot write the picture: " + std::wstring(whyNot.begin(), whyNot.end());
        giveUp(why.c_str());
        return false;
    };

    for (int i = 0; i < stepCount; ++i) {
        std::wstring step = steps[i];
        const std::wstring picture = L"picture:";
        if (step.compare(0, picture.size(), picture) == 0) {
            if (!pictureWritten(step.c_str() + picture.size())) {
                return toolFailed;
            }
            continue;
        }
        const std::wstring choose = L"choose:";
        if (step.compare(0, choose.size(), choose) == 0) {
            // The option may belong to a page still to come.
            ControlSearch control = {step.c_str() + choose.size(), nullptr};
            DWORD waited = GetTickCount();
            while (GetTickCount() - waited < pageDeadlineMs &&
                   WaitForSingleObject(process.hProcess, 50) == WAIT_TIMEOUT) {
                EnumChildWindows(wizard, findControl, reinterpret_cast<LPARAM>(&control));
                if (control.found != nullptr) {
                    break;
                }
            }
            if (control.found == nullptr) {
                printPage(L"stuck", wizard);
                return giveUp(L"the page has no such control");
            }
            DWORD_PTR ignored = 0;
            SendMessageTimeoutW(control.found, BM_CLICK, 0, 0, SMTO_NORMAL, answerDeadlineMs,
                                &ignored);
            continue;
        }
        if (!waitForButton(wizard, step.c_str(), process.hProcess)) {
            printPage(L"stuck", wizard);
            return giveUp(L"the wizard's main button did not come to read as expected");
        }
        printPage(step.c_str(), wizard);
        if (i == stepCount - 1 && wcscmp(picturePath, L"-") != 0 && !pictureWritten(picturePath)) {
            return toolFailed;
        }
        click(wizard);
    }
    return reportExit(process.hProcess, L"the program did not end after its last page");
}

const wchar_t usage[] =
    L"usage: setup-test-tool run PROGRAM [ARGUMENT...] | run-entry VALUE | hold DLL\n"
    L"       | pages PROGRAM PICTURE|- STEP... | media-devices\n";

std::wstring deviceText(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
    wchar_t text[512] = {};
    SetupDiGetDeviceRegistryPropertyW(set, &device, property, nullptr,
                                      reinterpret_cast<BYTE*>(text), sizeof text - 4, nullptr);
    return text;
}

// "FILE=ALIAS" for each subkey of the driver key's Drivers\midi.
std::wstring midiEntries(HDEVINFO set, SP_DEVINFO_DATA& device) {
    std::wstring entries;
    HKEY driverKey = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    HKEY midi = nullptr;
    if (driverKey == INVALID_HANDLE_VALUE ||
        RegOpenKeyExW(driverKey, L"Drivers\\midi", 0, KEY_READ, &midi) != ERROR_SUCCESS) {
        midi = nullptr;
    }
    wchar_t file[MAX_PATH];
    for (DWORD index = 0; midi != nullptr; ++index) {
        DWORD length = MAX_PATH;
        if (RegEnumKeyExW(midi, index, file, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        wchar_t alias[64] = {};
        DWORD size = sizeof alias - sizeof alias[0];
        RegGetValueW(midi, file, L"Alias", RRF_RT_REG_SZ, nullptr, alias, &size);
        entries += (entries.empty() ? L"" : L",") + std::wstring(file) + L"=" + alias;
    }
    if (midi != nullptr) {
        RegCloseKey(midi);
    }
    if (driverKey != INVALID_HANDLE_VALUE) {
        RegCloseKey(driverKey);
    }
    return entries;
}

int mediaDevices() {
    const GUID mediaClass = {
        0x4d36e96c, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    HDEVINFO set = SetupDiGetClassDevsW(&mediaClass, L"ROOT", nullptr, 0);
    if (set == INVALID_HANDLE_VALUE) {
        return fail(L"SetupDiGetClassDevsW");
    }
    SP_DEVINFO_DATA device = {sizeof device};
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
        std::wprintf(L"%ls|%ls|%ls|%ls\n", deviceText(set, device, SPDRP_HARDWAREID).c_str(),
                     deviceText(set, device, SPDRP_DEVICEDESC).c_str(),
                     deviceText(set, device, SPDRP_MFG).c_str(), midiEntries(set, device).c_str());
    }
    SetupDiDestroyDeviceInfoList(set);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    // Each line as it happens, also when the output goes into a pipe.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"run" && argc >= 3) {
        return run(argc - 2, argv + 2);
    }
    if (command == L"run-entry" && argc == 3) {
        return runEntry(argv[2]);
    }
    if (command == L"hold" && argc == 3) {
        return hold(argv[2]);
    }
    if (command == L"media-devices" && argc == 2) {
        return mediaDevices();
    }
    if (command == L"pages" && argc >= 5) {
        return pages(argv[2], argv[3], argc - 4, argv + 4);
    }
    std::fwprintf(stderr, usage);
    return toolFailed;
}
