// melvpcif-share: the sharing service. While programs have the driver's devices open with sharing
// on, it holds the serial port for all of them: it takes each stream's frames from the stream's
// own pipe connection, puts their messages onto the line through the hub, and hands what the
// instrument sends to every started input. It ends a few seconds after its last connection, or
// at once when the port cannot be had.
//
//   melvpcif-share             as the machine's service, started on demand by the driver and
//                              once at every Windows start
//   melvpcif-share --console   the same in the calling program's session, for tests
//
// Each time the system starts it, it first puts back what Windows or a tool took away from the
// driver's registration (the watch, installer/machine_registration.h), says so in the event log,
// and ends at once unless programs share the instrument. Anybody who may start it may so have the
// registration repaired: it writes nothing but the driver's own registration, from constants.
//
// Only programs of the logon session and user of its first connection reach it while it has
// any: the pipe refuses remote programs and, as a service, lets interactive users read and write
// it but make no pipe of that name themselves.
//
// Everything happens on one thread: pipe and line I/O complete through routines that run while
// it waits alertably, so that no lock is needed and no program's pace can stop another's.
#include "config/settings.h"
#include "line/port.h"
#include "platform/host.h"
#include "share/hub.h"
#include "share/service_line.h"
// After the driver's headers: it brings the system's, whose multimedia names are macros.
#include "machine_registration.h"

#include <windows.h>

#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <memory>

