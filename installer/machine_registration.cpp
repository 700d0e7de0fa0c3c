#include "machine_registration.h"

#include "melv_version.h"
#include "share/protocol.h"

#include <setupapi.h>

#include <iterator>
#include <string>
#include <vector>

namespace {

const wchar_t driversKey[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32";
// The name Windows shows for the driver in its multimedia settings.
const wchar_t descriptionsKey[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\drivers.desc";
const wchar_t* const slotNames[driverSlotCount] = {L"midi",  L"midi1", L"midi2", L"midi3",
                                                   L"midi4", L"midi5", L"midi6", L"midi7",
                                                   L"midi8", L"midi9"};

// The Media class ("Sound, video and game controllers"), which Windows' own MIDI drivers are
// registered under.
const GUID mediaClass = {
    0x4d36e96c, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
// A multi-string: the hardware id, then the list's end.
const wchar_t hardwareIds[] = L"ROOT\\MELVPCIF\0";
const wchar_t maker[] = L"MELV";
// How long a program waits for the sharing service to look at the registration.
constexpr DWORD serviceLookMs = 30000;

HKEY openKey(const wchar_t* path, REGSAM view) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0,
                        KEY_QUERY_VALUE | KEY_SET_VALUE | view, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
        return nullptr;
    }
    return key;
}

bool setString(HKEY key, const wchar_t* name, const wchar_t* value) {
    DWORD size = static_cast<DWORD>((lstrlenW(value) + 1) * sizeof(wchar_t));
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), size) ==
           ERROR_SUCCESS;
}

bool deleteValue(HKEY key, const wchar_t* name) {
    LONG result = RegDeleteValueW(key, name);
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

// A string value of the key, or "" when it has none.
void readString(HKEY key, const wchar_t* name, wchar_t (&data)[MAX_PATH]) {
    DWORD size = sizeof data - sizeof(wchar_t);
    DWORD type = 0;
    data[0] = L'\0';
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
        data[0] = L'\0';
    }
    data[std::size(data) - 1] = L'\0';
}

bool names(HKEY key, const wchar_t* name, const wchar_t* file) {
    wchar_t value[MAX_PATH];
    readString(key, name, value);
    return lstrcmpiW(value, file) == 0;
}

bool isFree(HKEY key, const wchar_t* name) {
    return RegQueryValueExW(key, name, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS;
}

bool setDescription(REGSAM view, const wchar_t* file, bool described) {
    HKEY key = openKey(descriptionsKey, view);
    if (key == nullptr) {
        return false;
    }
    bool done = described ? setString(key, file, driverDescription) : deleteValue(key, file);
    RegCloseKey(key);
    return done;
}

// The root-enumerated devices of the Media class, present or not, among them the driver's.
HDEVINFO rootMediaDevices() {
    return SetupDiGetClassDevsW(&mediaClass, L"ROOT", nullptr, 0);
}

bool isDriverDevice(HDEVINFO set, SP_DEVINFO_DATA& device) {
    wchar_t ids[256] = {};
    DWORD type = 0;
    return SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, &type,
                                             reinterpret_cast<BYTE*>(ids), sizeof ids - 4,
                                             nullptr) &&
           lstrcmpiW(ids, hardwareIds) == 0;
}

// The next of the driver's devices in the list from `index` on; false when there is none.
bool nextDriverDevice(HDEVINFO set, DWORD& index, SP_DEVINFO_DATA& device) {
    device = {sizeof device};
    for (; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
        if (isDriverDevice(set, device)) {
            return true;
        }
    }
    return false;
}

bool setDeviceText(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property, const wchar_t* text) {
    return SetupDiSetDeviceRegistryPropertyW(
        set, &device, property, reinterpret_cast<const BYTE*>(text),
        static_cast<DWORD>((lstrlenW(text) + 1) * sizeof(wchar_t)));
}

enum class Removal { removed, noneLeft, refused };

