// Controls of the simulated platform, for native tests: a serial line whose far end a test reads,
// opens and line setups that fail on demand, writes that complete at once, go pending or fail,
// every notification with its seven arguments, process identities and a private heap that counts.
#pragma once

#include "platform/platform.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace sim {

enum class WriteOutcome {
    done,             // taken at once
    pending,          // goes on, then completes when waited for
    pendingThenFails, // goes on, then ends in failure
    fails,            // refused at once
    stalls,           // goes on and never ends, as on a line whose far end stopped reading,
                      // until it is cancelled
    cancelled,        // a stalled write that was cancelled: it ends as failed
};

struct Notification {
    uintptr_t callback;
    uint32_t flags;
    uintptr_t device;
    uint32_t message;
    uintptr_t instance;
    uintptr_t param1;
    uintptr_t param2;
};

struct DriverProcCall {
    uintptr_t driverId;
    uintptr_t driver;
    uint32_t message;
    intptr_t param1;
    intptr_t param2;
};

constexpr uint32_t portCount = 256; // COM1 to COM256

// A port's handling as nobody has changed it: no flow control, DTR and RTS high.
constexpr platform::LineHandling plainHandling = {.dtrControl = platform::lineHigh,
                                                  .rtsControl = platform::lineHigh};
constexpr uint32_t maxDword = 0xFFFFFFFF;
// Time-outs that make a read return at once with whatever has arrived, possibly nothing.
constexpr platform::SerialTimeouts readsReturnAtOnce = {.readInterval = maxDword};

struct SerialPort {
    bool present = true;
    uint32_t openError = 2; // ERROR_FILE_NOT_FOUND when the port is not there
    bool configureFails = false;
    uint32_t access = 0;
    // The line as the last program left it: a port keeps its settings from one open to the next.
    std::u16string settings; // the mode text last applied
    platform::LineHandling handling = plainHandling;
    platform::SerialTimeouts timeouts = {};
    // A serial driver that answers a read at once, with no byte, when none has arrived, whatever
    // the time-outs say.
    bool emptyReads = false;
    bool errorPending = false; // a line error stopped the port, with abort-on-error set
    std::vector<std::vector<uint8_t>> writes; // each write as its own chunk, in order
    uint32_t opens = 0;
    uint32_t openAttempts = 0; // opens tried, whether the port was there or not
    uint32_t probes = 0; // looks at whether the port is there, each an open and close of its own
    std::deque<uint8_t> unread; // sent by the instrument, not yet taken by a read
};

// A read that was issued and has not completed.
struct OutstandingRead {
    uint32_t thread;
    uint32_t port;
    uint8_t* into;
    platform::CompletionRecord* record;
    platform::IoRoutine routine;
    platform::Handle pipe = platform::nullHandle; // a read on a connection to the sharing service
    uint32_t capacity = 1;
};

// A completed read whose routine waits for its thread's next alertable wait.
struct Completion {
    platform::IoRoutine routine;
    uint32_t error;
    uint32_t count;
    platform::CompletionRecord* record;
};

// One connection of a program's stream to the simulated sharing service.
struct ShareConnection {
    std::vector<std::vector<uint8_t>> requests; // the frames the driver wrote, in order
    std::deque<std::vector<uint8_t>> toDriver;  // frames for the driver's next reads
    bool broken = false;                        // the service ended: reads and writes fail
    bool closed = false;                        // the driver let it go
};

// The sharing service as the driver reaches it: installed or not, running or not, and its
// connections, in the order they were made. A test that installs it says how it answers a
// request on a connection (empty: not at once), in the protocol's own words: the platform does
// not know them.
struct SharingService {
    std::function<std::vector<uint8_t>(platform::Handle pipe, const std::vector<uint8_t>& request)>
        answer;
    bool installed = false;
    bool running = false;
    uint32_t starts = 0; // times the driver asked the system to start it
    std::map<platform::Handle, ShareConnection> connections;
    std::vector<platform::Handle> order;
};

