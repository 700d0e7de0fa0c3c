// A stream's connection to the sharing service, which holds the port for every program while the
// instrument is shared (ARCHITECTURE.md, "Sharing the instrument"): the stream's requests go there
// whole, one at a time, and those that are answered are waited for.
#pragma once

#include "line/port_write.h"
#include "share/protocol.h"

#include <atomic>
#include <cstdint>
#include <mutex>

// How long a request waits for the service to take it and, when it asks, to answer: a long
// message may wait behind another program's exclusive before its own goes out.
constexpr uint32_t shareRequestWaitMs = 2 * writeDeadline(shareMessageBytesMax);

struct ShareLink {
    bool established;      // the open made the connection: its losses and returns are told from now
    platform::Handle pipe; // nullHandle while the connection is lost
    platform::CompletionRecord record; // for every request; its event made at the connection
    DeviceKind kind;
    uint32_t device;
    PortLine* line;            // the process's, for what a monitor is told of the connection
    uint32_t lastTry;          // when a lost connection was last tried again
    uint32_t lastServiceStart; // and when the service was last asked for then
    // The connection was lost since the stream's running status last went out: the service
    // knows none of the stream's on the next one, and would drop data sent under it.
    std::atomic<bool> runningStatusLost;
    std::mutex lock; // one request, with its answer, at a time
    uint8_t frame[shareFrameBytesMax];
};

// Connects the stream to the service and says which device it opened, starting the service when
// nobody listens and waiting for it for at most ownerLockWaitMs: MMSYSERR_NODRIVER when the
// service is not installed, MMSYSERR_ALLOCATED when it does not come or does not take the stream
// (it serves another user's programs). The link holds nothing after a failure.
uint32_t connectShare(ShareLink& link, PortLine& line, DeviceKind kind, uint32_t index);
// The connection failed: it is let go, and tried again from now on.
void loseConnection(ShareLink& link);
// Lets the connection go: the service silences what the stream left sounding.
void disconnectShare(ShareLink& link);
// Sends one request and, for all but a message that does not ask for one, waits for the answer;
// its status. A lost connection is tried again at most every reopenIntervalMs, as a lost line is:
// until it is back, requests fail as on a lost line.
uint32_t shareRequest(ShareLink& link, ShareFrameKind kind, uint16_t flags, const uint8_t* payload,
                      uint32_t length);
