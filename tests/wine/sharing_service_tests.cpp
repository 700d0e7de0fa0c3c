// The sharing service on its own, as programs reach it through its pipe: several connections'
// messages reach the instrument whole, an exclusive holds the others but not the clock, a
// connection that vanishes leaves nothing sounding, the instrument's input reaches every started
// input, and the service ends by itself once nobody is left.
#include "child_process.h"
#include "common/process.h"
#include "fixtures.h"
#include "instrument_port.h"
#include "line_control.h"
#include "settings_key.h"
#include "share/protocol.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// One stream's connection to the service, as the driver makes it.
class ShareConnection {
  public:
    ~ShareConnection() { drop(); }
    ::testing::AssertionResult hello(uint32_t kind, uint32_t device) {
        // The pipe is there once the service has started; until then the wait fails at once.
        for (int tries = 0; pipe_ == INVALID_HANDLE_VALUE && tries < 50; ++tries) {
            if (!WaitNamedPipeW(reinterpret_cast<LPCWSTR>(sharePipeName), 100)) {
                Sleep(100);
                continue;
            }
            pipe_ =
                CreateFileW(reinterpret_cast<LPCWSTR>(sharePipeName), GENERIC_READ | GENERIC_WRITE,
                            0, nullptr, OPEN_EXISTING, 0, nullptr);
        }
        DWORD mode = PIPE_READMODE_MESSAGE;
        if (pipe_ == INVALID_HANDLE_VALUE ||
            !SetNamedPipeHandleState(pipe_, &mode, nullptr, nullptr)) {
            return ::testing::AssertionFailure() << "no service listens, error " << GetLastError();
        }
        Bytes payload(shareHelloBytes);
        writeShareHello({shareProtocolVersion, kind, device, GetCurrentProcessId()},
                        payload.data());
        return request(ShareFrameKind::hello, 0, payload) ? answered()
                                                          : ::testing::AssertionFailure();
    }
    bool request(ShareFrameKind kind, uint16_t flags, const Bytes& payload) {
        Bytes frame(shareHeaderBytes + payload.size());
        writeShareFrame(kind, flags, payload.data(), static_cast<uint32_t>(payload.size()),
                        frame.data());
        DWORD written = 0;
        return WriteFile(pipe_, frame.data(), static_cast<DWORD>(frame.size()), &written,
                         nullptr) &&
               written == frame.size();
    }
    // The next frame from the service, checked as the driver checks it.
    ::testing::AssertionResult next(ShareFrame& frame) {
        DWORD got = 0;
        if (!ReadFile(pipe_, frame_.data(), static_cast<DWORD>(frame_.size()), &got, nullptr) ||
            !readShareAnswer(frame_.data(), got, frame)) {
            return ::testing::AssertionFailure() << "no frame from the service";
        }
        return ::testing::AssertionSuccess();
    }
    ::testing::AssertionResult answered() {
        ShareFrame frame;
        if (!next(frame) || frame.kind != ShareFrameKind::answer || readU32(frame.payload) != 0) {
            return ::testing::AssertionFailure() << "the service did not answer";
        }
        return ::testing::AssertionSuccess();
    }
    void drop() {
        if (pipe_ != INVALID_HANDLE_VALUE) {
            CloseHandle(pipe_);
            pipe_ = INVALID_HANDLE_VALUE;
        }
    }

  private:
    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    Bytes frame_ = Bytes(shareFrameBytesMax);
};

class SharingService : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(instrument.open());
        ASSERT_TRUE(service.start(L"--console", besideModule(nullptr, L"melvpcif-share.exe")));
    }
    // Every connection gone, the service ends by itself within its idle time.
    void TearDown() override {
        DWORD exitCode = 1;
        EXPECT_TRUE(service.exited(&exitCode));
        EXPECT_EQ(exitCode, 0u);
    }

    InstrumentPort instrument;
    ChildProcess service;
};