// An instance of the sharing service's own pipe, where the simulated machine runs the service
// itself: it waits for a program until a test connects one, which then writes
// frames to the service and reads its answers.
struct ServedPipe {
    platform::CompletionRecord* connecting = nullptr; // its event is set as a program comes
    bool connected = false;
    platform::PipeCaller caller = {};
    std::deque<std::vector<uint8_t>> toService;  // frames the program wrote, not yet read
    std::vector<std::vector<uint8_t>> toProgram; // frames the service wrote, in order
    bool anyRead = false; // the system tells the program's user only once a frame was read
    bool programGone = false;
    bool closed = false; // the service let it go
};

struct Task {
    std::thread thread;
    bool ended = false;
    uint32_t threadId = 0; // platform::currentThreadId() on the task's thread
};

struct OpenHandle {
    std::string kind;    // "COM", "event", "heap", "key"
    uint32_t port = 0;   // COMn for a port handle
    std::u16string path; // a registry key's path
    bool dead = false;   // its device went away: every read and write on it fails at once
};

struct RegistryValue {
    uint32_t type; // 4 = REG_DWORD
    std::vector<uint8_t> data;
};

// Access rights that change a key (KEY_SET_VALUE | KEY_CREATE_SUB_KEY).
constexpr uint32_t writeAccess = 0x0006;

struct Registry {
    std::map<std::u16string, std::map<std::u16string, RegistryValue>> keys;
    bool createFails = false; // a missing key cannot be created
    bool writeDenied = false; // keys open for reading only, as for a user without admin rights
    uint32_t opens = 0;
};

RegistryValue dwordValue(uint32_t value);

// A control of the dialog on screen, as the dialog manager keeps it.
struct Control {
    bool checked = false;
    bool enabled = true;
    bool toggles = false; // an automatic check box flips itself when clicked
    std::u16string text;
    std::vector<std::u16string> items; // a drop-down list's items, in order
    int32_t selected = platform::noListItem;
};

// An entry of the system's list of serial ports: the port's name and the name Windows shows for
// its device, empty when it has none.
struct ListedSerialPort {
    std::u16string name;
    std::u16string friendlyName;
};

struct Dialog {
    platform::Handle handle = platform::nullHandle;
    uint32_t templateId = 0;
    platform::Handle owner = platform::nullHandle;
    platform::DialogHandler handler = nullptr;
    void* context = nullptr;
    std::map<uint32_t, Control> controls;
    std::vector<std::u16string> messages; // shown over it, in order
    bool ended = false;
    intptr_t result = 0;
};

// A named mutex: held by one thread at a time, which may take it again.
struct NamedLock {
    uint32_t holder = 0; // thread id; 0 when nobody holds it
    uint32_t depth = 0;
    uint32_t takes = 0; // times a thread got it
};

// Memory shared under a name, 8-aligned, alive while some process has it mapped.
struct SharedMemory {
    std::vector<uint64_t> words;
    uint32_t users = 0;
    bool kept = false; // a file's: it stays when the last process lets go
};

struct World {
    std::mutex lock;
    std::condition_variable changed; // anything a waiter may be waiting for
    SerialPort ports[portCount + 1]; // ports[n] is COMn; ports[0] is unused
    WriteOutcome writeOutcome = WriteOutcome::done;
    // Outcomes for the coming writes in turn, before writeOutcome applies again.
    std::deque<WriteOutcome> nextWriteOutcomes;
    bool keepWrites = true;          // false: the line swallows writes, for benchmarks
    bool giveWayAfterWrite = false;  // lets another sending thread run between two writes
    uint32_t writeFailureError = 31; // ERROR_GEN_FAILURE

    std::vector<Notification> notifications;
    // Runs on the notifying thread after the notification is recorded, like a client callback.
    std::function<void(const Notification&)> onNotify;

