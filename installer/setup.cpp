// Installs and removes the driver on Windows: copies each DLL to the system folder of its
// bitness and registers it as a MIDI driver in a free "midi2".."midi9" slot of the Drivers32 key,
// with its description beside, in each registry view that has a DLL of its bitness, and as the
// MIDI entry of one device of the Media class naming the same slot, the way Windows registers its
// own MIDI drivers (machine_registration.h). On ARM64 Windows the ARM64 DLL goes beside the x64
// one, under a name of its own and in a slot of its own.
// The sharing service, for the machine's own processor, goes to the system folder too and is
// installed as a service that starts at every Windows start (to watch over the registration) and
// on demand, which users may start.
// Drivers already registered are left as they are; removal takes away exactly the driver's own
// slots, device and files. Installing again repairs: the files, the slots, the descriptions and
// the device are put back as they should be (one device, however often), and the settings stay.
// The setup program (melvpcif.nsi) carries this program and runs it, so these rules live here
// alone.
//
//   melvpcif-setup install [FOLDER]   FOLDER holds x64\melvpcif.dll and x86\melvpcif.dll,
//                                     and arm64\melvpcif.dll for ARM64 Windows, each with
//                                     melvpcif-share.exe beside it (default: the folder of this
//                                     program)
//   melvpcif-setup uninstall
//   melvpcif-setup remove-after PID PATH...
//                                     for the uninstaller: waits until process PID, which runs
//                                     the program of the first PATH, has ended, then deletes
//                                     each PATH, a file or an empty folder
//
// Exit codes: 0 done; 1 failed (an install that fails changes nothing it could check before);
// 2 wrong command line or wrong program for this Windows; 3 done, but a driver file in use by a
// running program is replaced or removed when Windows next starts.
#include <windows.h>

#include "config/settings.h"
#include "machine_registration.h"
#include "share/protocol.h"

#include <sddl.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <string>
#include <vector>

namespace {

enum ExitCode { done = 0, failed = 1, misused = 2, doneAtRestart = 3 };

// The sharing service: its program, its name among the machine's services, what Windows shows for
// it, and who may do what with it. The system and administrators manage it; interactive users may
// start it and ask its state, as the driver in their programs does. It runs as the system, which
// alone may make more instances of the pipe its security lets nobody else make.
const wchar_t serviceFile[] = L"melvpcif-share.exe";
const wchar_t* serviceName() {
    return reinterpret_cast<const wchar_t*>(shareServiceName);
}
const wchar_t serviceDisplayName[] = L"MELV PC I/F MIDI sharing";
wchar_t serviceDescription[] =
    L"Lets several programs use the instrument on the MELV PC I/F MIDI Driver's serial port at "
    L"once, when the driver's settings say so. Started by the driver; ends by itself a few "
    L"seconds after the last program. At every Windows start it puts back what Windows or a tool "
    L"took away from the driver's registration, and ends.";
const wchar_t serviceSecurity[] = L"D:(A;;CCLCSWRPWPDTLOCRRC;;;SY)"
                                  L"(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)(A;;CCLCSWRPLOCRRC;;;IU)";
// Where the event log finds the service's lines under the driver's name: the service program
// carries their message table.
const wchar_t eventSourceKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\MELV PC I/F MIDI Driver";
// How long removal waits for a running service to stop before it deletes it all the same.
constexpr DWORD serviceStopWaitMs = 10000;
// Where Windows keeps the file operations it carries out when it next starts.
const wchar_t sessionManagerKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

// The driver's settings key, as the driver names it: in the 64-bit view, which both builds of the
// driver share.
const wchar_t* settingsKey() {
    return reinterpret_cast<const wchar_t*>(settingsKeyPath);
}

// A 32-bit program serves 32-bit Windows only.
bool targetsOfThisSystem(std::vector<DriverPlace>& targets) {
    if (driverPlacesOfThisSystem(targets)) {
        return true;
    }
    std::fwprintf(stderr, L"This is 64-bit Windows: run the 64-bit melvpcif-setup.exe.\n");
    return false;
}

// What Windows will do to a file when it next starts, by the last of its pending operations.
enum class AtRestart { nothing, removal, replacement };

std::wstring withoutPrefix(const wchar_t* path) {
    if (*path == L'!') { // "replace an existing file"
        ++path;
    }
    if (wcsncmp(path, L"\\??\\", 4) == 0) {
        path += 4;
    }
    return path;
}

AtRestart pendingAtRestart(const std::wstring& file) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, sessionManagerKey, 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS) {
        return AtRestart::nothing;
    }
    DWORD size = 0;
    std::vector<wchar_t> list;
    if (RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr, nullptr, &size) ==
        ERROR_SUCCESS) {
        // Two terminators more than the value holds, so that a list cut short still ends.
        list.assign(size / sizeof(wchar_t) + 2, L'\0');
        if (RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr,
                             reinterpret_cast<BYTE*>(list.data()), &size) != ERROR_SUCCESS) {
            list.clear();
        }
    }
    RegCloseKey(key);

    // Pairs of strings: what, and where to; an empty "where to" removes it.
    AtRestart pending = AtRestart::nothing;
    const wchar_t* entry = list.data();
    while (!list.empty() && *entry != L'\0') {
        const wchar_t* from = entry;
        const wchar_t* to = from + lstrlenW(from) + 1;
        if (*to == L'\0') {
            if (lstrcmpiW(withoutPrefix(from).c_str(), file.c_str()) == 0) {
                pending = AtRestart::removal;
            }
            entry = to + 1;
            continue;
        }
        if (lstrcmpiW(withoutPrefix(to).c_str(), file.c_str()) == 0) {
            pending = AtRestart::replacement;
        } else if (lstrcmpiW(withoutPrefix(from).c_str(), file.c_str()) == 0) {
            pending = AtRestart::removal; // moved away
        }
        entry = to + lstrlenW(to) + 1;
    }
    return pending;
}

