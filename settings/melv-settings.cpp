// "MELV PC I/F MIDI Driver settings": opens the installed driver's own configuration dialog, as
// Windows' multimedia control panel once did. It loads the driver the way the multimedia system
// loads it, by the file its registration names, and asks it to configure itself (DRV_CONFIGURE).
// The settings belong to the whole machine, so the program asks for administrator rights as it
// starts (its manifest): without them the dialog could not save.
//
// Exit codes: 0 after OK, 1 after Cancel, 3 when the driver is not installed.
#include "common/driver_loader.h"
#include "common/installed_driver.h"

#include <windows.h>

#include <mmsystem.h>

namespace {

enum Outcome : int { saved = 0, cancelled = 1, notInstalled = 3 };

const wchar_t title[] = L"MELV PC I/F MIDI Driver settings";

int sayNotInstalled() {
    MessageBoxW(nullptr,
                L"The MELV PC I/F MIDI Driver is not installed on this computer, or Windows "
                L"removed its registration.\n\nRun its setup program, then open the settings "
                L"again.",
                title, MB_OK | MB_ICONERROR);
    return notInstalled;
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    if (registeredDriverSlot().empty()) {
        return sayNotInstalled();
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