// Removes the first of the driver's devices, from a list of its own: whether SetupAPI keeps a
// removed device in the list it was removed from is not the same everywhere.
Removal removeFirstDriverDevice() {
    HDEVINFO set = rootMediaDevices();
    if (set == INVALID_HANDLE_VALUE) {
        return Removal::refused;
    }
    SP_DEVINFO_DATA device;
    DWORD index = 0;
    Removal removal = !nextDriverDevice(set, index, device)                 ? Removal::noneLeft
                      : SetupDiCallClassInstaller(DIF_REMOVE, set, &device) ? Removal::removed
                                                                            : Removal::refused;
    SetupDiDestroyDeviceInfoList(set);
    return removal;
}

// A new root-enumerated device of the Media class with the driver's hardware id, name and maker,
// registered with Plug and Play. It has no kernel driver: Plug and Play installs the null driver.
bool makeDriverDevice(HDEVINFO set, SP_DEVINFO_DATA& device) {
    device = {sizeof device};
    if (!SetupDiCreateDeviceInfoW(set, L"MEDIA", &mediaClass, driverDescription, nullptr,
                                  DICD_GENERATE_ID, &device) ||
        !SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID,
                                           reinterpret_cast<const BYTE*>(hardwareIds),
                                           sizeof hardwareIds) ||
        !setDeviceText(set, device, SPDRP_MFG, maker) ||
        !SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
        return false;
    }
    // Installs the null driver, so that Plug and Play does not offer the device to the user as
    // one without drivers. Wine's SetupAPI knows no null driver and refuses; the entry below is
    // what Windows' multimedia system reads either way.
    SetupDiCallClassInstaller(DIF_INSTALLDEVICE, set, &device);
    return true;
}

HKEY createSubkey(HKEY parent, const wchar_t* path) {
    HKEY key = nullptr;
    return RegCreateKeyExW(parent, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) ==
                   ERROR_SUCCESS
               ? key
               : nullptr;
}

// The driver key as Device Manager shows it and as Windows' multimedia system reads a Media
// device's MIDI drivers: "Drivers" with "SubClasses", and per file "Drivers\midi\<file>" with
// "Driver", "Description" and "Alias", the slot its Drivers32 value has.
bool writeDriverKey(HKEY driverKey, const DeviceEntry* entries, size_t count) {
    bool written = setString(driverKey, L"DriverDesc", driverDescription) &&
                   setString(driverKey, L"ProviderName", maker) &&
                   setString(driverKey, L"DriverVersion", L"" MELV_VERSION_TEXT) &&
                   setString(driverKey, L"MatchingDeviceId", hardwareIds);
    RegDeleteTreeW(driverKey, L"Drivers"); // an entry for a file no longer installed goes
    HKEY drivers = createSubkey(driverKey, L"Drivers");
    written = written && drivers != nullptr && setString(drivers, L"SubClasses", L"midi");
    for (size_t i = 0; written && i < count; ++i) {
        std::wstring path = std::wstring(L"midi\\") + entries[i].file;
        HKEY entry = createSubkey(drivers, path.c_str());
        written = entry != nullptr && setString(entry, L"Driver", entries[i].file) &&
                  setString(entry, L"Description", driverDescription) &&
                  setString(entry, L"Alias", slotName(entries[i].slot));
        if (entry != nullptr) {
            RegCloseKey(entry);
        }
    }
    if (drivers != nullptr) {
        RegCloseKey(drivers);
    }
    return written;
}

bool isWow64() {
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

// Whether Windows runs on an ARM64 processor, also when this is an x64 program it emulates.
// Windows without IsWow64Process2 (before 10 version 1511) has no ARM64 edition.
bool isArm64Windows() {
    using Query = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);
    auto query = reinterpret_cast<Query>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process2")));
    USHORT process = 0, native = 0;
    return query != nullptr && query(GetCurrentProcess(), &process, &native) &&
           native == IMAGE_FILE_MACHINE_ARM64;
}

std::wstring wow64Folder() {
    wchar_t path[MAX_PATH];
    UINT length = GetSystemWow64DirectoryW(path, MAX_PATH);
    return length == 0 ? std::wstring() : std::wstring(path, length);
}

