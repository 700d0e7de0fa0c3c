#include "driver_host.h"

#include "common/hex.h"
#include "common/process.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

namespace {

std::mutex notificationLock;
std::condition_variable notificationArrived;
std::vector<Notification> notifications;
const NotificationHook* notificationHook = nullptr;

// How long the client must hear nothing for it to count as "nothing further".
constexpr DWORD quietWindowMs = 200;

void CALLBACK recordNotification(HDRVR device, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                                 DWORD_PTR param2) {
    Notification n{message, param1, param2, device, instance};
    const NotificationHook* hook = nullptr;
    {
        std::lock_guard<std::mutex> hold(notificationLock);
        hook = notificationHook;
    }
    // Outside the lock: the hook may call the driver, which may notify again on this thread.
    if (hook != nullptr) {
        (*hook)(n);
    }
    {
        std::lock_guard<std::mutex> hold(notificationLock);
        notifications.push_back(n);
    }
    notificationArrived.notify_all();
}

bool carriesTime(UINT message) {
    return message == MIM_DATA || message == MIM_ERROR || message == MIM_LONGDATA ||
           message == MIM_LONGERROR;
}

const char* messageName(UINT message) {
    switch (message) {
    case MOM_OPEN:
        return "MOM_OPEN";
    case MOM_CLOSE:
        return "MOM_CLOSE";
    case MOM_DONE:
        return "MOM_DONE";
    case MIM_OPEN:
        return "MIM_OPEN";
    case MIM_CLOSE:
        return "MIM_CLOSE";
    case MIM_DATA:
        return "MIM_DATA";
    case MIM_LONGDATA:
        return "MIM_LONGDATA";
    case MIM_ERROR:
        return "MIM_ERROR";
    case MIM_LONGERROR:
        return "MIM_LONGERROR";
    default:
        return "message";
    }
}

} // namespace

std::wstring driverPath() {
    return besideProgram(L"melvpcif.dll");
}

std::ostream& operator<<(std::ostream& out, const Notification& n) {
    return out << messageName(n.message) << std::hex << " (0x" << n.message << ", param1 0x"
               << n.param1 << ", param2 0x" << n.param2 << ", device " << n.device
               << ", instance 0x" << n.instance << ")" << std::dec;
}

std::vector<Notification> takeNotifications() {
    std::lock_guard<std::mutex> hold(notificationLock);
    return std::exchange(notifications, {});
}

bool waitForNotifications(const std::function<bool(const std::vector<Notification>&)>& done,
                          DWORD deadlineMs) {
    std::unique_lock<std::mutex> hold(notificationLock);
    return notificationArrived.wait_for(hold, std::chrono::milliseconds(deadlineMs),
                                        [&] { return done(notifications); });
}

std::vector<Notification> takeNotifications(std::size_t count, DWORD deadlineMs) {
    waitForNotifications(
        [count](const std::vector<Notification>& all) { return all.size() >= count; }, deadlineMs);
    return takeNotifications();
}

std::vector<Notification> takeStrayNotifications() {
    return takeNotifications(1, quietWindowMs);
}

Notification withoutTime(Notification n) {
    if (carriesTime(n.message)) {
        n.param2 = 0;
    }
    return n;
}

std::vector<Notification> withoutTimes(std::vector<Notification> all) {
    for (Notification& n : all) {
        n = withoutTime(n);
    }
    return all;
}

void setNotificationHook(const NotificationHook* hook) {
    std::lock_guard<std::mutex> hold(notificationLock);
    notificationHook = hook;
}

::testing::AssertionResult LoadedDriver::load() {
    // The build directory holds the driver, so its path must have no space (see loadDriver).
    switch (loadDriver(driverPath().c_str(), entries_)) {
    case DriverLoad::loaded:
        return ::testing::AssertionSuccess();
    case DriverLoad::refused:
        return ::testing::AssertionFailure() << "OpenDriver refused the driver (the module did not "
                                                "load or DriverProc declined DRV_LOAD/ENABLE/OPEN)";
    case DriverLoad::noModMessage:
        return ::testing::AssertionFailure() << "the driver exports no undecorated modMessage";
    case DriverLoad::noMidMessage:
        return ::testing::AssertionFailure() << "the driver exports no undecorated midMessage";
    }
    return ::testing::AssertionFailure() << "the driver did not load";
}

