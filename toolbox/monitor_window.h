// melv-toolbox.exe --window: the monitor as a window. Every message both ways, read from the
// record every program's driver keeps (it never opens the instrument), in a list the filter and
// the pause change without changing what is kept; a status line with the mode, the port, the
// line, who has which devices and the driver's counts of drops and losses.
#pragma once

#include <string>

// The window's class, by which a test or a second start finds it.
constexpr wchar_t monitorWindowClass[] = L"MelvPcIfMonitor";

// Control ids of the window, for the keyboard's and a test's commands.
enum MonitorControl : int {
    monitorList = 100,
    monitorStatus,
    showOut,
    showIn,
    showSteadyRealTime, // Timing Clock and Active Sensing
    pauseRowsButton,
    clearRowsButton,
    findText,
    panicButton,
    // Commands of the keyboard alone: Ctrl+A, Ctrl+C, Ctrl+Shift+C, Ctrl+F, F3 (and Enter in the
    // find box), Shift+F3.
    selectAllRows,
    copyRowsAsText,
    copyRowsAsHex,
    goToFind,
    findNextRow,
    findPreviousRow,
};

// Where the window's size and place and its columns' widths are kept for the user, under
// HKEY_CURRENT_USER: each user's own, as a musician sets the window up once.
constexpr wchar_t monitorWindowKeyPath[] =
    L"Software\\MELV\\MELV PC I/F MIDI Driver\\Monitor window";

// Runs the window until it is closed; the exit code.
int runMonitorWindow(const std::wstring& mode, unsigned port);