TEST_F(SharingService, TwoProgramsPlayAtOnceAndAClockPassesAnExclusive) {
    ShareConnection sequencer;
    ShareConnection editor;
    ASSERT_TRUE(sequencer.hello(shareOutput, 0));
    ASSERT_TRUE(editor.hello(shareOutput, 2));
    ASSERT_TRUE(sequencer.request(ShareFrameKind::message, 0, {0x90, 0x3C, 0x40}));
    EXPECT_EQ(instrument.receive(6), "F5 00 FF 90 3C 40");
    // A dump far longer than the line holds: the clock comes while it is still going out.
    Bytes dump(20000, 0x11);
    dump.front() = 0xF0;
    dump.back() = 0xF7;
    ASSERT_TRUE(editor.request(ShareFrameKind::message, shareAnswerWanted, dump));
    EXPECT_EQ(instrument.receive(3), "F5 02 F0");
    ASSERT_TRUE(sequencer.request(ShareFrameKind::message, 0, {0xF8}));
    ASSERT_TRUE(sequencer.request(ShareFrameKind::message, 0, {0x80, 0x3C, 0x40}));
    // The clock between two of the dump's blocks, the Note Off only after its end.
    std::string wire = instrument.receive(dump.size() - 1 + 4 + 2 + 6);
    EXPECT_NE(wire.find("11 F5 00 FF F8 F5 02 11"), std::string::npos) << wire.substr(0, 100);
    EXPECT_EQ(wire.substr(wire.size() - 20), "F7 F5 00 FF 80 3C 40");
    EXPECT_TRUE(editor.answered());
}

TEST_F(SharingService, AProgramThatVanishesLeavesNothingSounding) {
    ShareConnection player;
    ASSERT_TRUE(player.hello(shareOutput, 1));
    ASSERT_TRUE(player.request(ShareFrameKind::message, 0, {0x90, 0x3C, 0x40, 0xB0, 0x40, 0x7F}));
    EXPECT_EQ(instrument.receive(10), "F5 01 FF 90 3C 40 B0 FF 40 7F");
    player.drop();
    EXPECT_EQ(instrument.receive(8), "FF 80 3C 40 B0 FF 40 00");
}

TEST_F(SharingService, EveryStartedInputHearsTheInstrument) {
    ShareConnection first;
    ShareConnection second;
    for (ShareConnection* input : {&first, &second}) {
        ASSERT_TRUE(input->hello(shareInput, 0));
        ASSERT_TRUE(input->request(ShareFrameKind::startInput, 0, {}));
        ASSERT_TRUE(input->answered());
    }
    ASSERT_TRUE(instrument.send({0x90, 0x3C, 0x40}));
    for (ShareConnection* input : {&first, &second}) {
        Bytes heard;
        ShareFrame frame;
        while (heard.size() < 3 && input->next(frame)) {
            for (uint32_t at = 0; at < frame.length; at += shareInputEntryBytes) {
                heard.push_back(frame.payload[at + 4]);
            }
        }
        EXPECT_EQ(heard, (Bytes{0x90, 0x3C, 0x40}));
    }
}

// The sharing service installed as the machine's for a test, and removed once it has stopped.
class InstalledService {
  public:
    InstalledService() {
        manager_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
        // The service an earlier test deleted is gone only once the last handle to it is closed:
        // until then a service of the same name cannot be made.
        for (DWORD start = GetTickCount(); manager_ != nullptr; Sleep(100)) {
            service_ = create();
            if (service_ != nullptr || GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE ||
                GetTickCount() - start >= 10000) {
                break;
            }
        }
    }
    ~InstalledService() {
        EXPECT_TRUE(stops()) << "the service goes on with nobody left";
        if (service_ != nullptr) {
            DeleteService(service_);
            CloseServiceHandle(service_);
        }
        if (manager_ != nullptr) {
            CloseServiceHandle(manager_);
        }
    }
    bool installed() const { return service_ != nullptr; }
    SC_HANDLE handle() const { return service_; }
    // Whether it stops by itself (once nobody is left) within ten seconds.
    bool stops() const {
        SERVICE_STATUS status = {};
        for (int tries = 0; tries < 100; ++tries) {
            if (!QueryServiceStatus(service_, &status) ||
                status.dwCurrentState == SERVICE_STOPPED) {
                break;
            }
            Sleep(100);
        }
        return status.dwCurrentState == SERVICE_STOPPED;
    }

