// The configuration dialog, opened as the host opens it (DRV_CONFIGURE through winmm) and used as a
// user would: what it shows, what its clicks change, and what OK and Cancel leave in the registry
// and in the device list.
#include "config_dialog_host.h"
#include "driver_host.h"
#include "fixtures.h"
#include "instrument_port.h"
#include "settings_key.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <set>
#include <string>
#include <vector>

using namespace control;

namespace {

const std::set<int> synthBoxes = {synthProgramChange,   synthControlChange,   synthBankSelect,
                                  synthChannelPressure, synthPolyKeyPressure, synthExclusive};
const std::set<int> midiBoxes = {midiProgramChange,   midiControlChange,   midiBankSelect,
                                 midiChannelPressure, midiPolyKeyPressure, midiExclusive};

std::set<int> join(std::initializer_list<std::set<int>> parts) {
    std::set<int> all;
    for (const std::set<int>& part : parts) {
        all.insert(part.begin(), part.end());
    }
    return all;
}

std::set<int> except(std::set<int> all, std::initializer_list<int> ids) {
    for (int id : ids) {
        all.erase(id);
    }
    return all;
}

// In this prefix only COM3 exists, so the other three port buttons are always disabled.
const std::set<int> absentPorts = {com1, com2, com4};
// Independent mode off: the "Synth Out Messages" group cannot be changed.
const std::set<int> synthGroupDisabled = join({{synthGroup}, synthBoxes});

// Which of COM1 to COM4 open as the driver's probe opens them.
std::string presentPorts() {
    std::string present;
    for (int n = 1; n <= 4; ++n) {
        std::wstring name = L"\\\\.\\COM" + std::to_wstring(n);
        HANDLE port =
            CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (port != INVALID_HANDLE_VALUE) {
            CloseHandle(port);
            present += (present.empty() ? "COM" : " COM") + std::to_string(n);
        }
    }
    return present;
}

std::string dword(DWORD value) {
    char text[32];
    std::snprintf(text, sizeof(text), "REG_DWORD 0x%08lX", static_cast<unsigned long>(value));
    return text;
}

} // namespace

// Runs where the virtual line is on COM3 and none of COM1, COM2 and COM4 exists
// (run-wine-tests.sh). Each test starts with no settings in the registry, may store some, and then
// loads the driver; a hidden window of the test stands for the host's window that owns the dialog.
class ConfigurationDialog : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(driverModuleLoaded())
            << "the driver is still loaded from an earlier test, so its shared state is not fresh";
        ASSERT_EQ(presentPorts(), portsNeeded())
            << "this suite needs a prefix where, of COM1 to COM4, only \"" << portsNeeded()
            << "\" open";
        ASSERT_TRUE(deleteSettingsKey(KEY_WOW64_64KEY));
        ASSERT_TRUE(deleteSettingsKey(KEY_WOW64_32KEY));
        owner = CreateWindowExW(0, L"Static", L"MELV test host", WS_OVERLAPPED, 0, 0, 320, 240,
                                nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(owner, nullptr);
    }

    // Which of COM1 to COM4 the suite's prefix has.
    virtual std::string portsNeeded() const { return "COM3"; }

    void TearDown() override {
        driver.unload();
        EXPECT_FALSE(driverModuleLoaded()) << "CloseDriver left the driver module loaded";
        if (owner != nullptr) {
            DestroyWindow(owner);
        }
    }

    // DRV_CONFIGURE with the owner window as the host passes it.
    LRESULT configure(const std::function<void(OpenDialog&)>& user) {
        return ::configure(driver, reinterpret_cast<LPARAM>(owner), user);
    }

    DWORD outputCount() { return driver.modMessage(0, MODM_GETNUMDEVS, 0, 0, 0); }

    SettingsSnapshot settings; // restored once the driver is unloaded
    LoadedDriver driver;
    HWND owner = nullptr;
};

