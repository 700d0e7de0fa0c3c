// The sharing service's work, apart from how the system runs it (host.cpp).
#pragma once

#include "platform/platform.h"

// Holds the serial port and serves every program's connections until none has been there for a
// few seconds, the line fails or `stopRequested` is signalled; `running` is called once the pipe
// listens and the port is held. `asService`: the pipe takes the service's security. Answers the
// exit status: 0, or 1 when the pipe or the port cannot be had or the line failed.
int serveSharing(bool asService, platform::Handle stopRequested, void (*running)());
