#include "registration/driver_slots.h"

namespace {

bool isOwnSlot(int slot) {
    return slot >= static_cast<int>(firstOwnSlot) && slot < static_cast<int>(driverSlotCount);
}

// Free, or the file's already, in every view.
bool usableEverywhere(const RegistrationState& state, int slot) {
    if (!isOwnSlot(slot)) {
        return false;
    }
    for (size_t view = 0; view < state.viewCount; ++view) {
        if (state.views[view].uses[slot] == SlotUse::taken) {
            return false;
        }
    }
    return true;
}

bool heldSomewhere(const RegistrationState& state, int slot) {
    for (size_t view = 0; view < state.viewCount; ++view) {
        if (state.views[view].uses[slot] == SlotUse::thisFile) {
            return true;
        }
    }
    return false;
}

} // namespace

int chooseDriverSlot(const RegistrationState& state) {
    if (usableEverywhere(state, state.deviceSlot)) {
        return state.deviceSlot;
    }
    for (int slot = firstOwnSlot; slot < static_cast<int>(driverSlotCount); ++slot) {
        if (heldSomewhere(state, slot) && usableEverywhere(state, slot)) {
            return slot;
        }
    }
    for (int slot = firstOwnSlot; slot < static_cast<int>(driverSlotCount); ++slot) {
        if (usableEverywhere(state, slot)) {
            return slot;
        }
    }
    return noSlot;
}

RegistrationRepair planRegistration(const RegistrationState& state) {
    RegistrationRepair repair{};
    repair.slot = chooseDriverSlot(state);
    if (repair.slot == noSlot) {
        return repair;
    }
    for (size_t view = 0; view < state.viewCount; ++view) {
        repair.putBack[view] = state.views[view].uses[repair.slot] != SlotUse::thisFile;
    }
    repair.writeDeviceEntry = state.deviceSlot != repair.slot;
    return repair;
}

bool repairNeeded(const RegistrationRepair& repair, size_t viewCount) {
    bool needed = repair.writeDeviceEntry;
    for (size_t view = 0; view < viewCount; ++view) {
        needed = needed || repair.putBack[view];
    }
    return needed;
}
