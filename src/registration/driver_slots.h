// Which of the MIDI driver values "midi", "midi1" .. "midi9" of Drivers32 the driver takes, and
// what must be put back when Windows or a tool took part of its registration away. The setup
// program and the sharing service's watch follow these same rules, on what the machine holds.
#pragma once

#include <cstddef>
#include <cstdint>

// "midi", "midi1" .. "midi9": Windows' multimedia system reads no others ("midi0" is not one).
constexpr size_t driverSlotCount = 10;
// Windows 11's MIDI stack sets "midi" and "midi1" to its own drivers whenever it is switched on
// or repaired, so the driver never takes them: it would be pushed out.
constexpr size_t firstOwnSlot = 2;
constexpr int noSlot = -1;

// What one slot of one registry view holds, as seen by one of the driver's files.
enum class SlotUse : uint8_t {
    free,
    thisFile,
    taken, // another driver, or another file of this installation
};

// The slots of one registry view that registers the file.
struct SlotView {
    SlotUse uses[driverSlotCount];
};

// The views that register one driver file (64-bit and 32-bit, or only one), and the slot the
// entry of the driver's device names for it (noSlot when there is no device or no entry).
constexpr size_t maxSlotViews = 2;
struct RegistrationState {
    SlotView views[maxSlotViews];
    size_t viewCount;
    int deviceSlot;
};

// What brings the file's registration back to whole: the slot it has in every view and in the
// device's entry, which views lack that value, and whether the device's entry must be written.
struct RegistrationRepair {
    int slot; // noSlot: every slot the driver may take is another driver's in some view
    bool putBack[maxSlotViews];
    bool writeDeviceEntry;
};

// The slot for the file: the one the device's entry names while no other driver took it meanwhile,
// else one the file still has (an earlier installation keeps it), else the first that is free in
// every view; never "midi" or "midi1", never one another driver holds.
int chooseDriverSlot(const RegistrationState& state);

RegistrationRepair planRegistration(const RegistrationState& state);

// Whether the repair changes anything.
bool repairNeeded(const RegistrationRepair& repair, size_t viewCount);
