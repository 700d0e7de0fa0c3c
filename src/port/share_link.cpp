#include "port/share_link.h"

#include "platform/host.h"

namespace {

constexpr uint32_t ERROR_SERVICE_DOES_NOT_EXIST = 1060;
// How often an open looks for the service's pipe while the service starts, and asks for the
// service again when it has not come: one that could not have the port ends at once.
constexpr uint32_t serviceLookMs = 20;
constexpr uint32_t serviceStartIntervalMs = 500;

} // namespace

void loseConnection(ShareLink& link) {
    platform::closeHandle(link.pipe);
    link.pipe = platform::nullHandle;
    link.lastTry = platform::milliseconds();
}

namespace {

bool isAnswered(ShareFrameKind kind, uint16_t flags) {
    return kind != ShareFrameKind::message || (flags & shareAnswerWanted) != 0;
}

// One request on the connection, and its answer when one comes; a connection that fails either
// way is let go, and the request fails as on a lost line.
uint32_t exchange(ShareLink& link, ShareFrameKind kind, uint16_t flags, const uint8_t* payload,
                  uint32_t length) {
    uint32_t size = writeShareFrame(kind, flags, payload, length, link.frame);
    if (platform::writePipe(link.pipe, link.frame, size, &link.record, shareRequestWaitMs) !=
        platform::WriteEnd::done) {
        loseConnection(link);
        return MMSYSERR_INVALPARAM;
    }
    if (!isAnswered(kind, flags)) {
        return MMSYSERR_NOERROR;
    }
    // An input's stop may find input sent before it still on its way: it is not the client's
    // any longer.
    ShareFrame frame;
    do {
        uint32_t count = 0;
        if (platform::readPipe(link.pipe, link.frame, shareFrameBytesMax, &link.record,
                               shareRequestWaitMs, count) != platform::WriteEnd::done ||
            !readShareAnswer(link.frame, count, frame)) {
            loseConnection(link);
            return MMSYSERR_INVALPARAM;
        }
    } while (frame.kind == ShareFrameKind::input);
    return readU32(frame.payload);
}

enum class Reach { connected, absent, refused };

// Connects to the service's pipe, makes sure the service is who answers, and says hello.
Reach reachService(ShareLink& link) {
    platform::Handle pipe = platform::connectPipe(sharePipeName, ownerLockWaitMs);
    if (pipe == platform::invalidHandle) {
        return platform::lastError() == ERROR_FILE_NOT_FOUND ? Reach::absent : Reach::refused;
    }
    if (!platform::pipeServerIsTrusted(pipe)) {
        platform::closeHandle(pipe);
        return Reach::refused;
    }
    link.pipe = pipe;
    ShareHello hello = {shareProtocolVersion, link.kind == kindInput ? shareInput : shareOutput,
                        link.device, platform::currentProcess().id};
    uint8_t payload[shareHelloBytes];
    writeShareHello(hello, payload);
    return exchange(link, ShareFrameKind::hello, 0, payload, shareHelloBytes) == MMSYSERR_NOERROR
               ? Reach::connected
               : Reach::refused;
}

} // namespace

uint32_t connectShare(ShareLink& link, DeviceKind kind, uint32_t index) {
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
        Reach reached = reachService(link);
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
    link.viaService = true;
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
    link.viaService = false;
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
        link.lastTry = platform::milliseconds();
        Reach reached = reachService(link);
        if (reached == Reach::absent) {
            platform::startService(shareServiceName);
        }
        if (reached != Reach::connected) {
            return MMSYSERR_INVALPARAM;
        }
    }
    return exchange(link, kind, flags, payload, length);
}
