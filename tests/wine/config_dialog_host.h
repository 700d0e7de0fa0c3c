// The configuration dialog as a user meets it. The host asks for it with DRV_CONFIGURE, which
// blocks the asking thread until the dialog closes, so the user is played by a second thread: it
// finds the dialog by its title, reads its controls and clicks them as the mouse would.
#pragma once

#include "driver_host.h"
#include "melv_version.h"

#include <windows.h>

#include <functional>
#include <set>

inline constexpr wchar_t configDialogTitle[] = L"MELV PC I/F NT Driver " MELV_VERSION_SHORT_TEXT;

// The dialog's controls by id.
namespace control {
constexpr int ok = 1;
constexpr int cancel = 2;
constexpr int com1 = 101;
constexpr int com2 = 102;
constexpr int com3 = 103;
constexpr int com4 = 104;
// "Synth Out Messages" (destinations 2 and 3): the group box, then one box per kind of message.
constexpr int synthGroup = 105;
constexpr int synthProgramChange = 106;
constexpr int synthControlChange = 107;
constexpr int synthBankSelect = 108;
constexpr int synthChannelPressure = 109;
constexpr int synthPolyKeyPressure = 110;
constexpr int synthExclusive = 111;
// "MIDI Out Messages" (destinations 0 and 1), laid out as the synth group.
constexpr int midiGroup = 112;
constexpr int midiProgramChange = 113;
constexpr int midiControlChange = 114;
constexpr int midiBankSelect = 115;
constexpr int midiChannelPressure = 116;
constexpr int midiPolyKeyPressure = 117;
constexpr int midiExclusive = 118;
constexpr int independentMode = 119;
constexpr int serialPortGroup = 120;
} // namespace control

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
    // The controls, of all 22, that are disabled.
    std::set<int> disabledControls() const;

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
