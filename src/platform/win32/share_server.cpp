#include "platform/platform.h"

#include <windows.h>

#include <sddl.h>

namespace {

static_assert(platform::userIdBytesMax == SECURITY_MAX_SID_SIZE);

// As a service the pipe lets interactive users read and write it (FILE_READ_DATA, FILE_WRITE_DATA,
// their attributes and SYNCHRONIZE), never FILE_CREATE_PIPE_INSTANCE: nobody else can listen in
// the service's place.
constexpr wchar_t servicePipeSecurity[] = L"D:P(A;;GA;;;SY)(A;;0x100183;;;IU)";

HANDLE newPipeInstance(LPCWSTR name, DWORD bufferBytes, bool first, bool asService) {
    SECURITY_ATTRIBUTES security = {sizeof security, nullptr, FALSE};
    if (asService &&
        !ConvertStringSecurityDescriptorToSecurityDescriptorW(
            servicePipeSecurity, SDDL_REVISION_1, &security.lpSecurityDescriptor, nullptr)) {
        return INVALID_HANDLE_VALUE;
    }
    DWORD openMode =
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    HANDLE pipe = CreateNamedPipeW(
        name, openMode, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_REJECT_REMOTE_CLIENTS,
        PIPE_UNLIMITED_INSTANCES, bufferBytes, bufferBytes, 0, asService ? &security : nullptr);
    if (security.lpSecurityDescriptor != nullptr) {
        LocalFree(security.lpSecurityDescriptor);
    }
    return pipe;
}

} // namespace

namespace platform {

Handle listenOnPipe(const char16_t* name, uint32_t messageBytesMax, bool first, bool asService,
                    CompletionRecord* connecting) {
    HANDLE pipe =
        newPipeInstance(reinterpret_cast<LPCWSTR>(name), messageBytesMax, first, asService);
    if (pipe == INVALID_HANDLE_VALUE) {
        return invalidHandle;
    }
    auto* overlapped = reinterpret_cast<OVERLAPPED*>(connecting);
    ResetEvent(overlapped->hEvent);
    // A program that came (and perhaps went) before the wait began is taken all the same; a
    // connection that is already broken ends at its first read.
    if (ConnectNamedPipe(pipe, overlapped) || GetLastError() != ERROR_IO_PENDING) {
        SetEvent(overlapped->hEvent);
    }
    return reinterpret_cast<Handle>(pipe);
}

bool pipeCaller(Handle pipe, PipeCaller& caller) {
    auto handle = reinterpret_cast<HANDLE>(pipe);
    ULONG processId = 0;
    ULONG session = 0;
    if (!GetNamedPipeClientProcessId(handle, &processId) ||
        !GetNamedPipeClientSessionId(handle, &session)) {
        return false;
    }
    caller.processId = processId;
    caller.session = session;
    return true;
}

bool pipeCallerUser(Handle pipe, PipeCaller& caller) {
    auto handle = reinterpret_cast<HANDLE>(pipe);
    ULONG session = 0;
    if (!GetNamedPipeClientSessionId(handle, &session) || !ImpersonateNamedPipeClient(handle)) {
        return false;
    }
    HANDLE token = nullptr;
    bool opened = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) != 0;
    // The service runs as the system: it must never go on as the program it asked about. Should
    // it fail to become itself again, it ends, and every program finds its connection broken.
    if (!RevertToSelf()) {
        ExitProcess(1);
    }
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    bool told =
        opened && GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
        CopySid(userIdBytesMax, caller.user, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
    if (opened) {
        CloseHandle(token);
    }
    if (told) {
        caller.session = session;
        caller.userBytes = GetLengthSid(caller.user);
    }
    return told;
}

} // namespace platform