bool sameContents(const std::wstring& a, const std::wstring& b) {
    HANDLE files[2];
    const std::wstring* paths[2] = {&a, &b};
    for (int i = 0; i < 2; ++i) {
        files[i] = CreateFileW(paths[i]->c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    }
    bool same = files[0] != INVALID_HANDLE_VALUE && files[1] != INVALID_HANDLE_VALUE;
    static char blocks[2][65536];
    while (same) {
        DWORD got[2] = {};
        same = ReadFile(files[0], blocks[0], sizeof blocks[0], &got[0], nullptr) &&
               ReadFile(files[1], blocks[1], sizeof blocks[1], &got[1], nullptr) &&
               got[0] == got[1] && std::memcmp(blocks[0], blocks[1], got[0]) == 0;
        if (got[0] == 0) {
            break;
        }
    }
    for (HANDLE file : files) {
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
    }
    return same;
}

enum class Placed { now, atRestart, impossible };

// A copy of `source` beside `destination`, which Windows moves into place when it next starts.
Placed placeAtRestart(const std::wstring& source, const std::wstring& destination,
                      const std::wstring& folder) {
    wchar_t staged[MAX_PATH];
    if (GetTempFileNameW(folder.c_str(), L"mlv", 0, staged) == 0) {
        return Placed::impossible;
    }
    if (!CopyFileW(source.c_str(), staged, FALSE) ||
        !MoveFileExW(staged, destination.c_str(),
                     MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileW(staged);
        return Placed::impossible;
    }
    return Placed::atRestart;
}

Placed placeFile(const std::wstring& source, const std::wstring& destination,
                 const std::wstring& folder) {
    // An earlier uninstall, while a program had the driver loaded, left the file to be removed
    // at the next start: that removal would take this installation's file too, so the file is
    // put back after it.
    if (pendingAtRestart(destination) == AtRestart::removal) {
        if (!sameContents(source, destination)) {
            CopyFileW(source.c_str(), destination.c_str(), FALSE); // in use: at restart only
        }
        return placeAtRestart(source, destination, folder);
    }
    // Installing the same version again changes nothing, even while programs have it loaded.
    if (sameContents(source, destination) ||
        CopyFileW(source.c_str(), destination.c_str(), FALSE)) {
        return Placed::now;
    }
    DWORD error = GetLastError();
    // A running program has the driver loaded: Windows keeps the file until it ends.
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_USER_MAPPED_FILE ||
        error == ERROR_ACCESS_DENIED) {
        return placeAtRestart(source, destination, folder);
    }
    SetLastError(error);
    return Placed::impossible;
}

// Old 32-bit programs without a manifest that may not write the settings key would otherwise be
// given a private copy of it by Windows: the driver writes its settings back each time it is
// loaded, and from then on such a program would see its own copy and never again the settings
// made in the configuration dialog. With virtualization off for the key, such a program reads
// the shared settings like every other program without administrator rights. Windows versions
// without registry virtualization (and Wine) do not know the flags; that is no failure.
void keepSettingsShared() {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, settingsKey(), 0, nullptr, 0,
                        KEY_QUERY_VALUE | KEY_WOW64_64KEY, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
        std::wprintf(L"Cannot create the settings key HKEY_LOCAL_MACHINE\\%ls.\n", settingsKey());
        return;
    }
    RegCloseKey(key);
    std::wstring command = L"\"" + systemFolder() + L"\\reg.exe\" flags \"HKLM\\" + settingsKey() +
                           L"\" set DONT_VIRTUALIZE DONT_SILENT_FAIL";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    DWORD exitCode = 1;
    if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                       nullptr, &startup, &process)) {
        if (WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0) {
            GetExitCodeProcess(process.hProcess, &exitCode);
        }
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    if (exitCode == 0) {
        std::wprintf(L"Old programs share the driver's settings with every other program.\n");
    } else {
        std::wprintf(L"Could not switch off registry virtualization for the settings (reg flags "
                     L"ended with %lu); Windows versions without it need nothing.\n",
                     exitCode);
    }
}