    Registry registry;
    std::vector<ListedSerialPort> serialPortList; // as the system lists them, in its order
    Dialog dialog;                                // the one shown last
    // The user in front of the dialog: looks at it and clicks, once it is initialised. A dialog
    // the user leaves open is closed with its close box, as Cancel.
    std::function<void()> dialogUser;
    bool dialogFails = false;
    std::vector<DriverProcCall> defaultDriverProcCalls;
    intptr_t defaultDriverProcResult = 0;

    platform::ProcessIdentity currentProcess = {100, 1};
    bool processEnding = false; // the program exits: its other threads have been ended
    std::map<uint32_t, std::u16string> processNames; // file names of running programs, by id
    std::map<std::u16string, std::u16string> environment;
    std::vector<std::u16string> debugLines; // what the driver told a debug viewer
    std::vector<platform::ProcessIdentity> endedProcesses;

    std::map<platform::Handle, bool> events; // signalled or not
    std::map<platform::Handle, Task> tasks;
    std::deque<OutstandingRead> reads;                      // in the order they were issued
    std::map<uint32_t, std::deque<Completion>> completions; // per thread
    int readsBeforeFailure = -1;    // reads accepted before one is refused; -1: never
    uint32_t readFailureError = 31; // ERROR_GEN_FAILURE
    uint32_t readsIssued = 0;
    // Reads issued on a record whose earlier read has not ended or whose routine has not run yet:
    // on Windows the two would share one OVERLAPPED. Always a fault of the driver.
    uint32_t readsOnBusyRecords = 0;
    // Whether serial ports serve their waiting reads in turn, as Windows' do; Wine's do not.
    bool serialReadsWaitInTurn = true;
    uint32_t clock = 0;                  // the system millisecond clock
    uint32_t timedWaits = 0;             // threads in a wait whose time limit runs on that clock
    uint32_t timedWaitChecks = 0;        // times such a waiter looked at the clock and its write
    uint32_t alertableWaits = 0;         // threads in an alertable wait, timed or not
    uint32_t lastAlertableWaitStart = 0; // the clock when the latest one began
    bool taskStartFails = false;
    std::set<uint32_t> endingThreads; // being ended by the system (endThread), at their next wait
    int moduleReferences = 0; // held by running tasks: the driver cannot be unloaded under them
    int timeCriticalThreads = 0;

    // Named objects; their handles are kept apart from openHandles, which tests count per stream.
    std::map<std::u16string, NamedLock> namedLocks;
    std::map<platform::Handle, std::u16string> lockHandles;
    std::map<std::u16string, SharedMemory> sharedMemories;
    std::map<platform::Handle, std::u16string> mappingHandles;
    bool namedObjectsFail = false;

    bool heapCreateFails = false;
    bool allocationFails = false;
    bool eventCreateFails = false;

    platform::Handle nextHandle = 0x100;
    int finePeriods = 0; // timer requests begun and not yet ended
    int badCloses = 0;   // closes of handles that were not open
    std::map<platform::Handle, OpenHandle> openHandles;
    std::map<const platform::CompletionRecord*, WriteOutcome> pendingWrites;
    // Stalled writes started with a routine, which runs, as aborted, once the write is cancelled.
    std::map<const platform::CompletionRecord*, OutstandingRead> stalledRoutineWrites;
    std::map<platform::Handle, std::set<void*>> heaps;
    SharingService sharing;
    std::map<platform::Handle, ServedPipe> servedPipes;
    std::vector<platform::Handle> servedOrder; // the instances programs came to, in order
};

World& world();
// Starts every test from a fresh machine.
void reset();
// Everything written to COMn, in order, as one byte string.
std::vector<uint8_t> wire(uint32_t port = 1);
// The heap's live allocations.
size_t liveAllocations();

