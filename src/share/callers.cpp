#include "share/callers.h"

#include <algorithm>

bool sessionMayConnect(const ShareCallers& callers, uint32_t session) {
    return !callers.bound || session == callers.session;
}

bool callerMayUse(ShareCallers& callers, const platform::PipeCaller& caller) {
    if (caller.userBytes > platform::userIdBytesMax) {
        return false;
    }
    if (callers.bound) {
        return caller.session == callers.session && caller.userBytes == callers.userBytes &&
               std::equal(caller.user, caller.user + caller.userBytes, callers.user);
    }
    callers.bound = true;
    callers.session = caller.session;
    callers.userBytes = caller.userBytes;
    std::copy(caller.user, caller.user + caller.userBytes, callers.user);
    return true;
}