TEST_F(ConfigurationDialog,
       FreshSettingsShowEveryKindCheckedAndTheSynthGroupDisabledAndOkStoresThem) {
    ASSERT_TRUE(driver.load());
    EXPECT_EQ(driver.sendDriverMessage(DRV_QUERYCONFIGURE, 0, 0), 1)
        << "the driver is configurable";
    // The dialog shows what the driver works with, not what the registry holds meanwhile.
    ASSERT_TRUE(writeSettingDword(L"COM", 2));
    ASSERT_TRUE(writeSettingDword(L"Messages", 0x0101));

    LRESULT result = configure([](OpenDialog& dialog) {
        // Port 1 is configured by default and stays checked although COM1 is absent here.
        EXPECT_EQ(dialog.checkedControls(), join({{com1}, synthBoxes, midiBoxes}));
        EXPECT_EQ(dialog.disabledControls(), join({absentPorts, synthGroupDisabled}));
        dialog.ok();
    });

    EXPECT_EQ(result, 1) << "OK";
    // OK without a change writes both settings again: port 1 although it is absent, mask 0x7E7F.
    EXPECT_EQ(readSetting(L"COM"), dword(1));
    EXPECT_EQ(readSetting(L"Messages"), dword(0x7E7F));
    EXPECT_EQ(outputCount(), 1u);
}

TEST_F(
    ConfigurationDialog,
    OkAfterChoosingCom3IndependentModeAndClearingABoxPerGroupStoresExactlyThatMaskAndFourOutputsAppearAtOnce) {
    // A stored mask may lack bit 0 and carry bits 7 and 15, which mean nothing; it shows as the
    // fresh mask does (all kinds pass, independent mode off) and OK stores a clean one.
    ASSERT_TRUE(writeSettingDword(L"Messages", 0xFEFE));
    ASSERT_TRUE(driver.load());

    LRESULT result = configure([this](OpenDialog& dialog) {
        EXPECT_EQ(dialog.checkedControls(), join({{com1}, synthBoxes, midiBoxes}));
        EXPECT_EQ(dialog.disabledControls(), join({absentPorts, synthGroupDisabled}));

        dialog.click(com3);
        dialog.click(independentMode);
        dialog.click(synthPolyKeyPressure);
        dialog.click(midiControlChange);

        EXPECT_EQ(dialog.checkedControls(),
                  except(join({{com3, independentMode}, synthBoxes, midiBoxes}),
                         {synthPolyKeyPressure, midiControlChange}));
        EXPECT_EQ(dialog.disabledControls(), absentPorts)
            << "independent mode enables the synth group";
        // Nothing is stored before OK.
        EXPECT_EQ(readSetting(L"COM"), dword(1));
        EXPECT_EQ(readSetting(L"Messages"), dword(0xFEFE));
        EXPECT_EQ(outputCount(), 1u);
        dialog.ok();
    });

    EXPECT_EQ(result, 1) << "OK";
    EXPECT_EQ(readSetting(L"COM"), dword(3));
    constexpr DWORD alwaysSet = 0x0001;
    constexpr DWORD midiKindsButControlChange = 0x007E & ~0x0004u;    // bits 1 to 6 but 2
    constexpr DWORD independent = 0x0100;                             // bit 8
    constexpr DWORD synthKindsButPolyKeyPressure = 0x7E00 & ~0x2000u; // bits 9 to 14 but 13
    EXPECT_EQ(readSetting(L"Messages"), dword(alwaysSet | midiKindsButControlChange | independent |
                                              synthKindsButPolyKeyPressure));
    EXPECT_EQ(outputCount(), 4u) << "independent mode takes effect without reloading the driver";
}

