// The devices applications see: counts, names and capability records, in both modes.
#include "driver/devices.h"
#include "driver_fixture.h"
#include "melv_version.h"

#include <cstring>
#include <string>

namespace {

class Devices : public DriverTest {
  protected:
    std::u16string outputName(uint32_t index) {
        MidiOutCaps caps = {};
        EXPECT_EQ(modMessage(app.context, index, MODM_GETDEVCAPS, 0,
                             reinterpret_cast<uintptr_t>(&caps), sizeof caps),
                  MMSYSERR_NOERROR);
        return caps.szPname;
    }
    std::u16string inputName() {
        MidiInCaps caps = {};
        EXPECT_EQ(midMessage(app.context, 0, MIDM_GETDEVCAPS, 0, reinterpret_cast<uintptr_t>(&caps),
                             sizeof caps),
                  MMSYSERR_NOERROR);
        return caps.szPname;
    }
};

TEST_F(Devices, OneOutputNamedAfterThePortUnlessIndependent) {
    EXPECT_EQ(modMessage(app.context, 0, MODM_GETNUMDEVS, 0, 0, 0), 1u);
    EXPECT_EQ(outputName(0), u"MELV PC I/F MIDI Port");
    EXPECT_EQ(midMessage(app.context, 0, MIDM_GETNUMDEVS, 0, 0, 0), 1u);
    EXPECT_EQ(inputName(), u"MELV PC I/F MIDI Port");
}

TEST_F(Devices, FourOutputsNamedAfterTheirDestinationsWhenIndependent) {
    setIndependentMode();
    EXPECT_EQ(modMessage(app.context, 0, MODM_GETNUMDEVS, 0, 0, 0), 4u);
    EXPECT_EQ(outputName(0), u"MELV PC I/F Default MIDI");
    EXPECT_EQ(outputName(1), u"MELV PC I/F MIDI Out");
    EXPECT_EQ(outputName(2), u"MELV PC I/F Synth-A");
    EXPECT_EQ(outputName(3), u"MELV PC I/F Synth-B");
    EXPECT_EQ(midMessage(app.context, 0, MIDM_GETNUMDEVS, 0, 0, 0), 1u);
    EXPECT_EQ(inputName(), u"MELV PC I/F MIDI Port");
}

// The project's version as the host reads it: major in the high byte, minor in the low.
constexpr uint32_t projectDriverVersion = MELV_VERSION_MAJOR * 0x100 + MELV_VERSION_MINOR;

TEST_F(Devices, CapabilityRecordsDescribeTheDriver) {
    MidiOutCaps out = {};
    getDevCaps(shared, kindOutput, 0, &out, sizeof out);
    EXPECT_EQ(out.wMid, manufacturerId);
    EXPECT_EQ(out.wPid, 1);
    EXPECT_EQ(out.vDriverVersion, projectDriverVersion);
    EXPECT_EQ(out.wTechnology, MOD_MIDIPORT);
    EXPECT_EQ(out.wVoices, 0);
    EXPECT_EQ(out.wNotes, 0);
    EXPECT_EQ(out.wChannelMask, 0xFFFF);
    EXPECT_EQ(out.dwSupport, 0u);
    MidiInCaps in = {};
    getDevCaps(shared, kindInput, 0, &in, sizeof in);
    EXPECT_EQ(in.wMid, manufacturerId);
    EXPECT_EQ(in.wPid, 2);
    EXPECT_EQ(in.vDriverVersion, projectDriverVersion);
    EXPECT_EQ(in.dwSupport, 0u);
}

TEST_F(Devices, ARecordIsCutToTheCallersSize) {
    uint8_t record[sizeof(MidiOutCaps) + 8];
    std::memset(record, 0xAB, sizeof record);
    EXPECT_EQ(getDevCaps(shared, kindOutput, 0, record, 6), MMSYSERR_NOERROR);
    EXPECT_EQ(record[0], manufacturerId & 0xFF);
    EXPECT_EQ(record[5], 0x01) << "vDriverVersion's second byte";
    for (size_t i = 6; i < sizeof record; ++i) {
        ASSERT_EQ(record[i], 0xAB) << "byte " << i << " was written";
    }
    // A larger size than the record holds copies the record and no more.
    EXPECT_EQ(getDevCaps(shared, kindInput, 0, record, sizeof record), MMSYSERR_NOERROR);
    EXPECT_EQ(record[sizeof(MidiInCaps)], 0xAB);
}

TEST_F(Devices, BadRequestsCopyNothing) {
    uint8_t record[sizeof(MidiOutCaps)];
    std::memset(record, 0xAB, sizeof record);
    EXPECT_EQ(getDevCaps(shared, kindOutput, 1, record, sizeof record), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(getDevCaps(shared, kindInput, 1, record, sizeof record), MMSYSERR_BADDEVICEID);
    setIndependentMode();
    EXPECT_EQ(getDevCaps(shared, kindOutput, 4, record, sizeof record), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(record[0], 0xAB);
    EXPECT_EQ(getDevCaps(shared, kindOutput, 0, nullptr, sizeof record), MMSYSERR_INVALPARAM);
    EXPECT_EQ(getDevCaps(shared, kindOutput, 0, nullptr, 0), MMSYSERR_NOERROR);
}

} // namespace
