#include "config_dialog_host.h"

#include "common/window_picture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>

namespace {

// Long enough for a loaded machine to create its first dialog; never waited out when it comes.
constexpr DWORD dialogAppearsDeadlineMs = 10000;
// How long one read or click may take the dialog's thread, and how long DRV_CONFIGURE may take to
// return once the dialog was ended.
constexpr DWORD dialogAnswersDeadlineMs = 5000;
constexpr DWORD pollIntervalMs = 10;

using namespace control;
constexpr int allControls[] = {ok,
                               cancel,
                               com1,
                               com2,
                               com3,
                               com4,
                               otherPort,
                               otherPortList,
                               synthGroup,
                               synthProgramChange,
                               synthControlChange,
                               synthBankSelect,
                               synthChannelPressure,
                               synthPolyKeyPressure,
                               synthExclusive,
                               midiGroup,
                               midiProgramChange,
                               midiControlChange,
                               midiBankSelect,
                               midiChannelPressure,
                               midiPolyKeyPressure,
                               midiExclusive,
                               independentMode,
                               serialPortGroup,
                               holder};
constexpr int checkableControls[] = {com1,
                                     com2,
                                     com3,
                                     com4,
                                     otherPort,
                                     synthProgramChange,
                                     synthControlChange,
                                     synthBankSelect,
                                     synthChannelPressure,
                                     synthPolyKeyPressure,
                                     synthExclusive,
                                     midiProgramChange,
                                     midiControlChange,
                                     midiBankSelect,
                                     midiChannelPressure,
                                     midiPolyKeyPressure,
                                     midiExclusive,
                                     independentMode};

std::string narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

std::wstring titleOf(HWND window) {
    wchar_t title[256] = {};
    GetWindowTextW(window, title, 256);
    return title;
}

// The dialog on `thread` once it is shown (the dialog manager shows it after WM_INITDIALOG, so a
// visible dialog has been set up); nullptr when `configureReturned` is set first or the deadline
// passes.
HWND waitForDialog(DWORD thread, HANDLE configureReturned) {
    DWORD start = GetTickCount();
    do {
        HWND window = FindWindowW(nullptr, configDialogTitle);
        if (window != nullptr && GetWindowThreadProcessId(window, nullptr) == thread &&
            IsWindowVisible(window)) {
            return window;
        }
    } while (WaitForSingleObject(configureReturned, pollIntervalMs) == WAIT_TIMEOUT &&
             GetTickCount() - start < dialogAppearsDeadlineMs);
    return nullptr;
}

BOOL CALLBACK endDialogWindow(HWND window, LPARAM titles) {
    wchar_t className[16] = {};
    GetClassNameW(window, className, 16);
    if (std::wstring(className) == L"#32770") {
        *reinterpret_cast<std::string*>(titles) += " \"" + narrow(titleOf(window)) + "\"";
        // Meant for the dialog's own thread, but Wine's EndDialog works from any: the last resort.
        EndDialog(window, IDCANCEL);
    }
    return TRUE;
}

// Ends whatever dialogs `thread` shows, so that a DRV_CONFIGURE which showed something other than
// the expected dialog returns; says which titles it found.
std::string endEveryDialogOf(DWORD thread) {
    std::string titles;
    EnumThreadWindows(thread, endDialogWindow, reinterpret_cast<LPARAM>(&titles));
    return titles.empty() ? " none" : titles;
}

bool sendWithDeadline(HWND window, UINT message, WPARAM wParam, LPARAM lParam, DWORD_PTR* answer) {
    return SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL,
                               dialogAnswersDeadlineMs, answer) != 0;
}

} // namespace

bool OpenDialog::checked(int id) const {
    DWORD_PTR state = 0;
    EXPECT_TRUE(sendWithDeadline(GetDlgItem(window_, id), BM_GETCHECK, 0, 0, &state))
        << "control " << id << " did not answer BM_GETCHECK";
    return state == BST_CHECKED;
}

bool OpenDialog::enabled(int id) const {
    HWND item = GetDlgItem(window_, id);
    EXPECT_NE(item, nullptr) << "the dialog has no control " << id;
    return IsWindowEnabled(item) != FALSE;
}

std::set<int> OpenDialog::checkedControls() const {
    std::set<int> ids;
    for (int id : checkableControls) {
        if (checked(id)) {
            ids.insert(id);
        }
    }
    return ids;
}

std::set<int> OpenDialog::disabledControls() const {
    std::set<int> ids;
    for (int id : allControls) {
        if (!enabled(id)) {
            ids.insert(id);
        }
    }
    return ids;
}