// The instrument sends bytes: outstanding reads complete with them in the order they were issued,
// and what no read takes waits on the line for the next reads.
void instrumentSends(const std::vector<uint8_t>& bytes, uint32_t port = 1);
// Where serial reads do not wait in turn (World::serialReadsWaitInTurn), bytes wait in the port
// until this hands at most `count` of them to the first read waiting on it, as Wine wakes it, and
// a read issued meanwhile takes them at once, ahead of it.
void wakeFirstRead(uint32_t count, uint32_t port = 1);
// Reads issued and not yet completed.
size_t outstandingReads();
// The device behind COMn goes away, as a USB serial adapter that is pulled: its outstanding
// reads end with an error, and every read on a handle opened before then completes at once with
// an error, every write fails at once, and the port cannot be opened until it is put back.
void pullDevice(uint32_t port = 1);
void plugDevice(uint32_t port = 1);
// The system ends the task's thread, as it ends every other thread of a program that exits: the
// thread stops at its wait (call this while it waits) and never runs again, its handle is
// signalled, and its outstanding reads are cancelled without their routines ever running.
void endThread(platform::Handle thread);
// A framing or overrun error on the line. With abort-on-error set the port ends every outstanding
// read and refuses new ones until the error is cleared; without it the damaged byte is just lost.
void lineError(uint32_t port = 1);
// Waits until the condition, checked with the lock held, holds: false after a generous deadline,
// so a test that waits for something that never comes fails instead of hanging.
bool waitUntil(const std::function<bool()>& condition);
size_t notificationCount();
void setClock(uint32_t milliseconds);

// The sharing service hands the frame to the program at the other end of its connection number
// `connection` (in the order they were made): its read completes with it, or the next one does.
void serviceSends(size_t connection, const std::vector<uint8_t>& frame);
// The sharing service ends, with its line: every connection breaks, and reads on them end.
void serviceEnds();
// The frames the program sent on connection number `connection`.
std::vector<std::vector<uint8_t>> shareRequests(size_t connection);

// A program comes to the service's pipe, as `caller`: the first instance waiting takes it. Answers
// the connection's number (in the order programs came), or -1 when no instance waits.
int32_t programConnects(const platform::PipeCaller& caller);
// The program writes a frame on connection number `connection`: the service's read takes it now
// or next time.
void programWrites(size_t connection, const std::vector<uint8_t>& frame);
// The program goes: the service's read on the connection ends with a broken pipe.
void programLeaves(size_t connection);
// The frames the service wrote to the program on connection number `connection`.
std::vector<std::vector<uint8_t>> framesToProgram(size_t connection);
// Whether the service let the connection go.
bool servedPipeClosed(size_t connection);

// The user clicks a control of the dialog on screen: false when it is disabled, as the dialog
// manager ignores clicks there. An automatic check box toggles itself first.
bool click(uint32_t id);
const Control& control(uint32_t id);
// The user picks item `item` of the drop-down list `id`: false when it is disabled or has no such
// item.
bool choose(uint32_t id, int32_t item);

// For the simulated platform itself: a new open handle of the given kind (call with the lock
// held), and the calling thread's last error.
platform::Handle newHandle(const std::string& kind, uint32_t port = 0,
                           const std::u16string& path = {});
// Ends the outstanding reads chosen, as aborted or with the error given: their routines wait for
// their threads' next alertable wait. Call with the lock held.
void abortReads(const std::function<bool(const OutstandingRead&)>& which,
                uint32_t error = 995); // ERROR_OPERATION_ABORTED
// A read of a connection to the sharing service's next frame. Call with the lock held.
bool startPipeRead(platform::Handle pipe, uint8_t* into, platform::CompletionRecord* record,
                   platform::IoRoutine routine);
// A read or a routine's write on an instance of the service's own pipe. Call with the lock held.
bool startServedRead(platform::Handle pipe, uint8_t* into, uint32_t capacity,
                     platform::CompletionRecord* record, platform::IoRoutine routine);
bool startServedWrite(platform::Handle pipe, const uint8_t* bytes, uint32_t count,
                      platform::CompletionRecord* record, platform::IoRoutine routine);
void setLastError(uint32_t error);

} // namespace sim
