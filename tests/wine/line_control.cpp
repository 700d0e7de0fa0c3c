#include "line_control.h"

#include <windows.h>

#include <string>

namespace {

// The script looks for requests every few tens of milliseconds; restarting the line takes it a
// moment more. The deadline only keeps a dead script from hanging the test.
constexpr DWORD requestDeadlineMs = 10000;
constexpr DWORD requestPollMs = 10;

std::wstring controlFolder() {
    wchar_t folder[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"MELV_LINE_CONTROL", folder, MAX_PATH);
    return length == 0 || length >= MAX_PATH ? std::wstring() : std::wstring(folder);
}

// Leaves a request file for the script and waits for the file that says it was carried out.
::testing::AssertionResult request(const wchar_t* what) {
    std::wstring folder = controlFolder();
    if (folder.empty()) {
        return ::testing::AssertionFailure() << "MELV_LINE_CONTROL names no folder";
    }
    std::wstring done = folder + L"\\" + what + L"-done";
    DeleteFileW(done.c_str());
    HANDLE file = CreateFileW((folder + L"\\" + what).c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return ::testing::AssertionFailure()
               << "the request cannot be made, error " << GetLastError();
    }
    CloseHandle(file);
    for (DWORD waited = 0; waited < requestDeadlineMs; waited += requestPollMs) {
        if (GetFileAttributesW(done.c_str()) != INVALID_FILE_ATTRIBUTES) {
            DeleteFileW(done.c_str());
            return ::testing::AssertionSuccess();
        }
        Sleep(requestPollMs);
    }
    return ::testing::AssertionFailure() << "the run script did not carry out the request";
}

} // namespace

bool lineControlAvailable() {
    return !controlFolder().empty();
}

::testing::AssertionResult takeLineAway() {
    return request(L"away");
}

::testing::AssertionResult bringLineBack() {
    return request(L"back");
}
