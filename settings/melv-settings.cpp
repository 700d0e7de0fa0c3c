// "MELV PC I/F MIDI Driver settings": opens the installed driver's own configuration dialog, as
// Windows' multimedia control panel once did. It loads the driver the way the multimedia system
// loads it, by the file its registration names, and asks it to configure itself (DRV_CONFIGURE).
// The settings belong to the whole machine, so the program asks for administrator rights as it
// starts (its manifest): without them the dialog could not save.
//
// Where Windows removed the driver's registration while its file stays, it says so and offers to
// put it back (through the sharing service, as the connection check does) before it opens.
//
// Exit codes: 0 after OK, 1 after Cancel, 3 when the driver is not installed, 7 when its
// registration is gone and was not put back.
#include "common/driver_loader.h"
#include "common/installed_driver.h"
#include "machine_registration.h"

#include <windows.h>

#include <mmsystem.h>

namespace {

enum Outcome : int { saved = 0, cancelled = 1, notInstalled = 3, registrationGone = 7 };

const wchar_t title[] = L"MELV PC I/F MIDI Driver settings";

int sayNotInstalled() {
    MessageBoxW(nullptr,
                L"The MELV PC I/F MIDI Driver is not installed on this computer, or Windows "
                L"removed its registration.\n\nRun its setup program, then open the settings "
                L"again.",
                title, MB_OK | MB_ICONERROR);
    return notInstalled;
}

// Offers to put the registration back; true once it is.
bool registrationPutBack() {
    int answer = MessageBoxW(
        nullptr,
        L"Windows removed the MELV PC I/F MIDI Driver's registration (a Windows update or the "
        L"MIDI registry repair of Windows 11's MIDI stack does that), so no program sees the "
        L"instrument.\n\nPut the registration back now?",
        title, MB_YESNO | MB_ICONWARNING);
    if (answer != IDYES) {
        return false;
    }
    if (askServiceToRestoreRegistration() && !registeredDriverSlot().empty()) {
        return true;
    }
    MessageBoxW(nullptr,
                L"The registration could not be put back here. Run the driver's setup program "
                L"again: it repairs the installation and keeps your settings.",
                title, MB_OK | MB_ICONERROR);
    return false;
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    if (registeredDriverSlot().empty()) {
        if (!driverFileInstalled()) {
            return sayNotInstalled();
        }
        if (!registrationPutBack()) {
            return registrationGone;
        }
    }
    DriverEntries driver;
    if (loadDriver(driverFileName, driver) != DriverLoad::loaded) {
        return sayNotInstalled();
    }
    // No owner window: the dialog is this program's window.
    LRESULT result = SendDriverMessage(driver.driver, DRV_CONFIGURE, 0, 0);
    unloadDriver(driver);
    return result == IDOK ? saved : cancelled;
}
