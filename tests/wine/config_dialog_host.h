// The configuration dialog as a user meets it. The host asks for it with DRV_CONFIGURE, which
// blocks the asking thread until the dialog closes, so the user is played by a second thread: it
// finds the dialog by its title, reads its controls and clicks them as the mouse would.
#pragma once

#include "driver_host.h"
#include "melv_version.h"
#include "platform/config_dialog_ids.h"

#include <windows.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

inline constexpr wchar_t configDialogTitle[] = L"MELV PC I/F NT Driver " MELV_VERSION_SHORT_TEXT;

// The dialog while it is open, seen from the user's thread. Every read and click goes to the
// thread that runs the dialog and returns once that thread has handled it.
class OpenDialog {
  public:
    explicit OpenDialog(HWND window) : window_(window) {}

    HWND window() const { return window_; }

    bool checked(int id) const;
    bool enabled(int id) const;
    // The radio buttons and check boxes that show a check mark.
    std::set<int> checkedControls() const;
    // The controls, of all 25, that are disabled.
    std::set<int> disabledControls() const;
    std::string text(int id) const;
    // A drop-down list's items, in order, and the one selected (-1 for none).
    std::vector<std::string> listItems(int id) const;
    int selectedItem(int id) const;
    // A pick of item `item` in the drop-down list, as with the mouse.
    void choose(int id, int item);

    // A mouse click on the control (BM_CLICK: button down and up over it).
    void click(int id);
    void ok() { close(control::ok); }
    void cancel() { close(control::cancel); }
    // The close box in the title bar.
    void closeFromTitleBar();
    bool closed() const { return closed_; }

    // When the environment variable MELV_DIALOG_PICTURE names a file, writes what the screen shows
    // of the dialog, title bar and frame included, to it as a 24-bit BMP (run-wine-tests.sh
    // --picture makes the picture in docs/ this way).
    void savePictureIfAsked() const;

  private:
    void close(int id);

    HWND window_;
    bool closed_ = false;
};

// Sends DRV_CONFIGURE through winmm exactly as the host does, with `ownerParam` as its first
// parameter, and plays `user` on a second thread against the dialog while the call blocks. `user`
// ends the dialog with ok(), cancel() or closeFromTitleBar(); a dialog it leaves open (say after a
// failed assertion) is cancelled and reported, so a failing test never hangs the host. Returns
// what DRV_CONFIGURE returned.
LRESULT configure(LoadedDriver& driver, LPARAM ownerParam,
                  const std::function<void(OpenDialog&)>& user);
