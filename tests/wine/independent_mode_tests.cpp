// Independent mode: the message mask's bit 8, saved in the registry before the driver loads, gives
// four outputs that address different destinations on the instrument.
#include "child_process.h"
#include "fixtures.h"
#include "settings_key.h"

#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

using Notifications = std::vector<Notification>;

constexpr DWORD noteOn = 0x00403C90; // 0x90 0x3C 0x40: middle C on channel 1
// Every kind of message passes on every destination, with independent mode on.
constexpr DWORD independentMask = defaultMessageMask | independentModeMaskBit;

} // namespace

class IndependentMode : public WireTest {
  protected:
    void SetUp() override {
        ASSERT_TRUE(writeSettingDword(L"Messages", independentMask));
        WireTest::SetUp();
    }

    std::wstring outputName(UINT device) {
        MIDIOUTCAPSW caps;
        std::memset(&caps, 0xCC, sizeof(caps));
        DWORD status = driver.modMessage(device, MODM_GETDEVCAPS, 0,
                                         reinterpret_cast<DWORD_PTR>(&caps), sizeof(caps));
        if (status != MMSYSERR_NOERROR) {
            return L"(status " + std::to_wstring(status) + L")";
        }
        return std::wstring(caps.szPname, wcsnlen(caps.szPname, MAXPNAMELEN));
    }

    // Declared before the driver's load in SetUp, destroyed after its unload in TearDown.
    SettingsSnapshot settings;
};

TEST_F(IndependentMode, FourOutputsAreListedUnderTheirDestinationsAndInputStaysOne) {
    EXPECT_EQ(driver.modMessage(0, MODM_GETNUMDEVS, 0, 0, 0), 4u);
    EXPECT_EQ(outputName(0), L"MELV PC I/F Default MIDI");
    EXPECT_EQ(outputName(1), L"MELV PC I/F MIDI Out");
    EXPECT_EQ(outputName(2), L"MELV PC I/F Synth-A");
    EXPECT_EQ(outputName(3), L"MELV PC I/F Synth-B");
    EXPECT_EQ(outputName(4), L"(status 2)") << "MMSYSERR_BADDEVICEID past the fourth output";
    EXPECT_EQ(driver.midMessage(0, MIDM_GETNUMDEVS, 0, 0, 0), 1u);
}

// The outputs for the MIDI destinations carry their messages in packets, those for the
// synthesizer's parts raw; each behind the select of its own destination.
TEST_F(IndependentMode, EachOutputSelectsItsDestinationThenFramesItsMessagesForIt) {
    const OutputWire outputs[] = {
        {0, "F5 00 FF 90 3C 40", "FF 90 3C 40", "FF F0 7D 01 02 FF 03 04 05 06 FF 07 F7"},
        {1, "F5 01 FF 90 3C 40", "FF 90 3C 40", "FF F0 7D 01 02 FF 03 04 05 06 FF 07 F7"},
        {2, "F5 02 90 3C 40", "90 3C 40", "F0 7D 01 02 03 04 05 06 07 F7"},
        {3, "F5 03 90 3C 40", "90 3C 40", "F0 7D 01 02 03 04 05 06 07 F7"},
    };
    for (const OutputWire& output : outputs) {
        expectOutputWire(output);
    }
}

TEST_F(IndependentMode, OutputsUsedInTurnEachAnnounceTheirDestinationOnTheSharedPort) {
    OpenedOutput midiOut;
    OpenedOutput synthB;
    ASSERT_EQ(driver.openOutput(1, &midiOut), MMSYSERR_NOERROR);
    ASSERT_EQ(driver.openOutput(3, &synthB), MMSYSERR_NOERROR);

    EXPECT_EQ(driver.sendShort(synthB, noteOn), MMSYSERR_NOERROR);
    EXPECT_EQ(instrument.receive(5), "F5 03 90 3C 40");
    EXPECT_EQ(driver.sendShort(midiOut, noteOn), MMSYSERR_NOERROR);
    EXPECT_EQ(instrument.receive(6), "F5 01 FF 90 3C 40");
    EXPECT_EQ(driver.sendShort(midiOut, noteOn), MMSYSERR_NOERROR);
    EXPECT_EQ(instrument.receive(4), "FF 90 3C 40");
    EXPECT_EQ(driver.sendShort(synthB, noteOn), MMSYSERR_NOERROR);
    EXPECT_EQ(instrument.receive(5), "F5 03 90 3C 40");
    EXPECT_EQ(instrument.receiveStray(), "");

    driver.closeOutput(synthB);
    driver.closeOutput(midiOut);
}

TEST_F(IndependentMode, TheOtherBitnessSelectingInBetweenDoesNotMisrouteTheNextNote) {
    // A program of the other bitness takes its turn on the port between two of this one's: every
    // opening announces its destination afresh.
    std::wstring otherHost = otherBitnessHost();
    ASSERT_FALSE(otherHost.empty()) << "MELV_OTHER_BITNESS_HOST names no test host";

    OpenedOutput synthA;
    ASSERT_EQ(driver.openOutput(2, &synthA), MMSYSERR_NOERROR);
    EXPECT_EQ(driver.sendShort(synthA, noteOn), MMSYSERR_NOERROR);
    EXPECT_EQ(instrument.receive(5), "F5 02 90 3C 40");
    driver.closeOutput(synthA);

    // A program of the other bitness plays on output 0 while this one has the port closed.
    ChildProcess other;
    ASSERT_TRUE(other.start(L"--send-output 0 403C91", otherHost));
    DWORD status = childLoadFailed;
    ASSERT_TRUE(other.exited(&status));
    EXPECT_EQ(status, MMSYSERR_NOERROR);
    EXPECT_EQ(instrument.receive(6), "F5 00 FF 91 3C 40");

    ASSERT_EQ(driver.openOutput(2, &synthA), MMSYSERR_NOERROR);
    EXPECT_EQ(driver.sendShort(synthA, noteOn), MMSYSERR_NOERROR);
    EXPECT_EQ(instrument.receive(5), "F5 02 90 3C 40")
        << "Synth-A's note must not play on output 0";
    EXPECT_EQ(instrument.receiveStray(), "");
    driver.closeOutput(synthA);
}
