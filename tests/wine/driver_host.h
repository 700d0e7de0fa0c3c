// The driver as the multimedia host sees it: loaded through winmm's installable-driver calls and
// driven through its exported modMessage, with notifications travelling through winmm's own
// DriverCallback into a recorder.
#pragma once

#include <windows.h>

#include <mmddk.h>
#include <mmsystem.h>

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

// melvpcif.dll beside this executable (the test host and the driver share a build directory).
std::wstring driverPath();

// The device handle and client instance every test open hands the driver, so that each
// notification can be checked for carrying them back.
inline const HMIDI testDeviceHandle = reinterpret_cast<HMIDI>(0x4D45);
constexpr DWORD_PTR testInstance = 0x1CEB00DA;

// One notification as the client's callback function received it.
struct Notification {
    UINT message = 0;
    DWORD_PTR param1 = 0;
    DWORD_PTR param2 = 0;
    HDRVR device = reinterpret_cast<HDRVR>(testDeviceHandle);
    DWORD_PTR instance = testInstance;

    bool operator==(const Notification&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Notification& n);

// Everything the client callback has received since the last take(), oldest first. Output
// notifications arrive on the calling thread before modMessage returns, so a take() right after a
// call sees all of them.
std::vector<Notification> takeNotifications();

// An opened output as the host keeps it: the device index and the driver's stream instance, both
// handed back with every later message.
struct OpenedOutput {
    UINT device = 0;
    DWORD_PTR instance = 0;
};

class LoadedDriver {
  public:
    LoadedDriver() = default;
    LoadedDriver(const LoadedDriver&) = delete;
    LoadedDriver& operator=(const LoadedDriver&) = delete;
    ~LoadedDriver() { unload(); }

    // OpenDriver with the full path (DRV_LOAD, DRV_ENABLE, DRV_OPEN), then the module's modMessage.
    ::testing::AssertionResult load();
    // CloseDriver (DRV_CLOSE, DRV_DISABLE, DRV_FREE); winmm frees the module with its last driver.
    void unload();

    DWORD modMessage(UINT device, UINT message, DWORD_PTR user, DWORD_PTR param1, DWORD_PTR param2);

    // MODM_OPEN with the test's open description. With a callback, notifications go to the
    // recorder as CALLBACK_FUNCTION; without one the client asked for none.
    DWORD openOutput(UINT device, OpenedOutput* output, bool withCallback = true);
    // A message to an opened output, as the host sends it.
    DWORD outputMessage(const OpenedOutput& output, UINT message, DWORD_PTR param1,
                        DWORD_PTR param2);
    DWORD closeOutput(const OpenedOutput& output);
    DWORD sendShort(const OpenedOutput& output, DWORD packed);
    DWORD sendLong(const OpenedOutput& output, MIDIHDR* header);

  private:
    using MessageEntry = DWORD(WINAPI*)(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);
    HDRVR driver_ = nullptr;
    MessageEntry modMessage_ = nullptr;
};
