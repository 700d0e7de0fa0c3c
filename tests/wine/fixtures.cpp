#include "fixtures.h"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

bool driverModuleLoaded() {
    return GetModuleHandleW(driverPath().c_str()) != nullptr;
}

void DriverTest::SetUp() {
    ASSERT_FALSE(driverModuleLoaded())
        << "the driver is still loaded from an earlier test, so its shared state is not fresh";
    ASSERT_TRUE(driver.load());
    takeNotifications();
}

void DriverTest::TearDown() {
    driver.unload();
    EXPECT_FALSE(driverModuleLoaded()) << "CloseDriver left the driver module loaded";
}

void WireTest::SetUp() {
    DriverTest::SetUp();
    if (!HasFatalFailure()) {
        ASSERT_TRUE(instrument.open());
    }
}

void WireTest::expectOutputWire(const OutputWire& expected) {
    SCOPED_TRACE("output " + std::to_string(expected.device));
    OpenedOutput output;
    ASSERT_EQ(driver.openOutput(expected.device, &output), MMSYSERR_NOERROR);
    takeNotifications();
    constexpr DWORD noteOn = 0x00403C90; // 0x90 0x3C 0x40: middle C on channel 1
    EXPECT_EQ(driver.sendShort(output, noteOn), MMSYSERR_NOERROR);
    EXPECT_EQ(instrument.receive((std::strlen(expected.firstNote) + 1) / 3), expected.firstNote);
    EXPECT_EQ(driver.sendShort(output, noteOn), MMSYSERR_NOERROR);
    EXPECT_EQ(instrument.receive((std::strlen(expected.nextNote) + 1) / 3), expected.nextNote);
    EXPECT_TRUE(takeNotifications().empty()) << "short messages are not answered";

    char exclusive[] = {'\xF0', '\x7D', 1, 2, 3, 4, 5, 6, 7, '\xF7'};
    MIDIHDR header{};
    header.lpData = exclusive;
    header.dwBufferLength = sizeof(exclusive);
    header.dwFlags = MHDR_PREPARED;
    EXPECT_EQ(driver.sendLong(output, &header), MMSYSERR_NOERROR);
    EXPECT_EQ(instrument.receive((std::strlen(expected.exclusive) + 1) / 3), expected.exclusive);
    EXPECT_EQ(instrument.receiveStray(), "");
    EXPECT_EQ(header.dwFlags, static_cast<DWORD>(MHDR_PREPARED | MHDR_DONE));
    Notification done{MOM_DONE, reinterpret_cast<DWORD_PTR>(&header), 0};
    EXPECT_EQ(takeNotifications(), std::vector<Notification>{done});
    driver.closeOutput(output);
}

namespace {

// The driver's end of the line keeps whatever the instrument sent that no input read, for
// instance when an earlier test failed half-way. Read it empty before the driver opens it, as
// InstrumentPort::open does for the other direction.
::testing::AssertionResult emptyDriversEndOfTheLine() {
    HANDLE port = CreateFileW(L"\\\\.\\COM1", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        return ::testing::AssertionFailure()
               << "the driver's end of the line (COM1) does not open, error " << GetLastError();
    }
    COMMTIMEOUTS timeouts{};
    timeouts.ReadTotalTimeoutConstant = 50;
    SetCommTimeouts(port, &timeouts);
    unsigned char stale[256];
    DWORD received = 0;
    while (ReadFile(port, stale, sizeof(stale), &received, nullptr) && received != 0) {
    }
    CloseHandle(port);
    return ::testing::AssertionSuccess();
}

} // namespace

void InputTest::SetUp() {
    WireTest::SetUp();
    if (!HasFatalFailure()) {
        ASSERT_TRUE(emptyDriversEndOfTheLine());
    }
}

void InputTest::TearDown() {
    if (inputOpen) {
        EXPECT_TRUE(closeInput()) << "while cleaning up after the test";
    }
    setNotificationHook(nullptr);
    WireTest::TearDown();
}

::testing::AssertionResult InputTest::playAlongWith(OpenedOutput& output) {
    ::testing::AssertionResult opened = openInput();
    if (!opened) {
        return opened;
    }
    if (DWORD status = driver.inputMessage(input, MIDM_START); status != MMSYSERR_NOERROR) {
        return ::testing::AssertionFailure() << "MIDM_START answered " << status;
    }
    if (DWORD status = driver.openOutput(0, &output); status != MMSYSERR_NOERROR) {
        return ::testing::AssertionFailure() << "MODM_OPEN answered " << status;
    }
    constexpr DWORD noteOn = 0x00403C90; // 0x90 0x3C 0x40: middle C on channel 1
    if (DWORD status = driver.sendShort(output, noteOn); status != MMSYSERR_NOERROR) {
        return ::testing::AssertionFailure() << "the note's send answered " << status;
    }
    std::string heard = instrument.receive(6);
    if (heard != "F5 00 FF 90 3C 40") {
        return ::testing::AssertionFailure() << "the instrument heard " << heard;
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult InputTest::openInput() {
    DWORD status = driver.openInput(0, &input);
    if (status != MMSYSERR_NOERROR) {
        return ::testing::AssertionFailure() << "MIDM_OPEN answered " << status;
    }
    inputOpen = true;
    std::vector<Notification> heard = takeNotifications();
    if (heard != std::vector<Notification>{{MIM_OPEN}}) {
        auto failure = ::testing::AssertionFailure() << "opening notified";
        for (const Notification& n : heard) {
            failure << "\n  " << n;
        }
        return failure << "\ninstead of MIM_OPEN alone";
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult InputTest::closeInput() {
    DWORD reset = driver.inputMessage(input, MIDM_RESET);
    DWORD close = driver.closeInput(input);
    if (close == MMSYSERR_NOERROR) {
        inputOpen = false;
    }
    if (reset != MMSYSERR_NOERROR || close != MMSYSERR_NOERROR) {
        return ::testing::AssertionFailure()
               << "MIDM_RESET answered " << reset << ", MIDM_CLOSE " << close;
    }
    return ::testing::AssertionSuccess();
}

InputBuffer& InputTest::newBuffer(DWORD size) {
    return buffers_.emplace_back(size);
}

void InputTest::installHook(NotificationHook hook) {
    hook_ = std::move(hook);
    setNotificationHook(&hook_);
}