// The settings key holds the user's settings once the driver has been loaded: those stay. A key
// the installation made and nobody filled goes with it.
void forgetEmptySettingsKey() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, settingsKey(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                      &key) != ERROR_SUCCESS) {
        return;
    }
    DWORD subkeys = 1, values = 1;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                     nullptr, nullptr, nullptr);
    RegCloseKey(key);
    if (subkeys != 0 || values != 0) {
        return;
    }
    std::wstring path = settingsKey();
    // This program runs in the native view of its Windows, the one the driver uses.
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
    // The maker's key above it, if nothing else is kept there.
    path = path.substr(0, path.find_last_of(L'\\'));
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                      &key) == ERROR_SUCCESS) {
        subkeys = values = 1;
        RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                         nullptr, nullptr, nullptr, nullptr);
        RegCloseKey(key);
        if (subkeys == 0 && values == 0) {
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
        }
    }
}

enum class Removed { now, atRestart, impossible };

// Deletes the file, or has Windows delete it when it next starts while a running program still
// has it (a driver loaded, the service running).
Removed removeFile(const std::wstring& file) {
    if (DeleteFileW(file.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND) {
        // A file that an earlier install left to be put in place at the next start would
        // come back then: it goes again right after.
        if (pendingAtRestart(file) == AtRestart::replacement) {
            MoveFileExW(file.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
        }
        return Removed::now;
    }
    return MoveFileExW(file.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) ? Removed::atRestart
                                                                           : Removed::impossible;
}

// Creates the service, or points the one an earlier installation made at `program` again, and
// gives it its description and security.
bool registerService(const std::wstring& program) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (manager == nullptr) {
        return false;
    }
    std::wstring command = L"\"" + program + L"\"";
    constexpr DWORD access = SERVICE_CHANGE_CONFIG | WRITE_DAC | READ_CONTROL;
    SC_HANDLE service = OpenServiceW(manager, serviceName(), access);
    bool configured =
        service != nullptr
            ? ChangeServiceConfigW(service, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                   SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr,
                                   nullptr, nullptr, serviceDisplayName) != 0
            : (service = CreateServiceW(manager, serviceName(), serviceDisplayName, access,
                                        SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                        SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr,
                                        nullptr, nullptr, nullptr)) != nullptr;
    PSECURITY_DESCRIPTOR security = nullptr;
    if (configured) {
        SERVICE_DESCRIPTIONW description = {serviceDescription};
        ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description);
        // Started at every Windows start, after the automatic ones, among them the Audio
        // Endpoint Builder that keeps the multimedia system's drivers: then it watches over the
        // registration. Otherwise the driver starts it when it is needed.
        SERVICE_DELAYED_AUTO_START_INFO delayed = {TRUE};
        ChangeServiceConfig2W(service, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed);
        configured = ConvertStringSecurityDescriptorToSecurityDescriptorW(
                         serviceSecurity, SDDL_REVISION_1, &security, nullptr) &&
                     SetServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, security);
        LocalFree(security);
    }
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return configured;
}

