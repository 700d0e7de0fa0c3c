// melvpcif-share: the sharing service. While programs have the driver's devices open with sharing
// on, it holds the serial port for all of them: it takes each stream's frames from the stream's
// own pipe connection, puts their messages onto the line through the hub, and hands what the
// instrument sends to every started input. It ends a few seconds after its last connection, or
// at once when the port cannot be had.
//
// This file is its main loop; host.cpp is how the system runs it (as a service, or from a
// console), share/server.* its side of the pipe and who may connect, share/service_line.* its
// line.
//
// Everything happens on one thread: pipe and line I/O complete through routines that run while
// it waits alertably, so that no lock is needed and no program's pace can stop another's.
#include "sharing.h"

#include "config/settings.h"
#include "line/shared_state.h"
#include "share/server.h"
#include "share/service_line.h"

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {

// How long the service stays with no connection before it ends.
constexpr uint32_t idleEndMs = 5000;
// How often it looks at an exclusive under way that its program may have left idle; otherwise it
// sleeps until something happens.
constexpr uint32_t holdCheckMs = 100;
// How soon the service tries again to listen when the system would not give it a pipe instance.
constexpr uint32_t listenRetryMs = 1000;

struct Service {
    ShareServer server;
    ServiceLine line;
    platform::Handle stopRequested;
};

bool openLine(ServiceLine& line) {
    SharedState settings = {};
    loadSettings(settings);
    return openServiceLine(line, settings.portNumber);
}

// Ends what has run out of time: a line write the line does not take, a connection whose program
// says nothing. Answers how soon the next of these falls due, for the wait.
uint32_t endOverdue(Service& service) {
    uint32_t now = platform::milliseconds();
    return std::min(endOverdueWrite(service.line, now), endSilentConnections(service.server, now));
}

// Serves every connection and the line until no connection has been there for idleEndMs, the
// line has failed (then every program finds its connection broken) or the service is stopped.
int serve(Service& service) {
    ShareServer& server = service.server;
    uint32_t idleSince = platform::milliseconds();
    for (;;) {
        if (service.line.failed) {
            closeEveryConnection(server);
        }
        bool listening = listenAgain(server);
        uint32_t limit = endOverdue(service);
        takeServiceLineInput(service.line, server.hub);
        // The line, then the connections, twice: a message that has just gone out whole lets its
        // connection be read from and answered, and a connection found broken meanwhile has its
        // silencing started, before the service waits.
        for (int pass = 0; pass < 2; ++pass) {
            writeServiceLine(service.line, server.hub, platform::milliseconds());
            serveConnections(server);
        }
        // A gone program's silencing still goes out before the service ends.
        bool working =
            anyConnection(server) ||
            (!service.line.failed && (!hubIsIdle(server.hub) || service.line.write.underWay));
        uint32_t idleFor = platform::milliseconds() - idleSince;
        if (working) {
            idleSince = platform::milliseconds();
            if (server.hub.wire.holder != nullptr) {
                limit = std::min(limit, holdCheckMs);
            }
        } else if (service.line.failed || idleFor >= idleEndMs) {
            return service.line.failed ? 1 : 0;
        } else {
            limit = std::min(limit, idleEndMs - idleFor);
        }
        if (!listening) {
            limit = std::min(limit, listenRetryMs);
        }
        platform::Handle events[shareListenersMax + 1];
        for (uint32_t i = 0; i < shareListenersMax; ++i) {
            events[i] = server.connecting[i].event;
        }
        events[shareListenersMax] = service.stopRequested;
        uint32_t which = 0;
        if (platform::waitAlertablyForAny(events, shareListenersMax + 1, limit, which) ==
            platform::Woken::bySignal) {
            if (which == shareListenersMax) {
                return 0; // what is under way goes no further: the system is stopping the service
            }
            acceptConnection(server, which);
        }
    }
}

} // namespace

int serveSharing(bool asService, platform::Handle stopRequested, void (*running)()) {
    auto service = std::make_unique<Service>();
    service->stopRequested = stopRequested;
    if (!startServer(service->server, asService, developerTraceWanted())) {
        // Most often another one has the pipe; the error tells it apart from a system short of
        // events or of the pipe's security.
        unsigned long error = platform::lastError();
        stopServer(service->server);
        std::fwprintf(stderr,
                      L"melvpcif-share: its pipe cannot be made, as when another one runs "
                      L"already (error %lu)\n",
                      error);
        return 1;
    }
    if (!openLine(service->line)) {
        stopServer(service->server);
        std::fwprintf(stderr, L"melvpcif-share: the serial port cannot be had\n");
        return 1;
    }
    // The one thread every program's input and output go through: late, it is late for all.
    platform::raiseToTimeCritical();
    running();
    int status = serve(*service);
    closeServiceLine(service->line); // the reads end; their routines run no more once this returns
    stopServer(service->server);
    return status;
}
