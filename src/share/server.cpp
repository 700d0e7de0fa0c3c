#include "share/server.h"

#include "line/port_names.h"
#include "platform/host.h"

namespace {

constexpr uint32_t errorSuccess = 0;
constexpr uint32_t errorMoreData = 234; // a message longer than the read's buffer

// A line for a debug viewer, with the developer trace, when a connection is turned away.
void traceRefusal(const ShareServer& server, uint32_t processId, const char16_t* why) {
    if (!server.traced) {
        return;
    }
    constexpr size_t lineLength = 160;
    char16_t line[lineLength];
    char16_t digits[numberTextLength];
    formatNumber(processId, digits);
    size_t at = copyText(u"melvpcif-share: a connection of process ", line, lineLength);
    at += copyText(digits, line + at, lineLength - at);
    at += copyText(u" turned away: ", line + at, lineLength - at);
    at += copyText(why, line + at, lineLength - at);
    copyText(u"\n", line + at, lineLength - at);
    platform::debugOutput(line);
}

bool listen(ShareServer& server, uint32_t listener, bool first) {
    server.listening[listener] = platform::listenOnPipe(
        sharePipeName, shareFrameBytesMax, first, server.asService, &server.connecting[listener]);
    return server.listening[listener] != platform::invalidHandle;
}

// Ends the connection: its stream's silencing goes out through the hub, and the connection's
// memory goes once no routine of it can still run.
void closeConnection(ServerConnection& connection) {
    if (connection.client >= 0) {
        clientGone(connection.server->hub, static_cast<uint32_t>(connection.client));
        connection.client = -1;
    }
    if (!connection.closing) {
        connection.closing = true;
        platform::closeHandle(connection.pipe); // what is under way ends, its routine still runs
    }
}

void freeIfDone(ShareServer& server, uint32_t index) {
    ServerConnection* connection = server.connections[index];
    if (connection != nullptr && connection->closing && !connection->reading &&
        !connection->writing) {
        delete connection;
        server.connections[index] = nullptr;
    }
}

// The first program binds the service to its logon session and user; while it serves any, the
// programs of other sessions and users are refused.
bool programMayUse(ServerConnection& connection) {
    if (!connection.callerChecked) {
        connection.callerChecked = platform::pipeCallerUser(connection.pipe, connection.caller) &&
                                   callerMayUse(connection.server->callers, connection.caller);
    }
    return connection.callerChecked;
}

ServerConnection& connectionOf(platform::CompletionRecord* record) {
    return *reinterpret_cast<ServerIo*>(record)->connection;
}

void frameRead(uint32_t error, uint32_t count, platform::CompletionRecord* record) {
    ServerConnection& connection = connectionOf(record);
    connection.reading = false;
    if (connection.closing) {
        return;
    }
    // A frame too long for any request ends in ERROR_MORE_DATA: refused like any other bad one.
    // Any other error is the program's going.
    const char16_t* refused = nullptr;
    if (error == errorMoreData) {
        refused = u"a frame too long";
    } else if (error == errorSuccess && !programMayUse(connection)) {
        refused = u"a program of another user or session";
    } else if (error == errorSuccess &&
               !takeRequest(connection.server->hub, static_cast<uint32_t>(connection.client),
                            connection.frame, count)) {
        refused = u"a frame it may not send now";
    }
    if (refused != nullptr) {
        traceRefusal(*connection.server, connection.caller.processId, refused);
    }
    if (error != errorSuccess || refused != nullptr) {
        closeConnection(connection);
    }
}

void frameWritten(uint32_t error, uint32_t, platform::CompletionRecord* record) {
    ServerConnection& connection = connectionOf(record);
    connection.writing = false;
    if (error != errorSuccess && !connection.closing) {
        closeConnection(connection);
    }
}

void startFrameRead(ServerConnection& connection) {
    connection.reading = true;
    if (!platform::startRead(connection.pipe, connection.frame, sizeof connection.frame,
                             &connection.read.record, frameRead)) {
        connection.reading = false;
        closeConnection(connection);
    }
}

void startFrameWrite(ServerConnection& connection, uint32_t count) {
    connection.writing = true;
    if (!platform::startWriteWithRoutine(connection.pipe, connection.out, count,
                                         &connection.write.record, frameWritten)) {
        connection.writing = false;
        closeConnection(connection);
    }
}

// An answer to what the connection asked, or else the input waiting for it.
void answerOrHandInput(ServerConnection& connection) {
    ShareHub& hub = connection.server->hub;
    auto client = static_cast<uint32_t>(connection.client);
    if (takeAnswer(hub, client)) {
        uint8_t status[4];
        writeU32(status, MMSYSERR_NOERROR);
        startFrameWrite(connection,
                        writeShareFrame(ShareFrameKind::answer, 0, status, 4, connection.out));
        return;
    }
    uint32_t count = takeInputFrame(hub, client, connection.out);
    if (count > 0) {
        startFrameWrite(connection, count);
    }
}

void serveConnection(ServerConnection& connection) {
    if (connection.closing) {
        return;
    }
    if (!connection.writing) {
        answerOrHandInput(connection);
    }
    if (!connection.closing && !connection.reading &&
        readsNext(connection.server->hub, static_cast<uint32_t>(connection.client))) {
        startFrameRead(connection);
    }
}

ServerConnection** freeEntry(ShareServer& server) {
    for (ServerConnection*& entry : server.connections) {
        if (entry == nullptr) {
            return &entry;
        }
    }
    return nullptr;
}

} // namespace

