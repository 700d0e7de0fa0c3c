// A picture of a window as the screen shows it, title bar and frame included: how the pictures in
// docs/ are made (the configuration dialog by the Wine test host, the setup program's finishing
// page by its test tool).
#pragma once

#include <windows.h>

#include <string>

// Draws `window` as active and fully painted, reads it off the screen and writes it to `path` as a
// 24-bit BMP. Each message to the window's thread may take up to `answerDeadlineMs`. On failure
// `whyNot` says what went wrong.
bool writeWindowPicture(HWND window, const wchar_t* path, DWORD answerDeadlineMs,
                        std::string& whyNot);
