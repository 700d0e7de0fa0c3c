// The security the driver's named objects are made with: full access for the user who runs the
// program and for the system, nobody else. Without it an object takes its maker's default
// security, and one made by a program run as administrator would be open to the administrators
// only: every program the same user runs without elevation would find the driver's shared record
// and owner lock closed to it, and could not use the instrument.
#pragma once

#include <windows.h>

#include <sddl.h>

namespace platform {

struct UserOnlySecurity {
    SECURITY_ATTRIBUTES attributes;
    PSECURITY_DESCRIPTOR descriptor; // LocalAlloc'ed; null when the user could not be found
};

// Fills `security` for the calling process's user; `unsandboxed` labels the object medium
// integrity, neither readable nor writable from below. When that cannot be done the object is
// made with default security: usable, if not by every program of the user.
inline SECURITY_ATTRIBUTES* userOnlySecurity(UserOnlySecurity& security, bool unsandboxed = false) {
    security = {};
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return nullptr;
    }
    // TOKEN_USER and the largest SID fit with room to spare.
    alignas(TOKEN_USER) BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    bool known = GetTokenInformation(token, TokenUser, user, sizeof user, &size) != 0;
    CloseHandle(token);
    LPWSTR sid = nullptr;
    if (!known || !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &sid)) {
        return nullptr;
    }
    WCHAR sddl[256];
    int length = wsprintfW(sddl, L"D:P(A;;GA;;;SY)(A;;GA;;;%s)%s", sid,
                           unsandboxed ? L"S:(ML;;NWNR;;;ME)" : L"");
    LocalFree(sid);
    if (length <= 0 || !ConvertStringSecurityDescriptorToSecurityDescriptorW(
                           sddl, SDDL_REVISION_1, &security.descriptor, nullptr)) {
        security.descriptor = nullptr;
        return nullptr;
    }
    security.attributes = {sizeof(SECURITY_ATTRIBUTES), security.descriptor, FALSE};
    return &security.attributes;
}

inline void freeUserOnlySecurity(UserOnlySecurity& security) {
    if (security.descriptor != nullptr) {
        LocalFree(security.descriptor);
    }
}

} // namespace platform
