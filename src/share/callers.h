// Who may use the sharing service: while it serves any program, only programs of the logon
// session and user of the first one; the others are told the device is allocated, as if another
// program had the instrument. A program's session is known as it connects, its user only once it
// has sent a frame; both as the system tells them.
#pragma once

#include "platform/platform.h"

#include <cstdint>

struct ShareCallers {
    bool bound; // to the session and user below, while the service serves any program
    uint32_t session;
    uint32_t userBytes;
    uint8_t user[platform::userIdBytesMax];
};

// Whether a program of logon session `session` may connect now.
bool sessionMayConnect(const ShareCallers& callers, uint32_t session);
// Whether the program may use the service, as its first frame comes: the first one binds the
// service to its session and user.
bool callerMayUse(ShareCallers& callers, const platform::PipeCaller& caller);