// The slots already chosen, in `view`, for the other files of this installation.
std::vector<int> slotsOfOthersIn(const std::vector<DriverPlace>& places,
                                 const std::vector<DeviceEntry>& chosen, REGSAM view) {
    std::vector<int> others;
    for (const DeviceEntry& entry : chosen) {
        for (const DriverPlace& place : places) {
            if (place.view == view && place.file == entry.file) {
                others.push_back(entry.slot);
            }
        }
    }
    return others;
}

bool ownSlotsAllTaken(const SlotView& view) {
    for (size_t slot = firstOwnSlot; slot < driverSlotCount; ++slot) {
        if (view.uses[slot] != SlotUse::taken) {
            return false;
        }
    }
    return true;
}

// What the machine holds for the file: its slots in the views of the places that register it,
// the slots of `chosen` counting as taken, and the slot the device names.
RegistrationState stateOf(const std::vector<DriverPlace>& places,
                          const std::vector<DeviceEntry>& chosen, const wchar_t* file) {
    RegistrationState state{};
    state.deviceSlot = deviceSlotOf(file);
    for (const DriverPlace& place : places) {
        if (place.file == file && state.viewCount < maxSlotViews) {
            std::vector<int> others = slotsOfOthersIn(places, chosen, place.view);
            state.views[state.viewCount++] =
                slotViewOf(place.view, place.file, others.data(), others.size());
        }
    }
    return state;
}

bool chosenAlready(const std::vector<DeviceEntry>& chosen, const wchar_t* file) {
    return slotOf(chosen, file) != noSlot;
}

// Whether the place's file is in its system folder.
bool installedAt(const DriverPlace& place) {
    return GetFileAttributesW((place.systemFolder + L"\\" + place.file).c_str()) !=
           INVALID_FILE_ATTRIBUTES;
}

// "melvpcif.dll as midi2 in the 64-bit and 32-bit registry views"
std::wstring valuesInWords(const std::vector<DriverPlace>& places, const wchar_t* file, int slot,
                           const RegistrationRepair& repair) {
    std::wstring views;
    size_t view = 0;
    for (const DriverPlace& place : places) {
        if (place.file == file && repair.putBack[view++]) {
            views += (views.empty() ? L"" : L" and ") + std::wstring(place.label);
        }
    }
    return views.empty()
               ? views
               : std::wstring(file) + L" as " + slotName(slot) + L" in the " + views +
                     L" registry view" + (views.find(L" and ") == std::wstring::npos ? L"" : L"s");
}

} // namespace

std::wstring systemFolder() {
    wchar_t path[MAX_PATH];
    UINT length = GetSystemDirectoryW(path, MAX_PATH);
    return std::wstring(path, length);
}

bool driverFileInstalled() {
    return GetFileAttributesW((systemFolder() + L"\\" + driverFileName).c_str()) !=
           INVALID_FILE_ATTRIBUTES;
}

bool driverPlacesOfThisSystem(std::vector<DriverPlace>& places) {
    if (sizeof(void*) == 8) {
        if (isArm64Windows()) {
            places.push_back(
                {L"ARM64", systemFolder(), KEY_WOW64_64KEY, L"arm64", arm64DriverFileName});
        }
        places.push_back({L"64-bit", systemFolder(), KEY_WOW64_64KEY, L"x64", driverFileName});
        places.push_back({L"32-bit", wow64Folder(), KEY_WOW64_32KEY, L"x86", driverFileName});
        return true;
    }
    if (isWow64()) {
        return false;
    }
    places.push_back({L"32-bit", systemFolder(), 0, L"x86", driverFileName});
    return true;
}

bool chooseSlots(const std::vector<DriverPlace>& places, std::vector<DeviceEntry>& chosen,
                 const DriverPlace*& full) {
    full = nullptr;
    for (const DriverPlace& first : places) {
        if (chosenAlready(chosen, first.file)) {
            continue;
        }
        RegistrationState state = stateOf(places, chosen, first.file);
        int slot = chooseDriverSlot(state);
        if (slot == noSlot) {
            size_t view = 0;
            for (const DriverPlace& place : places) {
                if (place.file == first.file && ownSlotsAllTaken(state.views[view++])) {
                    full = full != nullptr ? full : &place;
                }
            }
            return false;
        }
        chosen.push_back({first.file, slot});
    }
    return true;
}

