// Installs and removes the driver on Windows: copies each DLL to the system folder of its
// bitness and registers it as a MIDI driver in a free "midi" slot of the Drivers32 key, with its
// description beside, in each registry view that has a DLL of its bitness. Drivers already
// registered are left as they are; removal takes away exactly the driver's own slots and files.
//
//   melvpcif-setup install [FOLDER]   FOLDER holds x64\melvpcif.dll and x86\melvpcif.dll
//                                     (default: the folder of this program)
//   melvpcif-setup uninstall
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

const wchar_t driversKey[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32";
// The name Windows shows for the driver in its multimedia settings.
const wchar_t descriptionsKey[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\drivers.desc";
const wchar_t driverFile[] = L"melvpcif.dll";
const wchar_t driverDescription[] = L"MELV PC I/F MIDI Driver";
const wchar_t* const slotNames[] = {L"midi",  L"midi1", L"midi2", L"midi3", L"midi4",
                                    L"midi5", L"midi6", L"midi7", L"midi8", L"midi9"};

// One place the driver goes: a system folder and the registry view that serves it.
struct Target {
    const wchar_t* label;
    std::wstring systemFolder;
    REGSAM view;
    const wchar_t* sourceSubfolder;
};

bool isWow64() {
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

std::wstring systemFolder() {
    wchar_t path[MAX_PATH];
    UINT length = GetSystemDirectoryW(path, MAX_PATH);
    return std::wstring(path, length);
}

std::wstring wow64Folder() {
    wchar_t path[MAX_PATH];
    UINT length = GetSystemWow64DirectoryW(path, MAX_PATH);
    return length == 0 ? std::wstring() : std::wstring(path, length);
}

// A 64-bit program serves both bitnesses of 64-bit Windows; a 32-bit one only 32-bit Windows.
bool targetsOfThisSystem(std::vector<Target>& targets) {
    if (sizeof(void*) == 8) {
        targets.push_back({L"64-bit", systemFolder(), KEY_WOW64_64KEY, L"x64"});
        targets.push_back({L"32-bit", wow64Folder(), KEY_WOW64_32KEY, L"x86"});
        return true;
    }
    if (isWow64()) {
        std::fwprintf(stderr, L"This is 64-bit Windows: run the 64-bit melvpcif-setup.exe.\n");
        return false;
    }
    targets.push_back({L"32-bit", systemFolder(), 0, L"x86"});
    return true;
}

HKEY openKey(const wchar_t* path, REGSAM view) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0,
                        KEY_QUERY_VALUE | KEY_SET_VALUE | view, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
        return nullptr;
    }
    return key;
}

void describe(REGSAM view) {
    HKEY key = openKey(descriptionsKey, view);
    if (key != nullptr) {
        DWORD size = static_cast<DWORD>(sizeof driverDescription);
        RegSetValueExW(key, driverFile, 0, REG_SZ, reinterpret_cast<const BYTE*>(driverDescription),
                       size);
        RegCloseKey(key);
    }
}

void forgetDescription(REGSAM view) {
    HKEY key = openKey(descriptionsKey, view);
    if (key != nullptr) {
        RegDeleteValueW(key, driverFile);
        RegCloseKey(key);
    }
}

// The slot's value, or an empty string when the slot is free.
std::wstring slotValue(HKEY key, const wchar_t* slot) {
    wchar_t data[MAX_PATH] = {};
    DWORD size = sizeof data - sizeof(wchar_t);
    DWORD type = 0;
    if (RegQueryValueExW(key, slot, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) !=
        ERROR_SUCCESS) {
        return std::wstring();
    }
    return data;
}

bool isOurs(const std::wstring& value) {
    return lstrcmpiW(value.c_str(), driverFile) == 0;
}

bool registerDriver(HKEY key) {
    for (const wchar_t* slot : slotNames) {
        if (isOurs(slotValue(key, slot))) {
            return true; // installed already: keep its slot
        }
    }
    for (const wchar_t* slot : slotNames) {
        if (slotValue(key, slot).empty()) {
            DWORD size = static_cast<DWORD>((lstrlenW(driverFile) + 1) * sizeof(wchar_t));
            return RegSetValueExW(key, slot, 0, REG_SZ, reinterpret_cast<const BYTE*>(driverFile),
                                  size) == ERROR_SUCCESS;
        }
    }
    std::fwprintf(stderr, L"All ten MIDI driver slots are taken.\n");
    return false;
}

void unregisterDriver(HKEY key) {
    for (const wchar_t* slot : slotNames) {
        if (isOurs(slotValue(key, slot))) {
            RegDeleteValueW(key, slot);
        }
    }
}

std::wstring folderOfThisProgram() {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L"\\/"));
}

bool install(const std::vector<Target>& targets, const std::wstring& from) {
    for (const Target& target : targets) {
        std::wstring source = from + L"\\" + target.sourceSubfolder + L"\\" + driverFile;
        std::wstring destination = target.systemFolder + L"\\" + driverFile;
        if (!CopyFileW(source.c_str(), destination.c_str(), FALSE)) {
            std::fwprintf(stderr, L"Cannot copy %ls to %ls (error %lu).\n", source.c_str(),
                          destination.c_str(), GetLastError());
            return false;
        }
        HKEY key = openKey(driversKey, target.view);
        bool registered = key != nullptr && registerDriver(key);
        if (key != nullptr) {
            RegCloseKey(key);
        }
        if (!registered) {
            std::fwprintf(stderr, L"Cannot register the %ls driver (administrator rights?).\n",
                          target.label);
            return false;
        }
        describe(target.view);
        std::wprintf(L"Installed the %ls driver: %ls\n", target.label, destination.c_str());
    }
    return true;
}

void uninstall(const std::vector<Target>& targets) {
    for (const Target& target : targets) {
        HKEY key = openKey(driversKey, target.view);
        if (key != nullptr) {
            unregisterDriver(key);
            RegCloseKey(key);
        }
        forgetDescription(target.view);
        std::wstring file = target.systemFolder + L"\\" + driverFile;
        // A driver still loaded by a running program cannot be deleted now; Windows removes it
        // at the next restart.
        if (!DeleteFileW(file.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
            MoveFileExW(file.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
        }
        std::wprintf(L"Removed the %ls driver.\n", target.label);
    }
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<Target> targets;
    if (argc < 2 || !targetsOfThisSystem(targets)) {
        if (argc < 2) {
            std::fwprintf(stderr, L"usage: melvpcif-setup install [FOLDER] | uninstall\n");
        }
        return 2;
    }
    std::wstring action = argv[1];
    if (action == L"install") {
        return install(targets, argc > 2 ? argv[2] : folderOfThisProgram()) ? 0 : 1;
    }
    if (action == L"uninstall") {
        uninstall(targets);
        return 0;
    }
    std::fwprintf(stderr, L"usage: melvpcif-setup install [FOLDER] | uninstall\n");
    return 2;
}