TEST_F(ConfigurationDialog,
       CancelAfterChangesLeavesSettingsAndOutputsAloneAndTheNextDialogStartsFromThem) {
    ASSERT_TRUE(driver.load());

    LRESULT cancelled = configure([](OpenDialog& dialog) {
        dialog.click(com3);
        dialog.click(independentMode);
        dialog.click(synthProgramChange);
        dialog.click(midiExclusive);
        dialog.cancel();
    });

    EXPECT_EQ(cancelled, 0) << "Cancel";
    EXPECT_EQ(readSetting(L"COM"), dword(1));
    EXPECT_EQ(readSetting(L"Messages"), dword(0x7E7F));
    EXPECT_EQ(outputCount(), 1u);

    LRESULT closed = configure([](OpenDialog& dialog) {
        EXPECT_EQ(dialog.checkedControls(), join({{com1}, synthBoxes, midiBoxes}));
        EXPECT_EQ(dialog.disabledControls(), join({absentPorts, synthGroupDisabled}));
        dialog.closeFromTitleBar();
    });

    EXPECT_EQ(closed, 0) << "the close box cancels too";
    EXPECT_EQ(readSetting(L"COM"), dword(1));
    EXPECT_EQ(readSetting(L"Messages"), dword(0x7E7F));
    EXPECT_EQ(outputCount(), 1u);
}

TEST_F(ConfigurationDialog,
       ClearingIndependentModeDisablesTheSynthGroupButKeepsItsMarksForOkAndTheNextDialog) {
    // COM3, independent mode, every kind on both groups but Poly Key Pressure for the synths.
    ASSERT_TRUE(writeSettingDword(L"COM", 3));
    ASSERT_TRUE(writeSettingDword(L"Messages", 0x5F7F));
    ASSERT_TRUE(driver.load());
    const std::set<int> synthMarks = except(synthBoxes, {synthPolyKeyPressure});

    LRESULT result = configure([&](OpenDialog& dialog) {
        EXPECT_EQ(dialog.checkedControls(), join({{com3, independentMode}, synthMarks, midiBoxes}));
        EXPECT_EQ(dialog.disabledControls(), absentPorts);
        // The picture of the dialog in the documentation shows this state.
        dialog.savePictureIfAsked();

        dialog.click(independentMode);

        EXPECT_EQ(dialog.checkedControls(), join({{com3}, synthMarks, midiBoxes}));
        EXPECT_EQ(dialog.disabledControls(), join({absentPorts, synthGroupDisabled}));
        dialog.ok();
    });

    EXPECT_EQ(result, 1) << "OK";
    EXPECT_EQ(readSetting(L"COM"), dword(3));
    EXPECT_EQ(readSetting(L"Messages"), dword(0x5E7F)) << "the synth marks stay, bit 8 is clear";
    EXPECT_EQ(outputCount(), 1u);

    LRESULT again = configure([&](OpenDialog& dialog) {
        EXPECT_EQ(dialog.checkedControls(), join({{com3}, synthMarks, midiBoxes}));
        EXPECT_EQ(dialog.disabledControls(), join({absentPorts, synthGroupDisabled}));

        dialog.click(independentMode);

        EXPECT_EQ(dialog.checkedControls(), join({{com3, independentMode}, synthMarks, midiBoxes}));
        EXPECT_EQ(dialog.disabledControls(), absentPorts);
        dialog.cancel();
    });

    EXPECT_EQ(again, 0) << "Cancel";
    EXPECT_EQ(readSetting(L"Messages"), dword(0x5E7F));
    EXPECT_EQ(outputCount(), 1u);
}

TEST_F(ConfigurationDialog, TheProgramHoldingTheInstrumentIsNamed) {
    ASSERT_TRUE(writeSettingDword(L"COM", 3));
    ASSERT_TRUE(driver.load());
    OpenedOutput output;
    ASSERT_EQ(driver.openOutput(0, &output), MMSYSERR_NOERROR);
    std::string thisProgram =
        "In use by melv_wine_tests.exe (process " + std::to_string(GetCurrentProcessId()) + ").";
    configure([&](OpenDialog& dialog) {
        EXPECT_EQ(dialog.text(holder), thisProgram);
        dialog.cancel();
    });
    EXPECT_EQ(driver.closeOutput(output), MMSYSERR_NOERROR);
    configure([](OpenDialog& dialog) {
        EXPECT_EQ(dialog.text(holder), "No program is using the instrument.");
        dialog.cancel();
    });
}