bool registerEventSource(const std::wstring& program) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, eventSourceKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    bool registered =
        RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ,
                       reinterpret_cast<const BYTE*>(program.c_str()),
                       static_cast<DWORD>((program.size() + 1) * sizeof(wchar_t))) ==
            ERROR_SUCCESS &&
        RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                       sizeof types) == ERROR_SUCCESS;
    RegCloseKey(key);
    return registered;
}

// Stops the service if it runs (it lets the instrument go, and its programs' drivers find their
// connections broken) and waits for it, for at most serviceStopWaitMs.
void stopService(SC_HANDLE service) {
    SERVICE_STATUS status = {};
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    for (DWORD waited = 0; waited < serviceStopWaitMs && QueryServiceStatus(service, &status) &&
                           status.dwCurrentState != SERVICE_STOPPED;
         waited += 100) {
        Sleep(100);
    }
}

// The service named, opened with `access`, and the service control manager it came from; null
// when either cannot be had.
struct OpenedService {
    SC_HANDLE manager;
    SC_HANDLE service;
};
OpenedService openService(DWORD access) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager == nullptr ? nullptr : OpenServiceW(manager, serviceName(), access);
    return {manager, service};
}
void closeService(const OpenedService& opened) {
    DWORD error = GetLastError();
    if (opened.service != nullptr) {
        CloseServiceHandle(opened.service);
    }
    if (opened.manager != nullptr) {
        CloseServiceHandle(opened.manager);
    }
    SetLastError(error);
}

// The service program for the machine's own processor (the first target's) into its system
// folder, and the service that runs it. A service that runs meanwhile keeps its program until it
// ends, a few seconds after its last program: the new one is put in place when Windows next
// starts.
Placed installService(const DriverPlace& target, const std::wstring& from) {
    std::wstring source = from + L"\\" + target.sourceSubfolder + L"\\" + serviceFile;
    std::wstring destination = target.systemFolder + L"\\" + serviceFile;
    Placed placed = placeFile(source, destination, target.systemFolder);
    if (placed == Placed::impossible) {
        std::fwprintf(stderr, L"Cannot copy %ls to %ls (error %lu).\n", source.c_str(),
                      destination.c_str(), GetLastError());
        return placed;
    }
    if (!registerService(destination) || !registerEventSource(destination)) {
        std::fwprintf(stderr, L"Cannot install the sharing service (error %lu).\n", GetLastError());
        return Placed::impossible;
    }
    std::wprintf(L"Installed the sharing service: %ls\n", destination.c_str());
    return placed;
}

