// Which Drivers32 slot the driver takes, and what is put back once Windows or a tool took part of
// its registration away: the rules the setup program and the service's watch share.
#include "registration/driver_slots.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A view written as one letter a slot, "midi" first: '.' free, 'o' this file, 'x' another's.
SlotView viewOf(const std::string& letters) {
    SlotView view{};
    for (size_t slot = 0; slot < driverSlotCount; ++slot) {
        char letter = slot < letters.size() ? letters[slot] : '.';
        view.uses[slot] = letter == 'o'   ? SlotUse::thisFile
                          : letter == 'x' ? SlotUse::taken
                                          : SlotUse::free;
    }
    return view;
}

RegistrationState stateOf(const std::string& view64, const std::string& view32, int deviceSlot) {
    RegistrationState state{};
    state.views[0] = viewOf(view64);
    state.viewCount = 1;
    if (!view32.empty()) {
        state.views[1] = viewOf(view32);
        state.viewCount = 2;
    }
    state.deviceSlot = deviceSlot;
    return state;
}

struct SlotCase {
    const char* what;
    const char* view64;
    const char* view32; // "" for a machine with one view
    int deviceSlot;
    int slot;
};

const SlotCase slotCases[] = {
    {"a fresh machine: the first slot after Windows' own two", "xx", "xx", noSlot, 2},
    {"midi and midi1 are never taken, even free", "..", "..", noSlot, 2},
    {"a slot the file has in both views is kept", "xx.o", "xx.o", noSlot, 3},
    {"a slot free in one view but another's in the other is passed by", "xx..", "xxx.", noSlot, 3},
    {"a slot the file has in one view and is free in the other is kept", "xx.o", "xx..", noSlot, 3},
    {"the file's slot in one view, another's in the other, gives way", "xx.o", "xx.x", noSlot, 2},
    {"an old installation in midi1 moves up", "xo", "xo", noSlot, 2},
    {"the slot the device names is kept after Drivers32 was emptied", "xx", "xx", 5, 5},
    {"the device's slot another driver took meanwhile is left to it", "xx...x", "xx", 5, 2},
    {"the device's slot wins over a second registration of the file", "xx.o.o", "xx.o.o", 5, 5},
    {"a device naming midi1 gets a slot of the driver's own", "xx", "xx", 1, 2},
    {"every own slot another's in some view: none", "xxxxxxxxx.", "xxxxxxxxxx", noSlot, noSlot},
    {"the last slot is taken when it is the only one", "xxxxxxxxx.", "xxxxxxxxx.", noSlot, 9},
    {"one view (32-bit Windows)", "xxxx", "", noSlot, 4},
};

TEST(DriverSlot, IsChosenByTheRulesTheSetupAndTheWatchShare) {
    for (const SlotCase& c : slotCases) {
        EXPECT_EQ(chooseDriverSlot(stateOf(c.view64, c.view32, c.deviceSlot)), c.slot) << c.what;
    }
}

TEST(RegistrationRepair, AWholeRegistrationChangesNothing) {
    RegistrationState whole = stateOf("xx.o", "xx.o", 3);
    RegistrationRepair repair = planRegistration(whole);
    EXPECT_EQ(repair.slot, 3);
    EXPECT_FALSE(repairNeeded(repair, whole.viewCount));
}

TEST(RegistrationRepair, PutsBackOnlyTheViewsThatLostTheValue) {
    RegistrationState oneViewEmptied = stateOf("xx.o", "xx", 3);
    RegistrationRepair repair = planRegistration(oneViewEmptied);
    EXPECT_EQ(repair.slot, 3);
    EXPECT_FALSE(repair.putBack[0]);
    EXPECT_TRUE(repair.putBack[1]);
    EXPECT_FALSE(repair.writeDeviceEntry);

    RegistrationState bothEmptied = stateOf("xx", "xx", 3);
    repair = planRegistration(bothEmptied);
    EXPECT_TRUE(repair.putBack[0] && repair.putBack[1]);
    EXPECT_FALSE(repair.writeDeviceEntry);
}

TEST(RegistrationRepair, AMissingDeviceOrAMovedSlotRewritesTheDevicesEntry) {
    RegistrationRepair noDevice = planRegistration(stateOf("xx.o", "xx.o", noSlot));
    EXPECT_EQ(noDevice.slot, 3);
    EXPECT_TRUE(noDevice.writeDeviceEntry);
    EXPECT_FALSE(noDevice.putBack[0] || noDevice.putBack[1]);

    // Another driver took the device's slot in the 32-bit view while the value was gone: the
    // driver moves, in both views and in the device's entry, and the other driver stays.
    RegistrationRepair moved = planRegistration(stateOf("xx.o", "xx.x", 3));
    EXPECT_EQ(moved.slot, 2);
    EXPECT_TRUE(moved.putBack[0] && moved.putBack[1] && moved.writeDeviceEntry);
}

TEST(RegistrationRepair, WithNoSlotToHaveNothingIsWritten) {
    RegistrationState full = stateOf("xxxxxxxxxx", "xxxxxxxxxx", 4);
    RegistrationRepair repair = planRegistration(full);
    EXPECT_EQ(repair.slot, noSlot);
    EXPECT_FALSE(repairNeeded(repair, full.viewCount));
}

} // namespace
