// What the driver module carries for the system and for applications, before any port is used,
// and what becomes of it when a program frees it too early.
#include "child_process.h"
#include "driver_host.h"
#include "fixtures.h"
#include "melv_version.h"

#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

// The project's version as the version resource holds it: major and minor in the high double word,
// patch and tweak in the low, and as the capability records report it: major in the high byte,
// minor in the low.
constexpr DWORD versionHigh = MELV_VERSION_MAJOR << 16 | MELV_VERSION_MINOR;
constexpr DWORD versionLow = MELV_VERSION_PATCH << 16 | MELV_VERSION_TWEAK;
constexpr DWORD driverVersion = MELV_VERSION_MAJOR << 8 | MELV_VERSION_MINOR;

TEST(DriverModule, CarriesTheProjectsFileAndProductVersion) {
    std::wstring path = driverPath();
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_NE(size, 0u) << "the driver has no version resource";
    std::vector<unsigned char> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize));
    ASSERT_GE(fixedSize, sizeof(VS_FIXEDFILEINFO));

    EXPECT_EQ(fixed->dwFileVersionMS, versionHigh);
    EXPECT_EQ(fixed->dwFileVersionLS, versionLow);
    EXPECT_EQ(fixed->dwProductVersionMS, versionHigh);
    EXPECT_EQ(fixed->dwProductVersionLS, versionLow);
}

using OutputCapabilities = DriverTest;

TEST_F(OutputCapabilities, OneOutputNamedMidiPortReportsTheDriverVersion) {
    EXPECT_EQ(driver.modMessage(0, MODM_GETNUMDEVS, 0, 0, 0), 1u);

    MIDIOUTCAPSW caps;
    std::memset(&caps, 0xCC, sizeof(caps));
    ASSERT_EQ(
        driver.modMessage(0, MODM_GETDEVCAPS, 0, reinterpret_cast<DWORD_PTR>(&caps), sizeof(caps)),
        MMSYSERR_NOERROR);
    EXPECT_EQ(std::wstring(caps.szPname, wcsnlen(caps.szPname, MAXPNAMELEN)),
              L"MELV PC I/F MIDI Port");
    EXPECT_EQ(caps.wPid, 1);
    EXPECT_EQ(caps.vDriverVersion, driverVersion);
    EXPECT_EQ(caps.wTechnology, MOD_MIDIPORT);
    EXPECT_EQ(caps.wChannelMask, 0xFFFF);

    // Without independent mode there is no output 1 to describe.
    EXPECT_EQ(
        driver.modMessage(1, MODM_GETDEVCAPS, 0, reinterpret_cast<DWORD_PTR>(&caps), sizeof(caps)),
        MMSYSERR_BADDEVICEID);
}

// A writable section shared by every process that loads the module would be a door between users:
// the state the driver shares lives in a named mapping of the logon session instead.
TEST(DriverModule, HasNoWritableSharedSection) {
    HMODULE module = LoadLibraryExW(driverPath().c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(module, nullptr);
    auto* base = reinterpret_cast<const unsigned char*>(module);
    auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
        std::string name(reinterpret_cast<const char*>(section->Name),
                         strnlen(reinterpret_cast<const char*>(section->Name), 8));
        EXPECT_FALSE((section->Characteristics & IMAGE_SCN_MEM_SHARED) != 0 &&
                     (section->Characteristics & IMAGE_SCN_MEM_WRITE) != 0)
            << "section " << name << " is writable and shared";
    }
    FreeLibrary(module);
}

TEST(DriverModule, FreedWithInputRunningItKeepsTheProgramAlive) {
    ASSERT_FALSE(driverModuleLoaded()) << "the driver is still loaded from an earlier test";
    InstrumentPort instrument;
    ASSERT_TRUE(instrument.open());
    std::string readyName = "melv-wine-tests-freed-" + std::to_string(GetCurrentProcessId());
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, readyName.c_str());
    ASSERT_NE(ready, nullptr);

    // A program frees the driver while its input runs, and the instrument goes on playing.
    ChildProcess program;
    ASSERT_TRUE(program.start(L"--unload-with-input-open " +
                              std::wstring(readyName.begin(), readyName.end())));
    ASSERT_TRUE(program.signalled(ready));
    CloseHandle(ready);
    ASSERT_TRUE(instrument.send({0x90, 0x3C, 0x40}));

    DWORD status = 0;
    ASSERT_TRUE(program.exited(&status));
    EXPECT_EQ(status, 0u) << std::hex << "0x" << status
                          << ": 0x101 heard nothing, 0xC0000005 and the like crashed";
}