namespace {

// How long the service stays with no connection before it ends.
constexpr DWORD idleEndMs = 5000;
// How often it looks at an exclusive under way that its program may have left idle; otherwise it
// sleeps until something happens.
constexpr DWORD holdCheckMs = 100;
// A connection whose program has not said who it is by then is ended: it holds a place of its
// program's meanwhile.
constexpr DWORD helloDeadlineMs = 2000;
// Instances of the pipe waiting for programs at once: a program that connects and goes again as
// fast as it can takes one of them at a time, and leaves the others to everyone else.
constexpr uint32_t listenersMax = 4;
// How soon the service tries again to listen when the system would not give it a pipe instance.
constexpr DWORD listenRetryMs = 1000;
// Connections whose program has gone may still wait for their routines beside a full house.
constexpr uint32_t connectionsMax = 2 * shareClientsMax;
constexpr DWORD pipeBufferBytes = shareFrameBytesMax;

struct Connection;
struct Service;

// An overlapped record that knows what it belongs to: the routines find their way back through
// it, as ReadFileEx and WriteFileEx leave the record's event to the caller.
struct Io {
    OVERLAPPED overlapped;
    Connection* connection;
};

struct Connection {
    Service* service;
    HANDLE pipe;
    bool callerChecked; // its program's session and user, looked at with its first frame
    DWORD acceptedAt;
    int32_t client; // the hub's slot, or -1 once it has been let go
    Io read;
    Io write;
    bool reading;
    bool writing;
    bool closing;
    uint8_t frame[shareFrameBytesMax]; // what was read, kept until its message has gone out
    uint8_t out[shareFrameBytesMax];   // what is being written
};

struct Service {
    ShareHub hub;
    ServiceLine line;
    Connection* connections[connectionsMax];
    HANDLE listening[listenersMax]; // the pipe instances waiting for the next programs
    OVERLAPPED connecting[listenersMax];
    SECURITY_ATTRIBUTES* pipeSecurity; // null: the caller's own defaults
    HANDLE stopRequested;
    // The logon session and user that the programs it serves run as, while it serves any.
    bool bound;
    DWORD session;
    BYTE user[SECURITY_MAX_SID_SIZE];
};

bool developerTrace = false;    // asked for by the settings or the environment, at the start
HANDLE stopRequested = nullptr; // set when the system or the console asks the service to stop

// A line for a debug viewer, with the developer trace, when a connection is turned away.
void traceRefusal(DWORD processId, const wchar_t* why) {
    if (!developerTrace) {
        return;
    }
    wchar_t line[160];
    std::swprintf(line, sizeof line / sizeof line[0],
                  L"melvpcif-share: a connection of process %lu turned away: %ls\n", processId,
                  why);
    OutputDebugStringW(line);
}

HANDLE newPipeInstance(const Service& service, bool first) {
    DWORD openMode =
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    return CreateNamedPipeW(reinterpret_cast<LPCWSTR>(sharePipeName), openMode,
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_REJECT_REMOTE_CLIENTS,
                            PIPE_UNLIMITED_INSTANCES, pipeBufferBytes, pipeBufferBytes, 0,
                            service.pipeSecurity);
}

bool listen(Service& service, uint32_t listener, bool first) {
    OVERLAPPED& connecting = service.connecting[listener];
    ResetEvent(connecting.hEvent);
    HANDLE& listening = service.listening[listener];
    listening = newPipeInstance(service, first);
    if (listening == INVALID_HANDLE_VALUE) {
        return false;
    }
    // A program that came (and perhaps went) before the wait began is taken all the same; a
    // connection that is already broken ends at its first read.
    if (ConnectNamedPipe(listening, &connecting) || GetLastError() != ERROR_IO_PENDING) {
        SetEvent(connecting.hEvent);
    }
    return true;
}

// Every listening instance that has none listens again, for as long as the system gives them.
bool listenAgain(Service& service) {
    bool all = true;
    for (uint32_t i = 0; i < listenersMax; ++i) {
        if (service.listening[i] == INVALID_HANDLE_VALUE) {
            all = listen(service, i, false) && all;
        }
    }
    return all;
}

// --- connections ---

void letClientGo(Connection& connection) {
    if (connection.client >= 0) {
        clientGone(connection.service->hub, static_cast<uint32_t>(connection.client));
        connection.client = -1;
    }
}

// Ends the connection: its stream's silencing goes out through the hub, and the connection's
// memory goes once no routine of it can still run.
void closeConnection(Connection& connection) {
    letClientGo(connection);
    if (!connection.closing) {
        connection.closing = true;
        CloseHandle(connection.pipe); // what is under way ends, its routine still runs
    }
}

void freeIfDone(Service& service, uint32_t index) {
    Connection* connection = service.connections[index];
    if (connection != nullptr && connection->closing && !connection->reading &&
        !connection->writing) {
        delete connection;
        service.connections[index] = nullptr;
    }
}

// The user a connection's program runs as, into `user`; false when it cannot be told.
bool callerUser(HANDLE pipe, BYTE (&user)[SECURITY_MAX_SID_SIZE]) {
    if (!ImpersonateNamedPipeClient(pipe)) {
        return false;
    }
    HANDLE token = nullptr;
    bool opened = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) != 0;
    RevertToSelf();
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    bool told =
        opened && GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
        CopySid(SECURITY_MAX_SID_SIZE, user, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
    if (opened) {
        CloseHandle(token);
    }
    return told;
}

// The first program binds the service to its logon session and user; while it serves any, the
// programs of other sessions and users are refused, as if another program had the instrument.
bool callerMayUse(Connection& connection) {
    if (connection.callerChecked) {
        return true;
    }
    Service& service = *connection.service;
    DWORD session = 0;
    BYTE user[SECURITY_MAX_SID_SIZE];
    if (!GetNamedPipeClientSessionId(connection.pipe, &session) ||
        !callerUser(connection.pipe, user)) {
        return false;
    }
    if (!service.bound) {
        service.bound = true;
        service.session = session;
        CopySid(sizeof service.user, service.user, user);
    } else if (session != service.session || !EqualSid(user, service.user)) {
        return false;
    }
    connection.callerChecked = true;
    return true;
}

Connection* connectionOf(OVERLAPPED* overlapped) {
    return reinterpret_cast<Io*>(overlapped)->connection;
}

DWORD processOf(const Connection& connection) {
    return connection.service->hub.clients[connection.client].processId;
}

VOID CALLBACK frameRead(DWORD error, DWORD count, OVERLAPPED* overlapped) {
    Connection& connection = *connectionOf(overlapped);
    connection.reading = false;
    if (connection.closing) {
        return;
    }
    // A frame too long for any request ends in ERROR_MORE_DATA: refused like any other bad one.
    // Any other error is the program's going.
    const wchar_t* refused = nullptr;
    if (error == ERROR_MORE_DATA) {
        refused = L"a frame too long";
    } else if (error == ERROR_SUCCESS && !callerMayUse(connection)) {
        refused = L"a program of another user or session";
    } else if (error == ERROR_SUCCESS &&
               !takeRequest(connection.service->hub, static_cast<uint32_t>(connection.client),
                            connection.frame, count)) {
        refused = L"a frame it may not send now";
    }
    if (refused != nullptr) {
        traceRefusal(processOf(connection), refused);
    }
    if (error != ERROR_SUCCESS || refused != nullptr) {
        closeConnection(connection);
    }
}

VOID CALLBACK frameWritten(DWORD error, DWORD, OVERLAPPED* overlapped) {
    Connection& connection = *connectionOf(overlapped);
    connection.writing = false;
    if (error != ERROR_SUCCESS && !connection.closing) {
        closeConnection(connection);
    }
}

void startFrameRead(Connection& connection) {
    connection.reading = true;
    if (!ReadFileEx(connection.pipe, connection.frame, sizeof connection.frame,
                    &connection.read.overlapped, frameRead)) {
        connection.reading = false;
        closeConnection(connection);
    }
}

void startFrameWrite(Connection& connection, uint32_t count) {
    connection.writing = true;
    if (!WriteFileEx(connection.pipe, connection.out, count, &connection.write.overlapped,
                     frameWritten)) {
        connection.writing = false;
        closeConnection(connection);
    }
}

// An answer to what the connection asked, or else the input waiting for it.
void answerOrHandInput(Connection& connection) {
    ShareHub& hub = connection.service->hub;
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

void serveConnection(Connection& connection) {
    if (connection.closing) {
        return;
    }
    if (!connection.writing) {
        answerOrHandInput(connection);
    }
    if (!connection.closing && !connection.reading &&
        readsNext(connection.service->hub, static_cast<uint32_t>(connection.client))) {
        startFrameRead(connection);
    }
}

Connection** freeEntry(Service& service) {
    for (Connection*& entry : service.connections) {
        if (entry == nullptr) {
            return &entry;
        }
    }
    return nullptr;
}

// A listening instance has a program: it becomes a connection, and the instance listens anew.
// A program of another session, or one with all its places taken, is let go at once.
void acceptConnection(Service& service, uint32_t listener) {
    HANDLE pipe = service.listening[listener];
    Connection** entry = freeEntry(service);
    DWORD session = 0;
    ULONG processId = 0;
    bool sameSession = GetNamedPipeClientSessionId(pipe, &session) &&
                       (!service.bound || session == service.session);
    bool known = GetNamedPipeClientProcessId(pipe, &processId) != 0;
    int32_t client =
        entry != nullptr && sameSession && known ? openClient(service.hub, processId) : -1;
    if (client < 0) {
        // The program is told the device is allocated.
        traceRefusal(processId, !known         ? L"its process cannot be told"
                                : !sameSession ? L"a program of another session"
                                               : L"every place taken, or the program's eight");
        CloseHandle(pipe);
    } else {
        auto* connection = new Connection{};
        connection->service = &service;
        connection->pipe = pipe;
        connection->client = client;
        connection->read.connection = connection;
        connection->write.connection = connection;
        connection->acceptedAt = GetTickCount();
        *entry = connection;
    }
    listen(service, listener, false);
}

bool anyConnection(const Service& service) {
    for (const Connection* connection : service.connections) {
        if (connection != nullptr) {
            return true;
        }
    }
    return false;
}

// --- the line ---

bool openLine(ServiceLine& line) {
    SharedState settings = {};
    loadSettings(settings);
    return openServiceLine(line, settings.portNumber);
}

// --- the loop ---

void serveConnections(Service& service) {
    for (uint32_t i = 0; i < connectionsMax; ++i) {
        if (service.connections[i] != nullptr) {
            serveConnection(*service.connections[i]);
        }
        freeIfDone(service, i);
    }
}

void closeEveryConnection(Service& service) {
    for (Connection* connection : service.connections) {
        if (connection != nullptr) {
            closeConnection(*connection);
        }
    }
}

// Ends what has run out of time: a line write the line does not take, a connection whose program
// says nothing. Answers how soon the next of these falls due, for the wait.
DWORD endOverdue(Service& service) {
    DWORD now = GetTickCount();
    DWORD soonest = endOverdueWrite(service.line, platform::milliseconds());
    for (Connection* connection : service.connections) {
        if (connection == nullptr || connection->closing || connection->callerChecked) {
            continue;
        }
        DWORD elapsed = now - connection->acceptedAt;
        if (elapsed >= helloDeadlineMs) {
            traceRefusal(processOf(*connection), L"no hello in time");
            closeConnection(*connection);
        } else if (helloDeadlineMs - elapsed < soonest) {
            soonest = helloDeadlineMs - elapsed;
        }
    }
    return soonest;
}

// Serves every connection and the line until no connection has been there for idleEndMs, the
// line has failed (then every program finds its connection broken) or the service is stopped.
int serve(Service& service) {
    DWORD idleSince = GetTickCount();
    for (;;) {
        if (service.line.failed) {
            closeEveryConnection(service);
        }
        bool listening = listenAgain(service);
        DWORD limit = endOverdue(service);
        takeServiceLineInput(service.line, service.hub);
        // The line, then the connections, twice: a message that has just gone out whole lets its
        // connection be read from and answered, and a connection found broken meanwhile has its
        // silencing started, before the service waits.
        for (int pass = 0; pass < 2; ++pass) {
            writeServiceLine(service.line, service.hub, platform::milliseconds());
            serveConnections(service);
        }
        // A gone program's silencing still goes out before the service ends.
        bool working =
            anyConnection(service) ||
            (!service.line.failed && (!hubIsIdle(service.hub) || service.line.write.underWay));
        // Once nobody is left, the next program may be of any session and user.
        service.bound = service.bound && anyConnection(service);
        DWORD idleFor = GetTickCount() - idleSince;
        if (working) {
            idleSince = GetTickCount();
            if (service.hub.wire.holder != nullptr) {
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
        HANDLE events[listenersMax + 1];
        for (uint32_t i = 0; i < listenersMax; ++i) {
            events[i] = service.connecting[i].hEvent;
        }
        events[listenersMax] = service.stopRequested;
        DWORD woken = WaitForMultipleObjectsEx(listenersMax + 1, events, FALSE, limit, TRUE);
        if (woken < WAIT_OBJECT_0 + listenersMax) {
            acceptConnection(service, woken - WAIT_OBJECT_0);
        } else if (woken == WAIT_OBJECT_0 + listenersMax) {
            return 0; // what is under way goes no further: the system is stopping the service
        }
    }
}

// As a service the pipe lets interactive users read and write it (FILE_READ_DATA, FILE_WRITE_DATA,
// their attributes and SYNCHRONIZE), never FILE_CREATE_PIPE_INSTANCE: nobody else can listen in
// the service's place.
constexpr wchar_t servicePipeSecurity[] = L"D:P(A;;GA;;;SY)(A;;0x100183;;;IU)";

SERVICE_STATUS_HANDLE statusHandle = nullptr;

void reportStatus(DWORD state, int exitCode) {
    if (statusHandle == nullptr) {
        return; // run from a console
    }
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    status.dwWin32ExitCode = exitCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = static_cast<DWORD>(exitCode);
    SetServiceStatus(statusHandle, &status);
}

int run(SECURITY_ATTRIBUTES* pipeSecurity) {
    developerTrace = developerTraceWanted();
    auto service = std::make_unique<Service>();
    resetHub(service->hub);
    service->pipeSecurity = pipeSecurity;
    service->stopRequested = stopRequested;
    for (uint32_t i = 0; i < listenersMax; ++i) {
        service->connecting[i].hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        service->listening[i] = INVALID_HANDLE_VALUE;
    }
    if (!listen(*service, 0, true)) {
        std::fwprintf(stderr, L"melvpcif-share: another one runs already\n");
        return 1;
    }
    if (!openLine(service->line)) {
        std::fwprintf(stderr, L"melvpcif-share: the serial port cannot be had\n");
        return 1;
    }
    // The one thread every program's input and output go through: late, it is late for all.
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    reportStatus(SERVICE_RUNNING, 0);
    int status = serve(*service);
    closeServiceLine(service->line); // the reads end; their routines run no more once this returns
    for (uint32_t i = 0; i < listenersMax; ++i) {
        if (service->listening[i] != INVALID_HANDLE_VALUE) {
            CloseHandle(service->listening[i]);
        }
        CloseHandle(service->connecting[i].hEvent);
    }
    return status;
}

// One line in the Application log, under the driver's name, when something was put back.
void tellEventLog(const std::wstring& putBack, Registration found) {
    if (found == Registration::whole || found == Registration::noDevice) {
        return;
    }
    std::wstring line = found == Registration::putBack
                            ? L"Windows or a tool had removed part of the MELV PC I/F MIDI "
                              L"Driver's registration. Put back: " +
                                  putBack + L"."
                            : L"The MELV PC I/F MIDI Driver's registration could not be put back "
                              L"whole (every MIDI driver slot it may use is another driver's, or "
                              L"the registry cannot be written)" +
                                  (putBack.empty() ? L"" : L". Put back: " + putBack) + L".";
    HANDLE source = RegisterEventSourceW(nullptr, driverDescription);
    if (source == nullptr) {
        return;
    }
    const wchar_t* strings[] = {line.c_str()};
    ReportEventW(source,
                 found == Registration::putBack ? EVENTLOG_INFORMATION_TYPE : EVENTLOG_WARNING_TYPE,
                 0, registrationEventId, nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(source);
}

bool sharingOn() {
    SharedState settings = {};
    loadSettings(settings);
    return settings.sharing != 0;
}

// Puts back what was taken away from the driver's registration and says so in the event log.
// Runs on the service's start and on the dispatcher's thread when a program asks while it runs;
// it touches the registry alone, nothing of the loop's.
void watchRegistration() {
    std::wstring putBack;
    Registration found = restoreRegistration(putBack);
    tellEventLog(putBack, found);
}

DWORD WINAPI controlService(DWORD control, DWORD, void*, void*) {
    if (control == restoreRegistrationControl) {
        watchRegistration();
        return NO_ERROR;
    }
    if (control == SERVICE_CONTROL_STOP) {
        reportStatus(SERVICE_STOP_PENDING, 0);
        SetEvent(stopRequested);
        return NO_ERROR;
    }
    return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI serviceMain(DWORD, LPWSTR*) {
    statusHandle = RegisterServiceCtrlHandlerExW(reinterpret_cast<LPCWSTR>(shareServiceName),
                                                 controlService, nullptr);
    if (statusHandle == nullptr) {
        return;
    }
    reportStatus(SERVICE_START_PENDING, 0);
    watchRegistration();
    if (!sharingOn()) {
        reportStatus(SERVICE_STOPPED, 0); // at a Windows start, or asked for the repair alone
        return;
    }
    SECURITY_ATTRIBUTES security = {sizeof security, nullptr, FALSE};
    int status = 1;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(
            servicePipeSecurity, SDDL_REVISION_1, &security.lpSecurityDescriptor, nullptr)) {
        status = run(&security);
        LocalFree(security.lpSecurityDescriptor);
    }
    reportStatus(SERVICE_STOPPED, status);
}

BOOL WINAPI consoleControl(DWORD) {
    SetEvent(stopRequested);
    return TRUE;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    stopRequested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (argc == 2 && std::wcscmp(argv[1], L"--console") == 0) {
        SetConsoleCtrlHandler(consoleControl, TRUE);
        return run(nullptr);
    }
    if (argc != 1) {
        std::fwprintf(stderr, L"usage: melvpcif-share [--console]\n");
        return 2;
    }
    SERVICE_TABLE_ENTRYW services[] = {
        {reinterpret_cast<LPWSTR>(const_cast<char16_t*>(shareServiceName)), serviceMain},
        {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(services) ? 0 : 1;
}
