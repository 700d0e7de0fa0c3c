// The driver's registration on this machine: its value among Drivers32's "midi2".."midi9" in each
// registry view, its description beside it, and one root-enumerated device of the Media class
// whose driver key holds the driver's MIDI entry, the way Windows' own MIDI drivers are
// registered. The rules of which slot (registration/driver_slots.h) are shared with the watch.
#pragma once

#include "common/installed_driver.h"
#include "registration/driver_slots.h"

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

inline constexpr wchar_t driverDescription[] = L"MELV PC I/F MIDI Driver";
// The event the watch writes to the Application log under the source of the driver's name; the
// message table of melvpcif-share.exe (service/messages.rc) shows its one string as it is.
inline constexpr DWORD registrationEventId = 1;
// Native ARM64 programs and emulated x64 ones share System32, so the ARM64 driver has a name of
// its own there; the x64 one keeps the name (and slot) an earlier installation gave it.
inline constexpr wchar_t arm64DriverFileName[] = L"melvpcif-arm64.dll";

// One place the driver goes: a system folder, the registry view that serves it, the package's
// folder the file comes from and the file's name there.
struct DriverPlace {
    const wchar_t* label;
    std::wstring systemFolder;
    REGSAM view;
    const wchar_t* sourceSubfolder;
    const wchar_t* file;
};

// The places of this Windows, as a program of this build sees them: a 64-bit program serves
// both bitnesses of 64-bit Windows, and ARM64 programs on ARM64 Windows. False for a 32-bit
// program on 64-bit Windows, which cannot serve it.
bool driverPlacesOfThisSystem(std::vector<DriverPlace>& places);

std::wstring systemFolder();

// Whether this program's system folder holds the driver: the one of this program's bitness,
// where Windows' multimedia system loads it from.
bool driverFileInstalled();

// The slots of Drivers32 in `view` as seen by `file`; the slots in `others` count as taken (the
// ones chosen for another file of this installation in the same view).
SlotView slotViewOf(REGSAM view, const wchar_t* file, const int* others, size_t otherCount);

// The name of a slot: "midi", "midi1" .. "midi9".
const wchar_t* slotName(int slot);

// Registers the file in `slot` of the view, with its description, and takes it out of any other
// slot it had there. False when the registry cannot be written (administrator rights).
bool registerInSlot(REGSAM view, const wchar_t* file, int slot);

// Takes the file's values and description out of the view.
bool unregisterFromView(REGSAM view, const wchar_t* file);

// One MIDI entry of the driver's device: a driver file and the slot it has.
struct DeviceEntry {
    const wchar_t* file;
    int slot;
};

// The slot the device's entry names for the file; noSlot when there is no device or no entry.
int deviceSlotOf(const wchar_t* file);

// Makes the driver's device if there is none (and removes any beyond the first), then writes
// its driver key: the maker, the version and a MIDI entry for each file. False when the device
// cannot be made or written.
bool writeDriverDevice(const DeviceEntry* entries, size_t count);

// How many devices of the driver the machine has, present or not.
size_t driverDeviceCount();

// Removes every device of the driver, with its driver key.
bool removeDriverDevices();

// One slot for each driver file of `places`, the same in every view that registers it, as the
// device's entry names one. False when a file can have none; `full` then names a place whose
// view has no slot left, or is null when each view has some but none is free in all of them.
bool chooseSlots(const std::vector<DriverPlace>& places, std::vector<DeviceEntry>& chosen,
                 const DriverPlace*& full);

int slotOf(const std::vector<DeviceEntry>& chosen, const wchar_t* file);

// The control the sharing service answers, from anybody who may start it, by looking at the
// registration again while it runs.
inline constexpr DWORD restoreRegistrationControl = 128;

// Has the sharing service put back what was taken away from the registration: starts it, which
// looks at every start, or asks it to look again while it runs. Users may do either, so no
// administrator rights are needed. False when the service is not installed or did not answer.
bool askServiceToRestoreRegistration();

// What a look at the registration found.
enum class Registration { whole, putBack, impossible, noDevice };

// Puts back what Windows or a tool took away from the registration of the driver files that are
// installed (in their system folders): each file's value in each view and the device's entry,
// in the slot the rules give, while the driver's device is there. Touches nothing else.
// `putBack` says in words what it put back.
Registration restoreRegistration(std::wstring& putBack);
