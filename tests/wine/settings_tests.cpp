// The port number and the message mask as every load of the driver reads them from the registry
// and writes them back.
#include "driver_host.h"
#include "fixtures.h"
#include "instrument_port.h"
#include "settings_key.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr DWORD noteOn = 0x00403C90;

} // namespace

// Starts from a machine on which the driver never ran: no settings key in either view of the
// registry. Each test arranges the registry and then loads the driver itself.
class SettingsAtLoad : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(driverModuleLoaded())
            << "the driver is still loaded from an earlier test, so its shared state is not fresh";
        ASSERT_TRUE(deleteSettingsKey(KEY_WOW64_64KEY));
        ASSERT_TRUE(deleteSettingsKey(KEY_WOW64_32KEY));
    }

    void TearDown() override {
        driver.unload();
        EXPECT_FALSE(driverModuleLoaded()) << "CloseDriver left the driver module loaded";
    }

    SettingsSnapshot settings; // restored once the driver is unloaded
    LoadedDriver driver;
};

TEST_F(SettingsAtLoad, FirstLoadWritesPortOneAndTheDefaultMaskInThe64BitView) {
    ASSERT_TRUE(driver.load());

    EXPECT_EQ(readSetting(L"COM"), "REG_DWORD 0x00000001");
    EXPECT_EQ(readSetting(L"Messages"), "REG_DWORD 0x00007E7F");
    EXPECT_EQ(driver.modMessage(0, MODM_GETNUMDEVS, 0, 0, 0), 1u) << "independent mode is off";
    // The 32-bit build must not keep settings of its own where a 32-bit process is redirected.
    EXPECT_FALSE(settingsKeyExists(KEY_WOW64_32KEY));
}

TEST_F(SettingsAtLoad, ValuesCountByTheirLowSixteenBitsWhateverTheirTypeAndAreWrittenBackPlain) {
    ASSERT_TRUE(writeSetting(L"COM", REG_BINARY, {0x03, 0x00}));
    ASSERT_TRUE(writeSettingDword(L"Messages", 0x12347F7F));
    ASSERT_TRUE(driver.load());

    EXPECT_EQ(driver.modMessage(0, MODM_GETNUMDEVS, 0, 0, 0), 4u) << "independent mode is on";
    EXPECT_EQ(readSetting(L"COM"), "REG_DWORD 0x00000003");
    EXPECT_EQ(readSetting(L"Messages"), "REG_DWORD 0x00007F7F");
}

TEST_F(SettingsAtLoad, ValuesLongerThanFourBytesOrPortsOutsideOneTo256CountAsAbsent) {
    ASSERT_TRUE(writeSetting(L"COM", REG_QWORD, {0x03, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(writeSetting(L"Messages", REG_BINARY, {0x7F, 0x7F, 0, 0, 0, 0}));
    ASSERT_TRUE(driver.load());

    EXPECT_EQ(readSetting(L"COM"), "REG_DWORD 0x00000001");
    EXPECT_EQ(readSetting(L"Messages"), "REG_DWORD 0x00007E7F");
    driver.unload();

    ASSERT_TRUE(writeSettingDword(L"COM", 257));
    ASSERT_TRUE(driver.load());
    EXPECT_EQ(readSetting(L"COM"), "REG_DWORD 0x00000001");
}

// Runs where the virtual line is on COM3 and there is no COM1 (run-wine-tests.sh), so output can
// only reach the instrument if the driver opens the port the registry names.
using ConfiguredPort = SettingsAtLoad;

TEST_F(ConfiguredPort, PortThreeAndIndependentModeFromTheRegistryAreUsedAndKept) {
    HANDLE com1 = CreateFileW(L"\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (com1 != INVALID_HANDLE_VALUE) {
        CloseHandle(com1);
        FAIL() << "COM1 opens here; this suite needs a prefix with the line on COM3 and no COM1";
    }
    InstrumentPort instrument;
    ASSERT_TRUE(instrument.open());
    ASSERT_TRUE(writeSettingDword(L"COM", 3));
    ASSERT_TRUE(writeSettingDword(L"Messages", 0x7F7F));
    ASSERT_TRUE(driver.load());

    EXPECT_EQ(driver.modMessage(0, MODM_GETNUMDEVS, 0, 0, 0), 4u);
    OpenedOutput output;
    ASSERT_EQ(driver.openOutput(0, &output), MMSYSERR_NOERROR);
    EXPECT_EQ(driver.sendShort(output, noteOn), MMSYSERR_NOERROR);
    EXPECT_EQ(instrument.receive(6), "F5 00 FF 90 3C 40");
    EXPECT_EQ(driver.closeOutput(output), MMSYSERR_NOERROR);
    takeNotifications();

    EXPECT_EQ(readSetting(L"COM"), "REG_DWORD 0x00000003");
    EXPECT_EQ(readSetting(L"Messages"), "REG_DWORD 0x00007F7F");
}