void OpenDialog::click(int id) {
    HWND item = GetDlgItem(window_, id);
    ASSERT_NE(item, nullptr) << "the dialog has no control " << id << " to click";
    // The button handles the click and notifies the dialog before the send returns.
    DWORD_PTR ignored = 0;
    EXPECT_TRUE(sendWithDeadline(item, BM_CLICK, 0, 0, &ignored))
        << "control " << id << " did not take the click";
}

std::string OpenDialog::text(int id) const {
    wchar_t text[256] = {};
    DWORD_PTR length = 0;
    EXPECT_TRUE(sendWithDeadline(GetDlgItem(window_, id), WM_GETTEXT, std::size(text),
                                 reinterpret_cast<LPARAM>(text), &length));
    return narrow(text);
}

std::vector<std::string> OpenDialog::listItems(int id) const {
    HWND list = GetDlgItem(window_, id);
    DWORD_PTR count = 0;
    EXPECT_TRUE(sendWithDeadline(list, CB_GETCOUNT, 0, 0, &count));
    std::vector<std::string> items;
    for (DWORD_PTR item = 0; item < count; ++item) {
        wchar_t text[256] = {};
        DWORD_PTR length = 0;
        if (sendWithDeadline(list, CB_GETLBTEXTLEN, item, 0, &length) && length < 256 &&
            sendWithDeadline(list, CB_GETLBTEXT, item, reinterpret_cast<LPARAM>(text), &length)) {
            items.push_back(narrow(text));
        }
    }
    return items;
}

int OpenDialog::selectedItem(int id) const {
    DWORD_PTR selected = 0;
    EXPECT_TRUE(sendWithDeadline(GetDlgItem(window_, id), CB_GETCURSEL, 0, 0, &selected));
    return static_cast<int>(static_cast<LRESULT>(selected));
}

void OpenDialog::choose(int id, int item) {
    HWND list = GetDlgItem(window_, id);
    ASSERT_NE(list, nullptr) << "the dialog has no list " << id;
    // A pick with the mouse selects the item and tells the dialog the selection changed.
    DWORD_PTR ignored = 0;
    EXPECT_TRUE(sendWithDeadline(list, CB_SETCURSEL, item, 0, &ignored));
    EXPECT_TRUE(sendWithDeadline(window_, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE),
                                 reinterpret_cast<LPARAM>(list), &ignored));
}

void OpenDialog::close(int id) {
    click(id);
    closed_ = true;
}

void OpenDialog::closeFromTitleBar() {
    DWORD_PTR ignored = 0;
    EXPECT_TRUE(sendWithDeadline(window_, WM_SYSCOMMAND, SC_CLOSE, 0, &ignored))
        << "the dialog did not take the close box";
    closed_ = true;
}

void OpenDialog::savePictureIfAsked() const {
    wchar_t path[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"MELV_DIALOG_PICTURE", path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return;
    }
    std::string whyNot;
    EXPECT_TRUE(writeWindowPicture(window_, path, dialogAnswersDeadlineMs, whyNot)) << whyNot;
}

LRESULT configure(LoadedDriver& driver, LPARAM ownerParam,
                  const std::function<void(OpenDialog&)>& user) {
    DWORD hostThread = GetCurrentThreadId();
    HANDLE configureReturned = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread userThread([&] {
        HWND window = waitForDialog(hostThread, configureReturned);
        if (window == nullptr) {
            if (WaitForSingleObject(configureReturned, 0) == WAIT_OBJECT_0) {
                ADD_FAILURE() << "DRV_CONFIGURE returned without showing a dialog";
            } else {
                ADD_FAILURE() << "no dialog titled \"" << narrow(configDialogTitle)
                              << "\" appeared; dialogs shown:" << endEveryDialogOf(hostThread);
            }
            return;
        }
        OpenDialog dialog(window);
        user(dialog);
        if (!dialog.closed()) {
            ADD_FAILURE() << "the test left the dialog open; cancelling it";
            dialog.cancel();
        }
        if (WaitForSingleObject(configureReturned, dialogAnswersDeadlineMs) != WAIT_OBJECT_0) {
            ADD_FAILURE() << "the dialog did not end when the test closed it; ending it";
            EndDialog(window, IDCANCEL); // from this thread: the last resort, as above
        }
    });
    LRESULT result = driver.sendDriverMessage(DRV_CONFIGURE, ownerParam, 0);
    SetEvent(configureReturned);
    userThread.join();
    CloseHandle(configureReturned);
    return result;
}