TEST_F(ConfigurationDialog, OnlyTheLowSixteenBitsOfTheFirstParameterNameTheOwnerWindow) {
    ASSERT_TRUE(driver.load());
    // The owner's handle with other bits above the low 16, and in a 64-bit host above bit 31 too.
    // The window manager tells handles apart by their bits 16 to 31 and would refuse this one as a
    // whole.
    auto handle = reinterpret_cast<std::uintptr_t>(owner);
    auto noise = static_cast<std::uintptr_t>(0x0BADF00D5A5A0000ull);
    ASSERT_NE(handle & 0xFFFF0000u, 0x5A5A0000u);
    auto ownerParam = static_cast<LPARAM>((handle & 0xFFFF) | noise);

    LRESULT result = ::configure(driver, ownerParam, [this](OpenDialog& dialog) {
        EXPECT_EQ(GetWindow(dialog.window(), GW_OWNER), owner);
        EXPECT_FALSE(IsWindowEnabled(owner)) << "the dialog is modal to its owner";
        dialog.cancel();
    });

    EXPECT_EQ(result, 0) << "Cancel";
    EXPECT_TRUE(IsWindowEnabled(owner));
}

// Runs where the virtual line is on a port above COM4 and none of COM1 to COM4 exists: COM7, then
// COM12, named by MELV_LINE_PORT (run-wine-tests.sh). COM8 is the instrument's end of the line;
// Wine may give serial devices of this machine further numbers. Wine's ports have no device names.
class OtherPortDialog : public ConfigurationDialog {
  protected:
    std::string portsNeeded() const override { return ""; }
    static int linePort() {
        char number[8] = {};
        GetEnvironmentVariableA("MELV_LINE_PORT", number, sizeof number);
        return std::atoi(number);
    }
};

namespace {

int portNumberIn(const std::string& item) {
    return item.rfind("COM", 0) == 0 ? std::atoi(item.c_str() + 3) : 0;
}

} // namespace

TEST_F(OtherPortDialog, ThePortIsListedChosenAndKeptAndTheInstrumentHearsTheDriverThere) {
    int line = linePort();
    ASSERT_GT(line, 4) << "MELV_LINE_PORT names the line's port above COM4";
    InstrumentPort instrument;
    ASSERT_TRUE(instrument.open());
    ASSERT_TRUE(driver.load());

    int lineItem = -1;
    EXPECT_EQ(configure([&](OpenDialog& dialog) {
                  std::vector<std::string> items = dialog.listItems(otherPortList);
                  std::vector<int> numbers;
                  for (const std::string& item : items) {
                      numbers.push_back(portNumberIn(item));
                  }
                  EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()));
                  EXPECT_EQ(std::count(numbers.begin(), numbers.end(), 8), 1);
                  auto found = std::find(items.begin(), items.end(), "COM" + std::to_string(line));
                  ASSERT_NE(found, items.end()) << "the line's port is listed by its name";
                  lineItem = static_cast<int>(found - items.begin());
                  EXPECT_EQ(dialog.checkedControls(), join({{com1}, synthBoxes, midiBoxes}));
                  dialog.choose(otherPortList, lineItem);
                  EXPECT_EQ(dialog.checkedControls(), join({{otherPort}, synthBoxes, midiBoxes}));
                  dialog.ok();
              }),
              1);
    EXPECT_EQ(readSetting(L"COM"), dword(line));

    OpenedOutput output;
    ASSERT_EQ(driver.openOutput(0, &output), MMSYSERR_NOERROR);
    EXPECT_EQ(driver.sendShort(output, 0x00403C90), MMSYSERR_NOERROR); // Note On C4
    EXPECT_EQ(instrument.receive(6), "F5 00 FF 90 3C 40");
    EXPECT_EQ(driver.closeOutput(output), MMSYSERR_NOERROR);
    takeNotifications();

    configure([&](OpenDialog& dialog) {
        EXPECT_EQ(dialog.selectedItem(otherPortList), lineItem) << "the next dialog shows it";
        EXPECT_TRUE(dialog.checked(otherPort));
        dialog.cancel();
    });
}
