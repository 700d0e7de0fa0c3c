#include "instrument.h"

#include "common/settings_key.h"
#include "line/port_names.h"
#include "line/shared_state.h"
#include "panic.h"

#include <cwchar>
#include <iterator>

namespace {

std::atomic<bool> stopAsked{false};

BOOL WINAPI onControl(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
        stopAsked = true;
        return TRUE;
    }
    return FALSE;
}

// The Start menu entry that opens the driver's settings.
const wchar_t settingsEntry[] = L"MELV PC I/F MIDI Driver settings";

// Whether the system's list of the computer's serial ports has COMn; nothing is opened to know.
bool machineHasPort(DWORD port) {
    uint16_t numbers[lastPortNumber];
    uint32_t count = listSerialPorts(1, lastPortNumber, numbers, lastPortNumber);
    for (uint32_t at = 0; at < count; ++at) {
        if (numbers[at] == port) {
            return true;
        }
    }
    return false;
}

// The computer's serial ports with the names Windows gives them, and how to choose one.
void listMachinePorts() {
    uint16_t numbers[lastPortNumber];
    uint32_t count = listSerialPorts(1, lastPortNumber, numbers, lastPortNumber);
    if (count == 0) {
        std::wprintf(L"This computer has no serial port now: plug in the serial adapter, wait for "
                     L"Windows to set it up, and start this check again.\n");
        return;
    }
    std::wprintf(L"Its serial ports are:\n");
    for (uint32_t at = 0; at < count; ++at) {
        char16_t label[portLabelLength];
        labelPort(numbers[at], true, label);
        std::wprintf(L"  %ls\n", reinterpret_cast<const wchar_t*>(label));
    }
    std::wprintf(L"Choose the instrument's port in the driver's settings: open \"%ls\" in the "
                 L"Start menu, then Serial Port (COM1 to COM4) or Other port. To try a port for "
                 L"one run only, start this check with --port N.\n",
                 settingsEntry);
}

} // namespace

std::wstring instrumentHolder() {
    HANDLE mapping =
        OpenFileMappingW(FILE_MAP_READ, FALSE, reinterpret_cast<const wchar_t*>(sharedStateName));
    if (mapping == nullptr) {
        return {};
    }
    OwnerToken owner = noOwner;
    if (const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, sizeof(SharedState))) {
        owner = static_cast<const SharedState*>(view)->owner;
        UnmapViewOfFile(view);
    }
    CloseHandle(mapping);
    char16_t name[MAX_PATH];
    if (sameOwner(owner, noOwner) || !platform::processFileName(owner, name, std::size(name))) {
        return {};
    }
    return reinterpret_cast<const wchar_t*>(name) + std::wstring(L" (process ") +
           std::to_wstring(owner.id) + L")";
}

int explainOpenFailure(const std::wstring& device, MMRESULT status) {
    std::wprintf(L"\n%ls cannot be opened (status %u).\n", device.c_str(), status);
    if (status == MMSYSERR_NODRIVER && sharingConfigured()) {
        std::wprintf(L"The driver is set to share the instrument between programs, but the "
                     L"sharing service is not installed. Run the setup program again, or switch "
                     L"sharing off in the driver's settings (\"%ls\" in the Start menu).\n",
                     settingsEntry);
        return portUnavailable;
    }
    if (status == MMSYSERR_ALLOCATED && sharingConfigured() && instrumentHolder().empty()) {
        std::wprintf(L"The sharing service could not take the serial port COM%lu: another "
                     L"program holds it (a terminal, a modem tool, or a program that opened the "
                     L"instrument before sharing was switched on). Close it and try again.\n",
                     configuredPort());
        return portInUse;
    }
    if (status == MMSYSERR_ALLOCATED) {
        std::wstring holder = instrumentHolder();
        std::wprintf(L"Another program is using the instrument right now%ls%ls. Close that "
                     L"program, or its MIDI devices, and try again.\n",
                     holder.empty() ? L"" : L": ", holder.c_str());
        return portInUse;
    }
    DWORD port = configuredPort();
    if (!machineHasPort(port)) {
        std::wprintf(L"The driver is set to the serial port COM%lu, which this computer does not "
                     L"have right now.\n",
                     port);
        listMachinePorts();
        return portUnavailable;
    }
    std::wprintf(L"The serial port COM%lu cannot be opened. Check that the cable is on that "
                 L"port, that no other program (a terminal, a modem tool) holds it, and that the "
                 L"port chosen in the driver's settings (\"%ls\" in the Start menu) is the right "
                 L"one.\n",
                 port, settingsEntry);
    return portUnavailable;
}

bool isOurs(const std::wstring& deviceName) {
    return std::wcsncmp(deviceName.c_str(), devicePrefix, std::wcslen(devicePrefix)) == 0;
}

DWORD configuredPort() {
    DWORD port = 1;
    if (HKEY key = openSettingsKey(KEY_QUERY_VALUE); key != nullptr) {
        readDword(key, portSetting, port);
        RegCloseKey(key);
    }
    return port;
}

bool sharingConfigured() {
    DWORD share = 0;
    if (HKEY key = openSettingsKey(KEY_QUERY_VALUE); key != nullptr) {
        readDword(key, shareSetting, share);
        RegCloseKey(key);
    }
    return share == 1;
}

const std::atomic<bool>& stopAskedAtConsole() {
    SetConsoleCtrlHandler(onControl, TRUE);
    return stopAsked;
}

uint32_t panicInEitherMode() {
    // The driver's record names a live holder: not every serial driver opens a port for one
    // program only, so the port's own refusal is not all there is to go by.
    if (sharingConfigured()) {
        return panicThroughService();
    }
    if (!instrumentHolder().empty()) {
        return MMSYSERR_ALLOCATED;
    }
    return panicOnPort(static_cast<uint16_t>(configuredPort()));
}
