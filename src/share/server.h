// The sharing service's side of its pipe: the instances that wait for programs, and a connection
// per program's stream, on the platform's calls. A connection's frames go to the hub, one at a
// time once its message has gone out, and what the hub owes it (an answer, its input) goes back.
// A program is turned away, and told so by its connection's end, when it is of another session or
// user than those the service serves, has all its places taken, says no hello in time, or sends a
// frame it may not send. Everything runs on the service's one thread: the routines run while it
// waits alertably, and only note what completed.
#pragma once

#include "platform/platform.h"
#include "share/callers.h"
#include "share/hub.h"

#include <cstdint>

// A connection whose program has not said who it is by then is ended: it holds a place of its
// program's meanwhile.
constexpr uint32_t shareHelloDeadlineMs = 2000;
// Instances of the pipe waiting for programs at once: a program that connects and goes again as
// fast as it can takes one of them at a time, and leaves the others to everyone else.
constexpr uint32_t shareListenersMax = 4;
// Connections whose program has gone may still wait for their routines beside a full house.
constexpr uint32_t shareConnectionsMax = 2 * shareClientsMax;

struct ShareServer;
struct ServerConnection;

// An I/O record that knows its connection: the routines find their way back through it.
struct ServerIo {
    platform::CompletionRecord record; // first: its routine is handed the record
    ServerConnection* connection;
};

struct ServerConnection {
    ShareServer* server;
    platform::Handle pipe;
    platform::PipeCaller caller;
    bool callerChecked; // its program's session and user, looked at with its first frame
    uint32_t acceptedAt;
    int32_t client; // the hub's slot, or -1 once it has been let go
    ServerIo read;
    ServerIo write;
    bool reading;
    bool writing;
    bool closing;
    uint8_t frame[shareFrameBytesMax]; // what was read, kept until its message has gone out
    uint8_t out[shareFrameBytesMax];   // what is being written
};

struct ShareServer {
    ShareHub hub;
    ShareCallers callers;
    bool asService; // the pipe's security: the service's, or the caller's defaults
    bool traced;    // each program turned away is told to a debug viewer
    ServerConnection* connections[shareConnectionsMax];
    platform::Handle listening[shareListenersMax]; // the instances waiting for the next programs
    platform::CompletionRecord connecting[shareListenersMax]; // their events wake the service
};

// Makes the server's events and its first listening instance; false when another service has
// the pipe already or no event can be had (then `stopServer` lets go of what was made).
bool startServer(ShareServer& server, bool asService, bool traced);
// Every listening instance that has none listens again; false while the system gives none.
bool listenAgain(ShareServer& server);
// A listening instance has a program: it becomes a connection, or is let go at once when the
// program may not have one, and the instance listens anew.
void acceptConnection(ShareServer& server, uint32_t listener);
// Answers what each connection is owed, reads from those the hub reads next, and frees those
// whose routines have all run. Once no connection is left, the next program may be of any
// session and user.
void serveConnections(ShareServer& server);
// Ends a connection whose program has said no hello within shareHelloDeadlineMs of `now`; how soon
// the next one falls due, or platform::noTimeLimit.
uint32_t endSilentConnections(ShareServer& server, uint32_t now);
void closeEveryConnection(ShareServer& server);
bool anyConnection(const ShareServer& server);
// Closes the listening instances and the events. Connections are the caller's to close first.
void stopServer(ShareServer& server);