  private:
    SC_HANDLE create() const {
        std::wstring binary = L"\"" + besideModule(nullptr, L"melvpcif-share.exe") + L"\"";
        return CreateServiceW(manager_, reinterpret_cast<LPCWSTR>(shareServiceName),
                              L"MELV PC I/F sharing", SERVICE_START | SERVICE_QUERY_STATUS | DELETE,
                              SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                              binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    }

    SC_HANDLE manager_ = nullptr;
    SC_HANDLE service_ = nullptr;
};

// Installed as the machine's service: started on demand, it serves a program of an ordinary
// user's session through the pipe its security lets users reach, and stops by itself once nobody
// is left.
TEST(SharingServiceOfTheMachine, StartsOnDemandServesAndStopsByItself) {
    // The driver starts it only with sharing on; with sharing off a start looks at the driver's
    // registration and ends.
    SettingsSnapshot settings;
    ASSERT_TRUE(writeSettingDword(shareSetting, 1));
    InstrumentPort instrument;
    ASSERT_TRUE(instrument.open());
    InstalledService service;
    ASSERT_TRUE(service.installed()) << GetLastError();
    EXPECT_TRUE(StartServiceW(service.handle(), 0, nullptr)) << GetLastError();
    ShareConnection player;
    ASSERT_TRUE(player.hello(shareOutput, 0));
    ASSERT_TRUE(player.request(ShareFrameKind::message, 0, {0x90, 0x3C, 0x40}));
    EXPECT_EQ(instrument.receive(6), "F5 00 FF 90 3C 40");
    player.drop();
}

// With sharing on, the driver reaching the instrument through the service: the line pulled and
// put back while a program plays and listens. Its sends fail meanwhile, as on a lost line, and
// once the line is back it plays and hears again without reopening anything: the service, which
// ended with its line, is started again by the program's driver.
class SharedLostLine : public InputTest {
  protected:
    void SetUp() override {
        ASSERT_TRUE(lineControlAvailable()) << "MELV_LINE_CONTROL names no control folder";
        ASSERT_TRUE(service.installed());
        ASSERT_TRUE(writeSettingDword(shareSetting, 1));
        InputTest::SetUp();
    }

    SettingsSnapshot settings;
    InstalledService service;
};

constexpr DWORD noteOn = 0x00403C90;

// Sends the note until the send's status is as wanted or `deadlineMs` have passed.
bool sendsUntil(LoadedDriver& driver, const OpenedOutput& output, bool wantOk, DWORD deadlineMs) {
    for (DWORD start = GetTickCount(); GetTickCount() - start < deadlineMs; Sleep(50)) {
        if ((driver.sendShort(output, noteOn) == MMSYSERR_NOERROR) == wantOk) {
            return true;
        }
    }
    return false;
}

TEST_F(SharedLostLine, AfterTheLineComesBackTheProgramPlaysAndHearsWithoutReopening) {
    OpenedOutput output;
    ASSERT_TRUE(playAlongWith(output));

    ASSERT_TRUE(takeLineAway());
    EXPECT_TRUE(sendsUntil(driver, output, false, 5000)) << "sends go on succeeding";
    ASSERT_TRUE(bringLineBack());
    ASSERT_TRUE(instrument.reopen());
    takeNotifications();
    // The service is asked for again every two seconds, and the connection made again a few
    // times a second.
    ASSERT_TRUE(sendsUntil(driver, output, true, 10000)) << "the line was not picked up again";
    EXPECT_EQ(instrument.receive(6), "F5 00 FF 90 3C 40");
    // The input's connection is made again on its own schedule: what the instrument sends before
    // is heard by nobody.
    std::vector<Notification> heard;
    for (DWORD start = GetTickCount(); heard.empty() && GetTickCount() - start < 10000;) {
        ASSERT_TRUE(instrument.send({0x90, 0x3E, 0x40}));
        heard = withoutTimes(takeNotifications(1, 500));
    }
    ASSERT_FALSE(heard.empty()) << "the program hears nothing";
    EXPECT_EQ(heard.front(), (Notification{MIM_DATA, 0x00403E90}));
    EXPECT_EQ(driver.closeOutput(output), MMSYSERR_NOERROR);
}

} // namespace
