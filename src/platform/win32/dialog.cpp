#include "platform/platform.h"

#include <windows.h>

namespace {

// What the dialog's messages are handed to; it travels as the dialog's initialisation value and
// is kept in the dialog's user data from WM_INITDIALOG on.
struct Handling {
    platform::DialogHandler handler;
    void* context;
};

INT_PTR CALLBACK dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
    }
    auto* handling = reinterpret_cast<Handling*>(GetWindowLongPtrW(dialog, DWLP_USER));
    if (handling == nullptr) {
        return FALSE; // messages before WM_INITDIALOG, such as WM_SETFONT
    }
    return handling->handler(handling->context, reinterpret_cast<platform::Handle>(dialog), message,
                             wParam, lParam);
}

HWND windowOf(platform::Handle dialog) {
    return reinterpret_cast<HWND>(dialog);
}

} // namespace

namespace platform {

intptr_t runDialog(uintptr_t module, uint32_t templateId, Handle owner, DialogHandler handler,
                   void* context) {
    Handling handling = {handler, context};
    return DialogBoxParamW(reinterpret_cast<HINSTANCE>(module), MAKEINTRESOURCEW(templateId),
                           reinterpret_cast<HWND>(owner), dialogProc,
                           reinterpret_cast<LPARAM>(&handling));
}

void endDialog(Handle dialog, intptr_t result) {
    EndDialog(windowOf(dialog), result);
}

void checkRadioButton(Handle dialog, uint32_t first, uint32_t last, uint32_t id) {
    CheckRadioButton(windowOf(dialog), first, last, id);
}

void checkButton(Handle dialog, uint32_t id, bool checked) {
    CheckDlgButton(windowOf(dialog), id, checked ? BST_CHECKED : BST_UNCHECKED);
}

bool buttonChecked(Handle dialog, uint32_t id) {
    return IsDlgButtonChecked(windowOf(dialog), id) == BST_CHECKED;
}

void enableControl(Handle dialog, uint32_t id, bool enabled) {
    EnableWindow(GetDlgItem(windowOf(dialog), id), enabled ? TRUE : FALSE);
}

void setControlText(Handle dialog, uint32_t id, const char16_t* text) {
    SetDlgItemTextW(windowOf(dialog), id, reinterpret_cast<LPCWSTR>(text));
}

void addListItem(Handle dialog, uint32_t id, const char16_t* text) {
    SendDlgItemMessageW(windowOf(dialog), id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
}

void selectListItem(Handle dialog, uint32_t id, int32_t item) {
    SendDlgItemMessageW(windowOf(dialog), id, CB_SETCURSEL, static_cast<WPARAM>(item), 0);
}

void showMessage(Handle dialog, const char16_t* text, const char16_t* title) {
    MessageBoxW(windowOf(dialog), reinterpret_cast<LPCWSTR>(text), reinterpret_cast<LPCWSTR>(title),
                MB_OK | MB_ICONWARNING);
}

int32_t selectedListItem(Handle dialog, uint32_t id) {
    return static_cast<int32_t>(SendDlgItemMessageW(windowOf(dialog), id, CB_GETCURSEL, 0, 0));
}

} // namespace platform