// Stops the service if it runs, and deletes it and its program.
Removed removeService(const DriverPlace& target) {
    OpenedService opened = openService(SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
    bool deleted = opened.service == nullptr && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
    if (opened.service != nullptr) {
        stopService(opened.service);
        deleted =
            DeleteService(opened.service) || GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
    }
    closeService(opened);
    LONG forgotten = RegDeleteKeyW(HKEY_LOCAL_MACHINE, eventSourceKey);
    deleted = deleted && (forgotten == ERROR_SUCCESS || forgotten == ERROR_FILE_NOT_FOUND);
    if (!deleted) {
        std::fwprintf(stderr, L"Cannot remove the sharing service: run as administrator.\n");
        return Removed::impossible;
    }
    Removed removed = removeFile(target.systemFolder + L"\\" + serviceFile);
    if (removed != Removed::impossible) {
        std::wprintf(L"Removed the sharing service.\n");
    }
    return removed;
}

std::wstring folderOfThisProgram() {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L"\\/"));
}

void sayNoSlot(const DriverPlace* full) {
    if (full != nullptr) {
        std::fwprintf(stderr,
                      L"All eight MIDI driver slots of the %ls registry view the driver may use "
                      L"(midi2 to midi9; midi and midi1 belong to Windows' MIDI stack) are taken "
                      L"by other drivers: remove one you no longer use.\n",
                      full->label);
        return;
    }
    std::fwprintf(stderr, L"No MIDI driver slot the driver may use (midi2 to midi9) is free in "
                          L"both registry views: remove a driver you no longer use.\n");
}

ExitCode install(const std::vector<DriverPlace>& targets, const std::wstring& from) {
    // Every file has its slot before anything changes, so that a full view leaves the machine
    // as it was.
    std::vector<DeviceEntry> chosen;
    const DriverPlace* full = nullptr;
    if (!chooseSlots(targets, chosen, full)) {
        sayNoSlot(full);
        return failed;
    }
    bool atRestart = false;
    for (size_t i = 0; i < targets.size(); ++i) {
        const DriverPlace& target = targets[i];
        std::wstring source = from + L"\\" + target.sourceSubfolder + L"\\" + driverFileName;
        std::wstring destination = target.systemFolder + L"\\" + target.file;
        Placed placed = placeFile(source, destination, target.systemFolder);
        if (placed == Placed::impossible) {
            std::fwprintf(stderr, L"Cannot copy %ls to %ls (error %lu).\n", source.c_str(),
                          destination.c_str(), GetLastError());
            return failed;
        }
        const wchar_t* slot = slotName(slotOf(chosen, target.file));
        if (!registerInSlot(target.view, target.file, slotOf(chosen, target.file))) {
            std::fwprintf(stderr, L"Cannot register the %ls driver (administrator rights?).\n",
                          target.label);
            return failed;
        }
        if (placed == Placed::atRestart) {
            atRestart = true;
            std::wprintf(L"Installed the %ls driver as %ls. A running program has the driver "
                         L"loaded, or an earlier removal waits for the restart: Windows puts the "
                         L"new file in place when it next starts.\n",
                         target.label, slot);
        } else {
            std::wprintf(L"Installed the %ls driver as %ls: %ls\n", target.label, slot,
                         destination.c_str());
        }
    }
    // The device keeps Windows from taking the registration away; without it the driver works
    // all the same, as registrations made by hand do.
    if (writeDriverDevice(chosen.data(), chosen.size())) {
        std::wprintf(L"Registered the driver's device: \"%ls\" under \"Sound, video and game "
                     L"controllers\".\n",
                     driverDescription);
    } else {
        std::fwprintf(stderr,
                      L"Could not register the driver's device with Windows (error %lu): Windows "
                      L"may take the driver's registration away at a restart, and the setup "
                      L"program must then be run again.\n",
                      GetLastError());
    }
    Placed service = installService(targets.front(), from);
    if (service == Placed::impossible) {
        return failed;
    }
    keepSettingsShared();
    return atRestart || service == Placed::atRestart ? doneAtRestart : done;
}