void LoadedDriver::unload() {
    unloadDriver(entries_);
}

namespace {

// What the host hands the driver at an open: the test's device handle and instance, and the
// test's callback when notifications are wanted.
MIDIOPENDESC openDescription(bool withCallback) {
    MIDIOPENDESC description{};
    description.hMidi = testDeviceHandle;
    description.dwCallback = withCallback ? reinterpret_cast<DWORD_PTR>(&recordNotification) : 0;
    description.dwInstance = testInstance;
    return description;
}

} // namespace

LRESULT LoadedDriver::sendDriverMessage(UINT message, LPARAM param1, LPARAM param2) {
    return SendDriverMessage(entries_.driver, message, param1, param2);
}

DWORD LoadedDriver::modMessage(UINT device, UINT message, DWORD_PTR user, DWORD_PTR param1,
                               DWORD_PTR param2) {
    return entries_.modMessage(device, message, user, param1, param2);
}

DWORD LoadedDriver::openOutput(UINT device, OpenedOutput* output, bool withCallback) {
    MIDIOPENDESC description = openDescription(withCallback);
    output->device = device;
    return modMessage(device, MODM_OPEN, reinterpret_cast<DWORD_PTR>(&output->instance),
                      reinterpret_cast<DWORD_PTR>(&description),
                      withCallback ? CALLBACK_FUNCTION : CALLBACK_NULL);
}

DWORD LoadedDriver::outputMessage(const OpenedOutput& output, UINT message, DWORD_PTR param1,
                                  DWORD_PTR param2) {
    return modMessage(output.device, message, output.instance, param1, param2);
}

DWORD LoadedDriver::closeOutput(const OpenedOutput& output) {
    return outputMessage(output, MODM_CLOSE, 0, 0);
}

DWORD LoadedDriver::sendShort(const OpenedOutput& output, DWORD packed) {
    return outputMessage(output, MODM_DATA, packed, 0);
}

DWORD LoadedDriver::sendLong(const OpenedOutput& output, MIDIHDR* header) {
    return outputMessage(output, MODM_LONGDATA, reinterpret_cast<DWORD_PTR>(header),
                         sizeof(MIDIHDR));
}

DWORD LoadedDriver::midMessage(UINT device, UINT message, DWORD_PTR user, DWORD_PTR param1,
                               DWORD_PTR param2) {
    return entries_.midMessage(device, message, user, param1, param2);
}

DWORD LoadedDriver::openInput(UINT device, OpenedInput* input, bool withCallback) {
    MIDIOPENDESC description = openDescription(withCallback);
    input->device = device;
    return midMessage(device, MIDM_OPEN, reinterpret_cast<DWORD_PTR>(&input->instance),
                      reinterpret_cast<DWORD_PTR>(&description),
                      withCallback ? CALLBACK_FUNCTION : CALLBACK_NULL);
}

DWORD LoadedDriver::inputMessage(const OpenedInput& input, UINT message, DWORD_PTR param1,
                                 DWORD_PTR param2) {
    return midMessage(input.device, message, input.instance, param1, param2);
}

DWORD LoadedDriver::addBuffer(const OpenedInput& input, MIDIHDR* header) {
    return inputMessage(input, MIDM_ADDBUFFER, reinterpret_cast<DWORD_PTR>(header),
                        sizeof(MIDIHDR));
}

DWORD LoadedDriver::closeInput(const OpenedInput& input) {
    return inputMessage(input, MIDM_CLOSE);
}

InputBuffer::InputBuffer(DWORD size) : data_(size) {
    header_.lpData = data_.data();
    header_.dwBufferLength = size;
    header_.dwFlags = MHDR_PREPARED;
}

std::string InputBuffer::recorded() const {
    DWORD count = header_.dwBytesRecorded < data_.size() ? header_.dwBytesRecorded
                                                         : static_cast<DWORD>(data_.size());
    return hexBytes(reinterpret_cast<const unsigned char*>(data_.data()), count);
}
