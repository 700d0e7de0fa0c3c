// The configuration dialog as the user sees and uses it, judged from its controls, the shared
// settings and the registry.
#include "config/config_dialog.h"
#include "config/settings.h"
#include "driver_fixture.h"

namespace {

class ConfigDialog : public DriverTest {
  protected:
    // Opens the dialog over `owner` and lets the user act in it.
    intptr_t configure(std::function<void()> user, intptr_t owner = 0x1234) {
        sim::world().dialogUser = std::move(user);
        return driverProc(app.context, 1, 2, DRV_CONFIGURE, owner, 0);
    }
    static bool checked(uint32_t id) { return sim::control(id).checked; }
    static bool enabled(uint32_t id) { return sim::control(id).enabled; }
    std::map<std::u16string, sim::RegistryValue>& stored() {
        return sim::world().registry.keys[settingsKeyPath];
    }
    uint32_t storedDword(const char16_t* name) {
        const Bytes& data = stored().at(name).data;
        return data.at(0) | data.at(1) << 8 | data.at(2) << 16 |
               static_cast<uint32_t>(data.at(3)) << 24;
    }
};

TEST_F(ConfigDialog, AFreshMaskShowsEveryKindPassingAndTheSynthGroupDisabled) {
    shared.portNumber = 2;
    EXPECT_EQ(configure([] {
                  EXPECT_TRUE(checked(control::com2));
                  EXPECT_FALSE(checked(control::com1) || checked(control::com3) ||
                               checked(control::com4));
                  for (uint32_t id : {control::synthProgramChange, control::synthControlChange,
                                      control::synthBankSelect, control::synthChannelPressure,
                                      control::synthPolyKeyPressure, control::synthExclusive,
                                      control::midiProgramChange, control::midiControlChange,
                                      control::midiBankSelect, control::midiChannelPressure,
                                      control::midiPolyKeyPressure, control::midiExclusive}) {
                      EXPECT_TRUE(checked(id)) << "box " << id;
                      EXPECT_EQ(enabled(id), id > control::midiGroup) << "box " << id;
                  }
                  EXPECT_FALSE(checked(control::independentMode));
                  EXPECT_FALSE(enabled(control::synthGroup));
                  EXPECT_FALSE(checked(control::share));
                  sim::click(control::ok);
              }),
              1);
    EXPECT_EQ(storedDword(u"Messages"), 0x7E7Fu);
    EXPECT_EQ(storedDword(u"COM"), 2u);
    EXPECT_EQ(storedDword(u"Share"), 0u);
    EXPECT_EQ(messageMask(shared), 0x7E7F);
}

TEST_F(ConfigDialog, OkStoresTheChoicesInTheSharedStateAndTheRegistry) {
    EXPECT_EQ(configure([] {
                  sim::click(control::com3);
                  sim::click(control::independentMode);   // four outputs
                  sim::click(control::midiControlChange); // off for the MIDI outputs
                  sim::click(control::synthExclusive);    // off for the Synth outputs
                  sim::click(control::share);
                  EXPECT_TRUE(checked(control::com3));
                  EXPECT_FALSE(checked(control::com1));
                  EXPECT_TRUE(enabled(control::synthProgramChange));
                  sim::click(control::ok);
              }),
              1);
    EXPECT_EQ(shared.portNumber, 3);
    EXPECT_EQ(messageMask(shared), 0x3F7B);
    EXPECT_EQ(storedDword(u"COM"), 3u);
    EXPECT_EQ(storedDword(u"Messages"), 0x3F7Bu);
    EXPECT_EQ(shared.sharing, 1);
    EXPECT_EQ(storedDword(u"Share"), 1u);
    EXPECT_EQ(modMessage(app.context, 0, MODM_GETNUMDEVS, 0, 0, 0), 4u) << "at once";
}

TEST_F(ConfigDialog, OkWithoutTheRightToSaveSaysSoAndChangesNothing) {
    shared.portNumber = 2;
    sim::world().registry.keys[settingsKeyPath][u"COM"] = sim::dwordValue(2);
    sim::world().registry.writeDenied = true; // a MIDI program run without administrator rights
    EXPECT_EQ(configure([] {
                  sim::click(control::com3);
                  sim::click(control::independentMode);
                  sim::click(control::ok);
                  ASSERT_EQ(sim::world().dialog.messages.size(), 1u);
                  const std::u16string& message = sim::world().dialog.messages[0];
                  EXPECT_NE(message.find(u"cannot be saved"), std::u16string::npos);
                  EXPECT_NE(message.find(u"administrator rights"), std::u16string::npos);
                  EXPECT_NE(message.find(u"\"MELV PC I/F MIDI Driver settings\" in the Start menu"),
                            std::u16string::npos);
                  EXPECT_FALSE(sim::world().dialog.ended) << "the choices stay on screen";
                  EXPECT_TRUE(checked(control::com3));
                  sim::click(control::cancel);
              }),
              0);
    EXPECT_EQ(shared.portNumber, 2);
    EXPECT_EQ(messageMask(shared), initialMessageMask) << "the running settings stay as they were";
    EXPECT_EQ(stored().size(), 1u);
    EXPECT_EQ(storedDword(u"COM"), 2u);
}

TEST_F(ConfigDialog, CancelChangesNothingAndTheNextDialogStartsAfresh) {
    shared.portNumber = 1;
    EXPECT_EQ(configure([] {
                  sim::click(control::com4);
                  sim::click(control::independentMode);
                  sim::click(control::cancel);
              }),
              0);
    EXPECT_EQ(shared.portNumber, 1);
    EXPECT_EQ(messageMask(shared), initialMessageMask);
    EXPECT_TRUE(sim::world().registry.keys.empty());
    configure([] {
        EXPECT_TRUE(checked(control::com1));
        EXPECT_FALSE(checked(control::independentMode));
    });
}

TEST_F(ConfigDialog, AnAbsentConfiguredPortStaysCheckedAndKept) {
    shared.portNumber = 3;
    for (uint32_t n : {2u, 3u, 4u}) {
        sim::world().ports[n].present = false; // only COM1
    }
    configure([] {
        EXPECT_TRUE(checked(control::com3));
        EXPECT_FALSE(enabled(control::com3));
        EXPECT_FALSE(enabled(control::com2) || enabled(control::com4));
        EXPECT_TRUE(enabled(control::com1));
        EXPECT_FALSE(sim::click(control::com4)) << "an absent port cannot be chosen";
        sim::click(control::ok);
    });
    EXPECT_EQ(shared.portNumber, 3);
    EXPECT_EQ(storedDword(u"COM"), 3u);
}

TEST_F(ConfigDialog, TheDialogOffersThePortsItsOwnLookFindsAndKeepsThoseFoundBefore) {
    sim::world().ports[2].present = false;
    // Another program holds COM4: it cannot be opened exclusively, so it counts as absent.
    platform::Handle elsewhere = platform::openSerialPort(u"\\\\.\\COM4", 0x40000000);
    configure([] {
        EXPECT_TRUE(enabled(control::com1) && enabled(control::com3));
        EXPECT_FALSE(enabled(control::com2) || enabled(control::com4));
        sim::click(control::cancel);
    });
    EXPECT_EQ(shared.presentPorts, 0b01010);
    for (uint32_t n = 1; n <= lastButtonPort; ++n) {
        EXPECT_EQ(sim::world().ports[n].probes, 1u) << "COM" << n << " looked at once";
    }

    // COM3 has gone and COM4 is free again: a port found once stays offered.
    platform::closeHandle(elsewhere);
    sim::world().ports[3].present = false;
    configure([] {
        EXPECT_TRUE(enabled(control::com1) && enabled(control::com3) && enabled(control::com4));
        EXPECT_FALSE(enabled(control::com2));
        sim::click(control::cancel);
    });
}

TEST_F(ConfigDialog, ThePortTheDriverHoldsStaysOffered) {
    shared.portNumber = 2;
    Stream* out = app.openOutput(0);
    ASSERT_NE(out, nullptr);
    configure([] {
        EXPECT_TRUE(checked(control::com2));
        EXPECT_TRUE(enabled(control::com2))
            << "the look cannot open it, but the driver has it open";
        sim::click(control::ok);
    });
    EXPECT_EQ(shared.portNumber, 2);
}

TEST_F(ConfigDialog, TheProgramHoldingTheInstrumentIsNamed) {
    auto holderShown = [this] {
        std::u16string text;
        configure([&text] {
            text = sim::control(control::holder).text;
            sim::click(control::cancel);
        });
        return text;
    };
    EXPECT_EQ(holderShown(), u"No program is using the instrument.");
    ClientProcess sequencer(shared, {4120, 7});
    sim::world().processNames[4120] = u"Sequencer.exe";
    ASSERT_NE(sequencer.openOutput(0), nullptr);
    EXPECT_EQ(holderShown(), u"In use by Sequencer.exe (process 4120).");
    sim::world().endedProcesses.push_back({4120, 7}); // it crashed, holding the port
    EXPECT_EQ(holderShown(), u"No program is using the instrument.");
}

TEST_F(ConfigDialog, PortsAboveCom4AreOfferedFromTheSystemsListWithTheirNames) {
    sim::world().serialPortList = {{u"COM12", u""},
                                   {u"COM3", u"Communications Port (COM3)"},
                                   {u"COM7", u"USB Serial Port (COM7)"},
                                   {u"COM300", u""},
                                   {u"LPT1", u""},
                                   {u"COM7", u"USB Serial Port (COM7)"}};
    shared.portNumber = 2;
    EXPECT_EQ(configure([] {
                  const sim::Control& list = sim::control(control::otherPortList);
                  EXPECT_EQ(list.items,
                            (std::vector<std::u16string>{u"USB Serial Port (COM7)", u"COM12"}));
                  EXPECT_EQ(list.selected, 0);
                  EXPECT_TRUE(checked(control::com2));
                  EXPECT_FALSE(checked(control::otherPort));
                  EXPECT_TRUE(sim::choose(control::otherPortList, 1));
                  EXPECT_TRUE(checked(control::otherPort));
                  EXPECT_FALSE(checked(control::com2));
                  sim::click(control::com1);
                  EXPECT_FALSE(checked(control::otherPort));
                  sim::click(control::otherPort); // takes the port the list shows
                  EXPECT_FALSE(checked(control::com1));
                  sim::click(control::ok);
              }),
              1);
    EXPECT_EQ(shared.portNumber, 12);
    EXPECT_EQ(storedDword(u"COM"), 12u);
    for (uint32_t n = lastButtonPort + 1; n <= lastPort; ++n) {
        EXPECT_EQ(sim::world().ports[n].probes + sim::world().ports[n].openAttempts, 0u)
            << "COM" << n << " is listed, never opened";
    }
    configure([] {
        EXPECT_TRUE(checked(control::otherPort));
        EXPECT_EQ(sim::control(control::otherPortList).selected, 1);
    });
}

TEST_F(ConfigDialog, AnAbsentConfiguredPortAboveCom4StaysShownSelectedAndKept) {
    shared.portNumber = 9;
    sim::world().serialPortList = {{u"COM12", u""}, {u"COM5", u""}};
    configure([] {
        EXPECT_EQ(sim::control(control::otherPortList).items,
                  (std::vector<std::u16string>{u"COM5", u"COM9 (not present)", u"COM12"}));
        EXPECT_EQ(sim::control(control::otherPortList).selected, 1);
        EXPECT_TRUE(checked(control::otherPort));
        sim::click(control::ok);
    });
    EXPECT_EQ(shared.portNumber, 9);
    EXPECT_EQ(storedDword(u"COM"), 9u);

    sim::world().serialPortList.clear();
    configure([] {
        EXPECT_EQ(sim::control(control::otherPortList).items,
                  (std::vector<std::u16string>{u"COM9 (not present)"}));
        EXPECT_TRUE(checked(control::otherPort));
    });
}

TEST_F(ConfigDialog, WithoutPortsAboveCom4TheOtherPortCannotBeChosen) {
    sim::world().serialPortList = {{u"COM1", u""}};
    configure([] {
        EXPECT_TRUE(sim::control(control::otherPortList).items.empty());
        EXPECT_FALSE(enabled(control::otherPort) || enabled(control::otherPortList));
        EXPECT_FALSE(checked(control::otherPort));
        EXPECT_FALSE(sim::click(control::otherPort));
        sim::click(control::ok);
    });
    EXPECT_EQ(shared.portNumber, 1);
}

TEST_F(ConfigDialog, SwitchingIndependentModeOffKeepsTheSynthChoices) {
    setMessageMask(shared, 0x7D7F); // independent, Program Change off for the Synth outputs
    configure([] {
        EXPECT_TRUE(enabled(control::synthGroup));
        EXPECT_FALSE(checked(control::synthProgramChange));
        sim::click(control::independentMode);
        EXPECT_FALSE(enabled(control::synthGroup));
        for (uint32_t kind = 1; kind <= 6; ++kind) {
            EXPECT_FALSE(enabled(control::synthGroup + kind));
            EXPECT_EQ(checked(control::synthGroup + kind), kind != 1) << "check marks stay";
        }
        sim::click(control::ok);
    });
    EXPECT_EQ(messageMask(shared), 0x7C7F);
    configure([] {
        sim::click(control::independentMode);
        EXPECT_FALSE(checked(control::synthProgramChange));
        EXPECT_TRUE(checked(control::synthControlChange));
        EXPECT_TRUE(enabled(control::synthProgramChange));
    });
}

TEST_F(ConfigDialog, OkRewritesTheMaskWithItsMeaninglessBitsSettled) {
    setMessageMask(shared, 0x807E); // bit 0 clear, bits 7 and 15 set
    configure([] { sim::click(control::ok); });
    EXPECT_EQ(messageMask(shared), 0x007F);
    EXPECT_EQ(storedDword(u"Messages"), 0x007Fu);
}

TEST_F(ConfigDialog, OnlyTheLow16BitsOfTheFirstParameterNameTheOwner) {
    configure([] { sim::click(control::cancel); }, static_cast<intptr_t>(0x7FFF00051234ll));
    EXPECT_EQ(sim::world().dialog.owner, 0x1234u);
    EXPECT_EQ(sim::world().dialog.templateId, configDialogTemplate);
}

TEST_F(ConfigDialog, ADialogThatCannotBeShownChangesNothing) {
    sim::world().dialogFails = true;
    EXPECT_EQ(configure([] {}), -1);
    EXPECT_EQ(messageMask(shared), initialMessageMask);
    EXPECT_TRUE(sim::world().registry.keys.empty());
}

TEST_F(ConfigDialog, OtherMessagesAreLeftToTheDialogManager) {
    ConfigDialogState dialog = {.shared = app.context.line.shared, .pendingPort = 0};
    EXPECT_EQ(configDialogProc(dialog, 0xD1A1, 0x0030 /* WM_SETFONT */, 0, 0), 0);
    configure([&] {
        EXPECT_EQ(configDialogProc(dialog, 0xD1A1, WM_COMMAND, control::serialPortGroup, 0), 0);
        sim::click(control::cancel);
    });
}

} // namespace
