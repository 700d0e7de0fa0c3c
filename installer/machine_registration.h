// The driver's registration on this machine: its value among Drivers32's "midi2".."midi9" in each
// registry view, its description beside it, and one root-enumerated device of the Media class
// whose driver key holds the driver's MIDI entry, the way Windows' own MIDI drivers are
// registered. The rules of which slot (registration/driver_slots.h) are shared with the watch.
#pragma once

#include "registration/driver_slots.h"

#include <windows.h>

#include <cstddef>

inline constexpr wchar_t driverDescription[] = L"MELV PC I/F MIDI Driver";

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
