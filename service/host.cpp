// How the system runs the sharing service (sharing.h): as the machine's service, started on
// demand by the driver and once at every Windows start, or from a console for tests.
//
//   melvpcif-share             as the machine's service
//   melvpcif-share --console   the same in the calling program's session, its pipe with the
//                              caller's default security
//
// Each time the system starts it, it first puts back what Windows or a tool took away from the
// driver's registration (the watch, installer/machine_registration.h), says so in the event log,
// and ends at once unless programs share the instrument. Anybody who may start it may so have the
// registration repaired: it writes nothing but the driver's own registration, from constants.
#include "sharing.h"

#include "config/settings.h"
#include "line/shared_state.h"
#include "share/protocol.h"
// After the driver's headers: it brings the system's, whose multimedia names are macros.
#include "machine_registration.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

platform::Handle stopRequested = platform::nullHandle; // set when the system or the console asks
SERVICE_STATUS_HANDLE statusHandle = nullptr;

void reportStatus(DWORD state, int exitCode) {
    if (statusHandle == nullptr) {
        return; // run from a console
    }
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    status.dwWin32ExitCode = exitCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = static_cast<DWORD>(exitCode);
    SetServiceStatus(statusHandle, &status);
}

void reportRunning() {
    reportStatus(SERVICE_RUNNING, 0);
}

// One line in the Application log, under the driver's name, when something was put back.
void tellEventLog(const std::wstring& putBack, Registration found) {
    if (found == Registration::whole || found == Registration::noDevice) {
        return;
    }
    std::wstring line = found == Registration::putBack
                            ? L"Windows or a tool had removed part of the MELV PC I/F MIDI "
                              L"Driver's registration. Put back: " +
                                  putBack + L"."
                            : L"The MELV PC I/F MIDI Driver's registration could not be put back "
                              L"whole (every MIDI driver slot it may use is another driver's, or "
                              L"the registry cannot be written)" +
                                  (putBack.empty() ? L"" : L". Put back: " + putBack) + L".";
    HANDLE source = RegisterEventSourceW(nullptr, driverDescription);
    if (source == nullptr) {
        return;
    }
    const wchar_t* strings[] = {line.c_str()};
    ReportEventW(source,
                 found == Registration::putBack ? EVENTLOG_INFORMATION_TYPE : EVENTLOG_WARNING_TYPE,
                 0, registrationEventId, nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(source);
}

bool sharingOn() {
    SharedState settings = {};
    loadSettings(settings);
    return settings.sharing != 0;
}

// Puts back what was taken away from the driver's registration and says so in the event log.
// Runs on the service's start and on the dispatcher's thread when a program asks while it runs;
// it touches the registry alone, nothing of the loop's.
void watchRegistration() {
    std::wstring putBack;
    Registration found = restoreRegistration(putBack);
    tellEventLog(putBack, found);
}

DWORD WINAPI controlService(DWORD control, DWORD, void*, void*) {
    if (control == restoreRegistrationControl) {
        watchRegistration();
        return NO_ERROR;
    }
    if (control == SERVICE_CONTROL_STOP) {
        reportStatus(SERVICE_STOP_PENDING, 0);
        platform::setEvent(stopRequested);
        return NO_ERROR;
    }
    return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI serviceMain(DWORD, LPWSTR*) {
    statusHandle = RegisterServiceCtrlHandlerExW(reinterpret_cast<LPCWSTR>(shareServiceName),
                                                 controlService, nullptr);
    if (statusHandle == nullptr) {
        return;
    }
    reportStatus(SERVICE_START_PENDING, 0);
    watchRegistration();
    if (!sharingOn()) {
        reportStatus(SERVICE_STOPPED, 0); // at a Windows start, or asked for the repair alone
        return;
    }
    int status = serveSharing(true, stopRequested, reportRunning);
    reportStatus(SERVICE_STOPPED, status);
}

BOOL WINAPI consoleControl(DWORD) {
    platform::setEvent(stopRequested);
    return TRUE;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    stopRequested = platform::createEvent();
    if (argc == 2 && std::wcscmp(argv[1], L"--console") == 0) {
        SetConsoleCtrlHandler(consoleControl, TRUE);
        return serveSharing(false, stopRequested, reportRunning);
    }
    if (argc != 1) {
        std::fwprintf(stderr, L"usage: melvpcif-share [--console]\n");
        return 2;
    }
    SERVICE_TABLE_ENTRYW services[] = {
        {reinterpret_cast<LPWSTR>(const_cast<char16_t*>(shareServiceName)), serviceMain},
        {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(services) ? 0 : 1;
}