bool startServer(ShareServer& server, bool asService, bool traced) {
    resetHub(server.hub);
    server.callers = {};
    server.asService = asService;
    server.traced = traced;
    for (uint32_t i = 0; i < shareListenersMax; ++i) {
        server.connecting[i] = {};
        server.connecting[i].event = platform::createEvent();
        server.listening[i] = platform::invalidHandle;
        if (server.connecting[i].event == platform::nullHandle) {
            return false;
        }
    }
    return listen(server, 0, true);
}

bool listenAgain(ShareServer& server) {
    bool all = true;
    for (uint32_t i = 0; i < shareListenersMax; ++i) {
        if (server.listening[i] == platform::invalidHandle) {
            all = listen(server, i, false) && all;
        }
    }
    return all;
}

void acceptConnection(ShareServer& server, uint32_t listener) {
    platform::Handle pipe = server.listening[listener];
    ServerConnection** entry = freeEntry(server);
    platform::PipeCaller caller = {};
    bool known = platform::pipeCaller(pipe, caller);
    bool sameSession = known && sessionMayConnect(server.callers, caller.session);
    int32_t client =
        entry != nullptr && sameSession ? openClient(server.hub, caller.processId) : -1;
    if (client < 0) {
        // The program is told the device is allocated.
        traceRefusal(server, caller.processId,
                     !known         ? u"its process or session cannot be told"
                     : !sameSession ? u"a program of another session"
                                    : u"every place taken, or the program's eight");
        platform::closeHandle(pipe);
    } else {
        auto* connection = new ServerConnection{};
        connection->server = &server;
        connection->pipe = pipe;
        connection->caller = caller;
        connection->client = client;
        connection->read.connection = connection;
        connection->write.connection = connection;
        connection->acceptedAt = platform::milliseconds();
        *entry = connection;
    }
    listen(server, listener, false);
}

void serveConnections(ShareServer& server) {
    for (uint32_t i = 0; i < shareConnectionsMax; ++i) {
        if (server.connections[i] != nullptr) {
            serveConnection(*server.connections[i]);
        }
        freeIfDone(server, i);
    }
    server.callers.bound = server.callers.bound && anyConnection(server);
}

uint32_t endSilentConnections(ShareServer& server, uint32_t now) {
    uint32_t soonest = platform::noTimeLimit;
    for (ServerConnection* connection : server.connections) {
        if (connection == nullptr || connection->closing || connection->callerChecked) {
            continue;
        }
        uint32_t elapsed = now - connection->acceptedAt;
        if (elapsed >= shareHelloDeadlineMs) {
            traceRefusal(server, connection->caller.processId, u"no hello in time");
            closeConnection(*connection);
        } else if (shareHelloDeadlineMs - elapsed < soonest) {
            soonest = shareHelloDeadlineMs - elapsed;
        }
    }
    return soonest;
}

void closeEveryConnection(ShareServer& server) {
    for (ServerConnection* connection : server.connections) {
        if (connection != nullptr) {
            closeConnection(*connection);
        }
    }
}

bool anyConnection(const ShareServer& server) {
    for (const ServerConnection* connection : server.connections) {
        if (connection != nullptr) {
            return true;
        }
    }
    return false;
}

void stopServer(ShareServer& server) {
    for (uint32_t i = 0; i < shareListenersMax; ++i) {
        if (server.listening[i] != platform::invalidHandle) {
            platform::closeHandle(server.listening[i]);
        }
        if (server.connecting[i].event != platform::nullHandle) {
            platform::closeHandle(server.connecting[i].event);
        }
    }
}
