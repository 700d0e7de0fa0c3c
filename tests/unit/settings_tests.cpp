// The settings a process finds when it loads the driver: port number and message mask from the
// registry, written back, and no serial port touched.
#include "config/settings.h"
#include "driver/devices.h"
#include "driver_fixture.h"

namespace {

class Settings : public DriverTest {
  protected:
    std::map<std::u16string, sim::RegistryValue>& stored() {
        return sim::world().registry.keys[settingsKeyPath];
    }
    void store(const char16_t* name, uint32_t value) { stored()[name] = sim::dwordValue(value); }
    uint32_t storedDword(const char16_t* name) {
        const sim::RegistryValue& value = stored().at(name);
        EXPECT_EQ(value.type, 4u) << "REG_DWORD";
        EXPECT_EQ(value.data.size(), 4u);
        return value.data[0] | value.data[1] << 8 | value.data[2] << 16 |
               static_cast<uint32_t>(value.data[3]) << 24;
    }
    // What a process that loads the driver now makes of the registry.
    SharedState load(SharedState before = initialSharedState) {
        loadSettings(before);
        return before;
    }
};

TEST_F(Settings, AFreshSystemGetsTheDefaultsWritten) {
    SharedState loaded = load();
    EXPECT_EQ(loaded.portNumber, 1);
    EXPECT_EQ(messageMask(loaded), 0x7E7F);
    EXPECT_EQ(storedDword(u"COM"), 1u);
    EXPECT_EQ(storedDword(u"Messages"), 0x7E7Fu);
    EXPECT_EQ(sim::world().openHandles.size(), 1u) << "the key was closed; only the heap is open";
}

TEST_F(Settings, PortNumbersOneTo256AreKeptAndOthersBecomeOne) {
    struct Case {
        uint32_t stored;
        uint16_t port;
    };
    const Case cases[] = {{4, 4},   {5, 5},      {12, 12},       {256, 256}, {0, 1},
                          {257, 1}, {0xFFFF, 1}, {0x00020003, 3}}; // only the low 16 bits count
    for (const Case& c : cases) {
        store(u"COM", c.stored);
        EXPECT_EQ(load().portNumber, c.port) << "COM " << c.stored;
        EXPECT_EQ(storedDword(u"COM"), c.port) << "written back plain";
    }
}

TEST_F(Settings, OnlyShareOneSharesTheInstrumentAndLoadingLeavesTheValueAsItWas) {
    EXPECT_EQ(load().sharing, 0) << "absent";
    EXPECT_EQ(stored().count(u"Share"), 0u) << "not written back";
    for (uint32_t value : {0u, 2u, 0x10001u, 0xFFFFFFFFu}) {
        store(u"Share", value);
        EXPECT_EQ(load().sharing, 0) << "Share " << value;
    }
    store(u"Share", 1);
    EXPECT_EQ(load().sharing, 1);
}

// With sharing on and no sharing service on the machine, an open says so and holds nothing: the
// port stays closed, and the device can be opened again once sharing is off.
TEST_F(Settings, ASharedOpenWithoutTheSharingServiceIsToldThereIsNoDriver) {
    shared.sharing = 1;
    Stream* stream = nullptr;
    EXPECT_EQ(app.openOutput(0, stream), MMSYSERR_NODRIVER);
    EXPECT_EQ(sim::world().ports[1].opens, 0u);
    shared.sharing = 0;
    EXPECT_NE(app.openOutput(0), nullptr);
}

TEST_F(Settings, TheMaskTakesTheLow16BitsWhateverTheyHold) {
    store(u"Messages", 0x12347F7F);
    SharedState loaded = load();
    EXPECT_EQ(messageMask(loaded), 0x7F7F);
    EXPECT_EQ(deviceCount(loaded, kindOutput), 4u);
    EXPECT_EQ(storedDword(u"Messages"), 0x7F7Fu);

    store(u"Messages", 1); // independent mode off, every kind dropped everywhere
    EXPECT_EQ(messageMask(load()), 1);
}

TEST_F(Settings, AnAbsentMaskKeepsTheOneInForce) {
    SharedState running = initialSharedState;
    setMessageMask(running, 0x0102);
    EXPECT_EQ(messageMask(load(running)), 0x0102);
    EXPECT_EQ(storedDword(u"Messages"), 0x0102u);
}

TEST_F(Settings, ValuesAreReadByTheirBytesWhateverTheirType) {
    stored()[u"COM"] = {3 /* REG_BINARY */, {0x04}};
    EXPECT_EQ(load().portNumber, 4);
    stored()[u"COM"] = {1 /* REG_SZ */, {'3', 0, 0, 0, 0, 0}}; // too long to be a number
    EXPECT_EQ(load().portNumber, 1);
    EXPECT_EQ(storedDword(u"COM"), 1u);
}

TEST_F(Settings, WithoutTheRightToChangeTheKeyTheSavedSettingsStillHold) {
    store(u"COM", 2);
    store(u"Messages", 0x7F7F);
    sim::world().registry.writeDenied = true;
    SharedState loaded = load();
    EXPECT_EQ(loaded.portNumber, 2);
    EXPECT_EQ(messageMask(loaded), 0x7F7F);
    EXPECT_EQ(sim::world().openHandles.size(), 1u) << "the read-only key was closed";
}

TEST_F(Settings, WithoutAKeyTheDefaultsApplyAndNothingIsWritten) {
    sim::world().registry.createFails = true;
    SharedState running = initialSharedState;
    setMessageMask(running, 0x0102);
    SharedState loaded = load(running);
    EXPECT_EQ(loaded.portNumber, 1);
    EXPECT_EQ(messageMask(loaded), 0x0102);
    EXPECT_TRUE(sim::world().registry.keys.empty());
    EXPECT_EQ(sim::world().badCloses, 0);
}

TEST_F(Settings, LoadingTheModuleLoadsTheSettingsOnce) {
    store(u"COM", 3);
    store(u"Messages", 0x7F7F);
    SharedState fresh = initialSharedState;
    ProcessContext process = {.moduleHandle = 0,
                              .heap = platform::nullHandle,
                              .line = {.ownerToken = noOwner, .shared = &fresh}};
    EXPECT_EQ(moduleAttach(process, 0x400000), 1);
    EXPECT_EQ(fresh.portNumber, 3);
    EXPECT_EQ(modMessage(process, 0, MODM_GETNUMDEVS, 0, 0, 0), 4u);
    uint32_t opens = sim::world().registry.opens;
    EXPECT_EQ(moduleAttach(process, 0x400000), 1);
    EXPECT_EQ(sim::world().registry.opens, opens) << "no second registry read";
    moduleDetach(process, false);
}

// The developer trace, asked for by the "Trace" value or by the environment: a line per call into
// the driver, with its answer, for a debug viewer; nothing while it is not asked for.
TEST_F(Settings, TheDeveloperTraceTellsEveryCallOnlyWhenAskedFor) {
    auto linesOfALoad = [] {
        sim::world().debugLines.clear();
        SharedState fresh = initialSharedState;
        ProcessContext process = {.moduleHandle = 0,
                                  .heap = platform::nullHandle,
                                  .line = {.ownerToken = noOwner, .shared = &fresh}};
        moduleAttach(process, 0x400000);
        modMessage(process, 0, MODM_GETNUMDEVS, 0, 0, 0);
        midMessage(process, 0, MIDM_START, 0, 0, 0); // no stream named
        moduleDetach(process, false);
        return sim::world().debugLines;
    };
    EXPECT_TRUE(linesOfALoad().empty());
    store(u"Trace", 1);
    std::vector<std::u16string> lines = linesOfALoad();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], u"melvpcif: modMessage(device 0, message 1) = 1\n");
    EXPECT_TRUE(lines[1].starts_with(u"melvpcif: midMessage(device 0, message "));
    EXPECT_TRUE(lines[1].ends_with(u") = 11\n")) << "MMSYSERR_INVALPARAM";
    store(u"Trace", 0);
    sim::world().environment.emplace(traceVariable, u"1");
    EXPECT_EQ(linesOfALoad().size(), 2u);
}

TEST_F(Settings, LoadingTheModuleTouchesNoSerialPort) {
    SharedState fresh = initialSharedState;
    ProcessContext process = {.moduleHandle = 0,
                              .heap = platform::nullHandle,
                              .line = {.ownerToken = noOwner, .shared = &fresh}};
    EXPECT_EQ(moduleAttach(process, 0x400000), 1);
    for (uint32_t n = 1; n <= lastPort; ++n) {
        EXPECT_EQ(sim::world().ports[n].opens, 0u) << "COM" << n;
        EXPECT_EQ(sim::world().ports[n].probes, 0u) << "COM" << n;
    }
    EXPECT_EQ(fresh.presentPorts, 0) << "nothing is known of the ports until the dialog looks";
    moduleDetach(process, false);
}

} // namespace
