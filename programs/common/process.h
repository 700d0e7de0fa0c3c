// Programs that the Windows test hosts and tools start, and the files they find beside themselves.
#pragma once

#include <windows.h>

#include <string>

// The path of this program, and of a file named relative to the folder of `module` (nullptr: this
// program).
std::wstring programPath();
std::wstring besideModule(HMODULE module, const std::wstring& name);
inline std::wstring besideProgram(const std::wstring& name) {
    return besideModule(nullptr, name);
}

// CreateProcessW of `program` (nullptr: the first word of the command line names it) with
// `commandLine`, tried once more when Wine loses the process it is starting: it has been seen,
// rarely, to fail with ERROR_INTERNAL_ERROR (1359) under load, which says nothing about the
// program. On failure GetLastError() says why.
bool startProcess(const wchar_t* program, std::wstring commandLine, bool inheritHandles,
                  STARTUPINFOW& startup, PROCESS_INFORMATION& process);