int slotOf(const std::vector<DeviceEntry>& chosen, const wchar_t* file) {
    for (const DeviceEntry& entry : chosen) {
        if (entry.file == file) {
            return entry.slot;
        }
    }
    return noSlot;
}

Registration restoreRegistration(std::wstring& putBack) {
    putBack.clear();
    // The device is what the setup program leaves and only it or the user takes away: without
    // it the driver was removed in Device Manager, or installed by hand or by an earlier
    // version, and nothing is put back.
    if (driverDeviceCount() == 0) {
        return Registration::noDevice;
    }
    std::vector<DriverPlace> all;
    driverPlacesOfThisSystem(all);
    std::vector<DriverPlace> places;
    for (const DriverPlace& place : all) {
        if (installedAt(place)) {
            places.push_back(place);
        }
    }
    std::vector<DeviceEntry> chosen;
    bool deviceEntryWanted = false;
    bool ok = true;
    for (const DriverPlace& first : places) {
        if (chosenAlready(chosen, first.file)) {
            continue;
        }
        RegistrationRepair repair = planRegistration(stateOf(places, chosen, first.file));
        if (repair.slot == noSlot) {
            ok = false; // another driver took every slot meanwhile: nothing of theirs is touched
            continue;
        }
        chosen.push_back({first.file, repair.slot});
        deviceEntryWanted = deviceEntryWanted || repair.writeDeviceEntry;
        size_t view = 0;
        for (const DriverPlace& place : places) {
            if (place.file == first.file && repair.putBack[view++]) {
                ok = registerInSlot(place.view, place.file, repair.slot) && ok;
            }
        }
        std::wstring values = valuesInWords(places, first.file, repair.slot, repair);
        putBack += (putBack.empty() || values.empty() ? L"" : L"; ") + values;
    }
    if (deviceEntryWanted) {
        ok = writeDriverDevice(chosen.data(), chosen.size()) && ok;
        putBack +=
            std::wstring(putBack.empty() ? L"" : L"; ") + L"the MIDI entry of the driver's device";
    }
    if (!ok) {
        return Registration::impossible;
    }
    return putBack.empty() ? Registration::whole : Registration::putBack;
}

bool askServiceToRestoreRegistration() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service =
        manager == nullptr
            ? nullptr
            : OpenServiceW(manager, reinterpret_cast<const wchar_t*>(shareServiceName),
                           SERVICE_START | SERVICE_QUERY_STATUS | SERVICE_USER_DEFINED_CONTROL);
    SERVICE_STATUS status = {};
    bool asked =
        service != nullptr && (StartServiceW(service, 0, nullptr) ||
                               (GetLastError() == ERROR_SERVICE_ALREADY_RUNNING &&
                                ControlService(service, restoreRegistrationControl, &status)));
    // A start looks before the service runs or ends: done once it is no longer starting.
    for (DWORD waited = 0;
         asked && waited < serviceLookMs && QueryServiceStatus(service, &status) &&
         status.dwCurrentState == SERVICE_START_PENDING;
         waited += 100) {
        Sleep(100);
    }
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    if (manager != nullptr) {
        CloseServiceHandle(manager);
    }
    return asked && status.dwCurrentState != SERVICE_START_PENDING;
}

const wchar_t* slotName(int slot) {
    return slotNames[slot];
}

SlotView slotViewOf(REGSAM view, const wchar_t* file, const int* others, size_t otherCount) {
    SlotView slots{};
    HKEY key = openKey(driversKey, view);
    for (size_t slot = 0; slot < driverSlotCount; ++slot) {
        slots.uses[slot] = key == nullptr                      ? SlotUse::taken
                           : names(key, slotNames[slot], file) ? SlotUse::thisFile
                           : isFree(key, slotNames[slot])      ? SlotUse::free
                                                               : SlotUse::taken;
    }
    for (size_t i = 0; i < otherCount; ++i) {
        slots.uses[others[i]] = SlotUse::taken;
    }
    if (key != nullptr) {
        RegCloseKey(key);
    }
    return slots;
}

