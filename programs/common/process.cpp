#include "process.h"

namespace {

std::wstring modulePath(HMODULE module) {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    return std::wstring(path, length);
}

} // namespace

std::wstring programPath() {
    return modulePath(nullptr);
}

std::wstring besideModule(HMODULE module, const std::wstring& name) {
    std::wstring self = modulePath(module);
    return self.substr(0, self.find_last_of(L"\\/") + 1) + name;
}

bool startProcess(const wchar_t* program, std::wstring commandLine, bool inheritHandles,
                  STARTUPINFOW& startup, PROCESS_INFORMATION& process) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (CreateProcessW(program, commandLine.data(), nullptr, nullptr, inheritHandles, 0,
                           nullptr, nullptr, &startup, &process)) {
            return true;
        }
        if (GetLastError() != ERROR_INTERNAL_ERROR) {
            return false;
        }
    }
    return false;
}