ExitCode uninstall(const std::vector<DriverPlace>& targets) {
    bool atRestart = false;
    bool complete = true;
    for (const DriverPlace& target : targets) {
        if (!unregisterFromView(target.view, target.file)) {
            std::fwprintf(stderr, L"Cannot unregister the %ls driver: run as administrator.\n",
                          target.label);
            complete = false;
            continue;
        }
        std::wstring file = target.systemFolder + L"\\" + target.file;
        Removed removed = removeFile(file);
        if (removed == Removed::now) {
            std::wprintf(L"Removed the %ls driver.\n", target.label);
            continue;
        }
        // A driver still loaded by a running program cannot be deleted now; Windows removes it
        // when it next starts.
        if (removed == Removed::impossible) {
            std::fwprintf(stderr, L"Cannot remove %ls (error %lu).\n", file.c_str(),
                          GetLastError());
            complete = false;
            continue;
        }
        atRestart = true;
        std::wprintf(L"Removed the %ls driver. A running program still has it loaded: Windows "
                     L"deletes %ls when it next starts.\n",
                     target.label, file.c_str());
    }
    if (!removeDriverDevices()) {
        std::fwprintf(stderr, L"Cannot remove the driver's device: run as administrator.\n");
        complete = false;
    }
    Removed service = removeService(targets.front());
    complete = complete && service != Removed::impossible;
    atRestart = atRestart || service == Removed::atRestart;
    forgetEmptySettingsKey();
    if (!complete) {
        return failed;
    }
    return atRestart ? doneAtRestart : done;
}

const wchar_t* fileNameOf(const wchar_t* path) {
    const wchar_t* name = path;
    for (const wchar_t* at = path; *at != L'\0'; ++at) {
        if (*at == L'\\' || *at == L'/') {
            name = at + 1;
        }
    }
    return name;
}

// Whether the process still runs the program at `path`: once a process has ended, Windows gives
// its id to the next one. Told by the file name alone, which no other form of the folder's path
// changes; when it cannot be looked at, it is taken to be the program.
bool runsProgram(HANDLE process, const wchar_t* path) {
    wchar_t image[MAX_PATH * 2];
    DWORD size = std::size(image);
    if (!QueryFullProcessImageNameW(process, 0, image, &size)) {
        return true;
    }
    return CompareStringOrdinal(fileNameOf(image), -1, fileNameOf(path), -1, TRUE) == CSTR_EQUAL;
}

// An uninstaller started from the folder it removes cannot delete its own file while it runs;
// this program, started from elsewhere, does it once the uninstaller (the program of the first
// path) has ended.
ExitCode removeAfter(DWORD processId, int count, wchar_t** paths) {
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process != nullptr) { // else it has ended already
        if (runsProgram(process, paths[0])) {
            WaitForSingleObject(process, INFINITE);
        }
        CloseHandle(process);
    }
    bool removed = true;
    for (int i = 0; i < count; ++i) {
        DWORD attributes = GetFileAttributesW(paths[i]);
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            continue; // gone already
        }
        removed = ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? RemoveDirectoryW(paths[i])
                                                                : DeleteFileW(paths[i])) &&
                  removed;
    }
    // This program runs from the uninstaller's temporary folder, which the uninstaller could not
    // remove while this ran: Windows removes both at the next restart.
    wchar_t self[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        MoveFileExW(self, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
        while (length > 0 && self[length - 1] != L'\\') {
            --length;
        }
        self[length > 0 ? length - 1 : 0] = 0;
        MoveFileExW(self, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
    return removed ? done : failed;
}

const wchar_t usage[] =
    L"usage: melvpcif-setup install [FOLDER] | uninstall | remove-after PID PATH...\n";

} // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring action = argc > 1 ? argv[1] : L"";
    if (action == L"remove-after" && argc > 3) {
        return removeAfter(std::wcstoul(argv[2], nullptr, 10), argc - 3, argv + 3);
    }
    if (action != L"install" && action != L"uninstall") {
        std::fwprintf(stderr, usage);
        return misused;
    }
    std::vector<DriverPlace> targets;
    if (!targetsOfThisSystem(targets)) {
        return misused;
    }
    if (action == L"install") {
        return install(targets, argc > 2 ? argv[2] : folderOfThisProgram());
    }
    return uninstall(targets);
}
