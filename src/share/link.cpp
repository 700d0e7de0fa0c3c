#include "share/link.h"

#include "monitor/monitor.h"
#include "platform/host.h"

namespace {

constexpr uint32_t ERROR_SERVICE_DOES_NOT_EXIST = 1060;
// How often an open looks for the service's pipe while the service starts, and asks for the
// service again when it has not come: one that could not have the port ends at once.
constexpr uint32_t serviceLookMs = 20;
constexpr uint32_t serviceStartIntervalMs = 500;
// How often a send on a lost connection asks for the service again: one that cannot have the
// port ends at once, and must not be started a few times a second for as long as that lasts.
constexpr uint32_t serviceRestartIntervalMs = 2000;

// The service's line is the instrument's: a lost connection is told as a lost line, once for every
// stream of the process that loses it, and its return once.
void tellOfConnection(const ShareLink& link, bool lost) {
    PortLine& line = *link.line;
    if (line.serviceAway.exchange(lost) == lost) {
        return;
    }
    countUp(line.monitor, lost ? Count::lineLosses : Count::lineRecoveries);
    trace(line.monitor, {lost ? TraceEvent::lineLost : TraceEvent::lineBack, 0, 0, traceViaService,
                         MMSYSERR_NOERROR});
    setLineState(line.monitor, lost ? LineState::lost : LineState::up);
}

} // namespace

void loseConnection(ShareLink& link) {
    if (link.established) {
        tellOfConnection(link, true);
    }
    platform::closeHandle(link.pipe);
    link.pipe = platform::nullHandle;
    link.lastTry = platform::milliseconds();
    link.runningStatusLost = true;
}

namespace {

// A message may wait behind other programs' exclusives, and a reset behind the stream's own long
// message; the service answers everything else at once.
uint32_t waitFor(ShareFrameKind kind) {
    return kind == ShareFrameKind::message || kind == ShareFrameKind::reset ? shareRequestWaitMs
                                                                            : ownerLockWaitMs;
}

// One request on the connection, and its answer when one comes; a connection that fails either
// way is let go, and the request fails as on a lost line.
uint32_t exchange(ShareLink& link, ShareFrameKind kind, uint16_t flags, const uint8_t* payload,
                  uint32_t length) {
    uint32_t size = writeShareFrame(kind, flags, payload, length, link.frame);
    if (platform::writePipe(link.pipe, link.frame, size, &link.record, waitFor(kind)) !=
        platform::IoEnd::done) {
        loseConnection(link);
        return MMSYSERR_INVALPARAM;
    }
    if (!shareIsAnswered(kind, flags)) {
        return MMSYSERR_NOERROR;
    }
    // An input's stop may find input sent before it still on its way: it is not the client's
    // any longer. Nothing else comes before an answer.
    ShareFrame frame;
    do {
        uint32_t count = 0;
        if (platform::readPipe(link.pipe, link.frame, shareFrameBytesMax, &link.record,
                               waitFor(kind), count) != platform::IoEnd::done ||
            !readShareAnswer(link.frame, count, frame) ||
            (frame.kind == ShareFrameKind::input && kind != ShareFrameKind::stopInput)) {
            loseConnection(link);
            return MMSYSERR_INVALPARAM;
        }
    } while (frame.kind == ShareFrameKind::input);
    return readU32(frame.payload);
}

enum class Reach { connected, absent, refused };

// Connects to the service's pipe, waiting at most `busyWait` ms while all its instances are
// busy, makes sure the service is who answers, and says hello. Holds nothing unless connected.
Reach reachService(ShareLink& link, uint32_t busyWait) {
    platform::Handle pipe = platform::connectPipe(sharePipeName, busyWait);
    if (pipe == platform::invalidHandle) {
        return platform::lastError() == ERROR_FILE_NOT_FOUND ? Reach::absent : Reach::refused;
    }
    if (!platform::pipeServerIsTrusted(pipe, shareServiceName)) {
        platform::closeHandle(pipe);
        return Reach::refused;
    }
    link.pipe = pipe;
    ShareHello hello = {shareProtocolVersion, link.kind == kindInput ? shareInput : shareOutput,
                        link.device, platform::currentProcess().id};
    uint8_t payload[shareHelloBytes];
    writeShareHello(hello, payload);
    if (exchange(link, ShareFrameKind::hello, 0, payload, shareHelloBytes) != MMSYSERR_NOERROR) {
        if (link.pipe != platform::nullHandle) {
            loseConnection(link);
        }
        return Reach::refused;
    }
    return Reach::connected;
}

} // namespace

uint32_t connectShare(ShareLink& link, PortLine& line, DeviceKind kind, uint32_t index) {
    link.line = &line;
    link.kind = kind;
    link.device = index;
    link.record.event = platform::createEvent();
    if (link.record.event == platform::nullHandle) {
        return MMSYSERR_NOMEM;
    }
    uint32_t start = platform::milliseconds();
    uint32_t startAsked = start - serviceStartIntervalMs;
    uint32_t status = MMSYSERR_ALLOCATED;
    for (;;) {
        Reach reached = reachService(link, ownerLockWaitMs);
        if (reached != Reach::absent) {
            status = reached == Reach::connected ? MMSYSERR_NOERROR : MMSYSERR_ALLOCATED;
            break;
        }
        uint32_t now = platform::milliseconds();
        if (now - startAsked >= serviceStartIntervalMs) {
            startAsked = now;
            if (!platform::startService(shareServiceName) &&
                platform::lastError() == ERROR_SERVICE_DOES_NOT_EXIST) {
                status = MMSYSERR_NODRIVER;
                break;
            }
        }
        if (now - start >= ownerLockWaitMs) {
            break;
        }
        platform::pause(serviceLookMs);
    }
    if (status != MMSYSERR_NOERROR) {
        platform::closeHandle(link.record.event);
        link.record.event = platform::nullHandle;
        return status;
    }
    link.established = true;
    tellOfConnection(link, false); // back, if the process's other streams had lost it
    setLineState(line.monitor, LineState::up);
    // A connection lost from now on may ask for the service again at once.
    link.lastServiceStart = platform::milliseconds() - serviceRestartIntervalMs;
    return MMSYSERR_NOERROR;
}

void disconnectShare(ShareLink& link) {
    std::lock_guard<std::mutex> hold(link.lock);
    if (link.pipe != platform::nullHandle) {
        platform::closeHandle(link.pipe);
        link.pipe = platform::nullHandle;
    }
    if (link.record.event != platform::nullHandle) {
        platform::closeHandle(link.record.event);
        link.record.event = platform::nullHandle;
    }
    link.established = false;
}

uint32_t shareRequest(ShareLink& link, ShareFrameKind kind, uint16_t flags, const uint8_t* payload,
                      uint32_t length) {
    std::lock_guard<std::mutex> hold(link.lock);
    if (link.pipe == platform::nullHandle) {
        // The service ended with its line, or was stopped: it is asked for again, and the
        // connection is made again once it listens.
        if (platform::milliseconds() - link.lastTry < reopenIntervalMs) {
            return MMSYSERR_INVALPARAM;
        }
        uint32_t now = platform::milliseconds();
        link.lastTry = now;
        Reach reached = reachService(link, 1);
        if (reached == Reach::absent && now - link.lastServiceStart >= serviceRestartIntervalMs) {
            link.lastServiceStart = now;
            platform::startService(shareServiceName);
        }
        if (reached != Reach::connected) {
            return MMSYSERR_INVALPARAM;
        }
        tellOfConnection(link, false);
    }
    return exchange(link, kind, flags, payload, length);
}