bool registerInSlot(REGSAM view, const wchar_t* file, int slot) {
    HKEY key = openKey(driversKey, view);
    if (key == nullptr) {
        return false;
    }
    bool registered = names(key, slotNames[slot], file) || setString(key, slotNames[slot], file);
    // One left in "midi" or "midi1" by an earlier version, or a second one an earlier repair
    // could not clear, goes.
    for (size_t other = 0; other < driverSlotCount; ++other) {
        if (static_cast<int>(other) != slot && names(key, slotNames[other], file)) {
            registered = deleteValue(key, slotNames[other]) && registered;
        }
    }
    RegCloseKey(key);
    return registered && setDescription(view, file, true);
}

bool unregisterFromView(REGSAM view, const wchar_t* file) {
    HKEY key = openKey(driversKey, view);
    if (key == nullptr) {
        return false;
    }
    bool removed = true;
    for (const wchar_t* slot : slotNames) {
        if (names(key, slot, file)) {
            removed = deleteValue(key, slot) && removed;
        }
    }
    RegCloseKey(key);
    return removed && setDescription(view, file, false);
}

int deviceSlotOf(const wchar_t* file) {
    HDEVINFO set = rootMediaDevices();
    if (set == INVALID_HANDLE_VALUE) {
        return noSlot;
    }
    SP_DEVINFO_DATA device;
    DWORD index = 0;
    int found = noSlot;
    if (nextDriverDevice(set, index, device)) {
        HKEY driverKey =
            SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
        if (driverKey != INVALID_HANDLE_VALUE) {
            std::wstring path = std::wstring(L"Drivers\\midi\\") + file;
            HKEY entry = nullptr;
            if (RegOpenKeyExW(driverKey, path.c_str(), 0, KEY_QUERY_VALUE, &entry) ==
                ERROR_SUCCESS) {
                wchar_t alias[MAX_PATH];
                readString(entry, L"Alias", alias);
                for (size_t slot = 0; slot < driverSlotCount; ++slot) {
                    found = lstrcmpiW(alias, slotNames[slot]) == 0 ? static_cast<int>(slot) : found;
                }
                RegCloseKey(entry);
            }
            RegCloseKey(driverKey);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

bool writeDriverDevice(const DeviceEntry* entries, size_t count) {
    // Exactly one: a second one, left by an interrupted installation, goes.
    while (driverDeviceCount() > 1) {
        if (removeFirstDriverDevice() != Removal::removed) {
            return false;
        }
    }
    HDEVINFO set = rootMediaDevices();
    if (set == INVALID_HANDLE_VALUE) {
        return false;
    }
    SP_DEVINFO_DATA device;
    DWORD index = 0;
    bool written = nextDriverDevice(set, index, device) || makeDriverDevice(set, device);
    if (written) {
        written = setDeviceText(set, device, SPDRP_DEVICEDESC, driverDescription) &&
                  setDeviceText(set, device, SPDRP_MFG, maker);
        HKEY driverKey =
            SetupDiCreateDevRegKeyW(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, nullptr, nullptr);
        written = written && driverKey != INVALID_HANDLE_VALUE &&
                  writeDriverKey(driverKey, entries, count);
        if (driverKey != INVALID_HANDLE_VALUE) {
            RegCloseKey(driverKey);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return written;
}

size_t driverDeviceCount() {
    HDEVINFO set = rootMediaDevices();
    if (set == INVALID_HANDLE_VALUE) {
        return 0;
    }
    size_t count = 0;
    SP_DEVINFO_DATA device;
    for (DWORD index = 0; nextDriverDevice(set, index, device); ++index) {
        ++count;
    }
    SetupDiDestroyDeviceInfoList(set);
    return count;
}

bool removeDriverDevices() {
    for (size_t left = driverDeviceCount(); left > 0; --left) {
        if (removeFirstDriverDevice() != Removal::removed) {
            return false;
        }
    }
    return driverDeviceCount() == 0;
}
