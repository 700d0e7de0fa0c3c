// The driver as the multimedia host sees it: loaded through winmm's installable-driver calls and
// driven through its exported modMessage and midMessage, with notifications travelling through
// winmm's own DriverCallback into a recorder.
#pragma once

#include "common/driver_loader.h"

#include <windows.h>

#include <mmddk.h>
#include <mmsystem.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
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
// notifications, and those of input open, close, stop and reset, arrive on the calling thread or
// are made by the worker before the call returns, so a take() right after the call sees all of
// them.
std::vector<Notification> takeNotifications();

// Input notifications of running input come from the driver's worker whenever bytes arrive. This
// waits until at least `count` have been recorded, or `deadlineMs` has passed, and takes them all.
std::vector<Notification> takeNotifications(std::size_t count, DWORD deadlineMs = 5000);

// Waits until `done` holds, checking it (under the recorder's lock, with everything recorded and
// not yet taken) whenever a notification arrives; false when `deadlineMs` passes first.
bool waitForNotifications(const std::function<bool(const std::vector<Notification>&)>& done,
                          DWORD deadlineMs);

// Whatever arrives within a short quiet window; empty when the client heard nothing further.
std::vector<Notification> takeStrayNotifications();

// The notification with its time stamp cleared, for comparing what the driver said without when.
Notification withoutTime(Notification n);
std::vector<Notification> withoutTimes(std::vector<Notification> all);

// Called inside the client's callback with every notification before it is recorded, on the
// thread that notifies: for running input, the driver's worker, from where a client may call
// midMessage again. Install it before input starts and remove it (nullptr) only after input has
// been stopped or closed, so that the worker never runs a hook that is being destroyed.
using NotificationHook = std::function<void(const Notification&)>;
void setNotificationHook(const NotificationHook* hook);

// An opened output or input as the host keeps it: the device index and the driver's stream
// instance, both handed back with every later message.
struct OpenedOutput {
    UINT device = 0;
    DWORD_PTR instance = 0;
};

struct OpenedInput {
    UINT device = 0;
    DWORD_PTR instance = 0;
};

class LoadedDriver {
  public:
    LoadedDriver() = default;
    LoadedDriver(const LoadedDriver&) = delete;
    LoadedDriver& operator=(const LoadedDriver&) = delete;
    ~LoadedDriver() { unload(); }

    // OpenDriver with the full path (DRV_LOAD, DRV_ENABLE, DRV_OPEN), then the module's modMessage
    // and midMessage.
    ::testing::AssertionResult load();
    // CloseDriver (DRV_CLOSE, DRV_DISABLE, DRV_FREE); winmm frees the module with its last driver.
    void unload();

    // A driver-control message through winmm to the driver's DriverProc, as the host sends
    // DRV_QUERYCONFIGURE and DRV_CONFIGURE.
    LRESULT sendDriverMessage(UINT message, LPARAM param1, LPARAM param2);

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

    DWORD midMessage(UINT device, UINT message, DWORD_PTR user, DWORD_PTR param1, DWORD_PTR param2);

    // MIDM_OPEN with the test's open description, as openOutput.
    DWORD openInput(UINT device, OpenedInput* input, bool withCallback = true);
    DWORD inputMessage(const OpenedInput& input, UINT message, DWORD_PTR param1 = 0,
                       DWORD_PTR param2 = 0);
    DWORD addBuffer(const OpenedInput& input, MIDIHDR* header);
    DWORD closeInput(const OpenedInput& input);

  private:
    DriverEntries entries_;
};

// A client's input buffer, prepared as the host prepares it when the driver declines
// MIDM_PREPARE. The header's address is what the driver hands back, so a buffer never moves.
class InputBuffer {
  public:
    explicit InputBuffer(DWORD size);
    InputBuffer(const InputBuffer&) = delete;
    InputBuffer& operator=(const InputBuffer&) = delete;

    MIDIHDR* header() { return &header_; }
    // The bytes the driver recorded, as hex ("F0 7D F7").
    std::string recorded() const;

  private:
    std::vector<char> data_;
    MIDIHDR header_{};
};
