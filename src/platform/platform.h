// Everything the driver and its sharing service ask of the operating system and of the multimedia
// host, in one place.
// win32/ passes each call straight to the real API; sim/ is an in-memory stand-in for native tests.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// An OS handle carried as a number, so that the core needs no OS header.
using Handle = uintptr_t;
constexpr Handle invalidHandle = ~Handle{0};
constexpr Handle nullHandle = 0;

// The OS's overlapped-I/O record, laid out as the host's OVERLAPPED. The OS may write to it until
// the operation it was given to has completed, so it must outlive that operation.
struct CompletionRecord {
    uintptr_t internal;
    uintptr_t internalHigh;
    uint32_t offset;
    uint32_t offsetHigh;
    Handle event;
};

// Who a process is: its id together with its start time, so that a later process that is given
// the same id is still told apart from a dead one.
// Laid out alike by 32-bit and 64-bit builds (16 bytes, the start time 8-aligned), so that both
// read it at the same place in memory they share.
struct ProcessIdentity {
    uint32_t id;
    alignas(8) uint64_t startTime;
};
static_assert(sizeof(ProcessIdentity) == 16);

// The calling thread's last OS error (GetLastError).
uint32_t lastError();

constexpr uint32_t noTimeLimit = 0xFFFFFFFF; // INFINITE, for the waits that take a limit

// Serial port. `openSerialPort` opens "COMn" exclusively for overlapped I/O (CreateFileW with
// OPEN_EXISTING) and answers invalidHandle with the reason in lastError() when it cannot.
Handle openSerialPort(const char16_t* name, uint32_t access);
// The settings a serial port keeps from one program to the next besides its speed and framing:
// the flow-control and error-handling fields of the OS's line record (DCB) and the time-outs
// (COMMTIMEOUTS). Each field is named after the one it sets.
constexpr uint8_t lineHigh = 1; // DTR_CONTROL_ENABLE and RTS_CONTROL_ENABLE: held high
struct LineHandling {
    bool outxCtsFlow;
    bool outxDsrFlow;
    uint8_t dtrControl; // DTR_CONTROL_*: 0 low, lineHigh, 2 handshake
    bool dsrSensitivity;
    bool outX; // XON/XOFF
    bool inX;
    bool errorChar;
    bool null;
    uint8_t rtsControl; // RTS_CONTROL_*: 0 low, lineHigh, 2 handshake, 3 toggle
    bool abortOnError;
    bool operator==(const LineHandling&) const = default;
};
struct SerialTimeouts { // in ms; all 0: a read waits until its bytes arrive, a write until done
    uint32_t readInterval;
    uint32_t readTotalMultiplier;
    uint32_t readTotalConstant;
    uint32_t writeTotalMultiplier;
    uint32_t writeTotalConstant;
    bool operator==(const SerialTimeouts&) const = default;
};
// Time-outs under which a read takes every byte that has arrived, up to its size, at once, and
// waits only for the first one when none has (MAXDWORD, MAXDWORD and a constant short of MAXDWORD:
// about 49 days, which no read waits). Writes wait until done.
constexpr SerialTimeouts readsTakeWhatHasArrived = {
    .readInterval = 0xFFFFFFFF, .readTotalMultiplier = 0xFFFFFFFF, .readTotalConstant = 0xFFFFFFFE};
struct LineSetup {
    const char16_t* mode; // a mode text such as "baud=38400 parity=N data=8 stop=1"
    LineHandling handling;
    SerialTimeouts timeouts;
};
// Reads the line settings, rewrites them from the mode text, sets the handling fields and applies
// them (GetCommState, BuildCommDCBW, SetCommState), then sets the time-outs (SetCommTimeouts);
// false when any step fails.
bool configureSerialLine(Handle port, const LineSetup& setup);
// Drops whatever the port has received and nobody has read yet (PurgeComm with PURGE_RXCLEAR).
void discardReceived(Handle port);
// Starts an overlapped write. True when it is done at once; false with lastError() 997
// (ERROR_IO_PENDING) while it goes on, or false with another error when it failed.
bool startWrite(Handle port, const uint8_t* bytes, uint32_t count, CompletionRecord* record);
// Waits until a pending write has ended, for at most `limit` ms or, with noTimeLimit, without
// limit (on the record's event, then GetOverlappedResult). A write that is still going on at the
// limit is `late`: it must be cancelled and waited for again, as the OS may still touch the
// record and the bytes until it has ended.
// How a write or a pipe read that was waited for ended.
enum class IoEnd { done, failed, late };
IoEnd finishWrite(Handle port, CompletionRecord* record, uint32_t limit);
// Asks the OS to cancel the write of this record on the port, if it is still going on
// (CancelIoEx); it then ends soon, as failed. From any thread.
void cancelWrite(Handle port, CompletionRecord* record);
void closeHandle(Handle handle);
// True when the port can be opened for writing, exclusively, at this moment; it is closed again.
bool probeSerialPort(const char16_t* name);

// Reads with ReadFileEx, into `into` of `capacity` bytes: from a serial port as many as its
// time-outs give, from a pipe one message. True when the read was accepted (lastError() tells apart
// one that failed). The routine runs later on the calling thread, only while it waits alertably,
// with the error, the byte count and the record. A record must not be given a new read before its
// routine has run, and must outlive it.
using IoRoutine = void (*)(uint32_t error, uint32_t count, CompletionRecord* record);
bool startRead(Handle handle, uint8_t* into, uint32_t capacity, CompletionRecord* record,
               IoRoutine routine);
// Whether a serial port serves the reads that wait on it in the order they were issued, each byte
// to one of them: Windows' serial drivers do. Wine does not under time-outs that take what has
// arrived: a read issued while another waits takes the bytes that one was woken for, which then
// ends with ERROR_BROKEN_PIPE. There one read at a time may wait.
bool serialReadsWaitInTurn();
// Writes with WriteFileEx, as startRead reads: the routine tells how the write ended, and
// cancelWrite ends one the line does not take. For a thread that waits for everything at once.
bool startWriteWithRoutine(Handle port, const uint8_t* bytes, uint32_t count,
                           CompletionRecord* record, IoRoutine routine);
// Cancels the calling thread's outstanding reads on the port (CancelIo); their routines still run.
void cancelReads(Handle port);

// The sharing service, reached through its pipe on this machine. `connectPipe` connects to the
// pipe `name` for overlapped I/O in message mode (CreateFileW, SetNamedPipeHandleState), waiting
// at most `limit` ms while every instance of it is busy; invalidHandle with the reason in
// lastError() when it cannot: ERROR_FILE_NOT_FOUND while nobody listens.
Handle connectPipe(const char16_t* name, uint32_t limit);
// Whether the program at the pipe's other end is the machine's service `service`, running
// (GetNamedPipeServerProcessId against the service's process id): anyone else who made a pipe of
// that name first, a sandboxed program of the same user too, would hear the program's music and
// answer in the service's place.
bool pipeServerIsTrusted(Handle pipe, const char16_t* service);
// Asks the machine's service control to start the service `name` (StartServiceW); false with the
// reason in lastError() when it does not: ERROR_SERVICE_ALREADY_RUNNING, or
// ERROR_SERVICE_DOES_NOT_EXIST when it is not installed.
bool startService(const char16_t* name);
// Writes one message to the pipe, or reads one of at most `capacity` bytes into `into`, and waits
// for it for at most `limit` ms; `count` becomes the bytes moved. An operation still going on at
// the limit is cancelled and waited for: it ends `late`, and the pipe's messages can no longer be
// told apart, so the caller lets the connection go.
IoEnd writePipe(Handle pipe, const uint8_t* bytes, uint32_t count, CompletionRecord* record,
                uint32_t limit);
IoEnd readPipe(Handle pipe, uint8_t* into, uint32_t capacity, CompletionRecord* record,
               uint32_t limit, uint32_t& count);
// Pauses the calling thread (Sleep).
void pause(uint32_t ms);

// The sharing service's own side of its pipe. `listenOnPipe` makes an instance of the pipe `name`
// for overlapped I/O in message mode, its messages up to `messageBytesMax` bytes, that refuses
// remote programs (CreateNamedPipeW) and waits
// for a program on it (ConnectNamedPipe): `connecting->event` is signalled once one has come, at
// once when one came before the wait began. `first` fails when the pipe is there already, as
// while another service runs (FILE_FLAG_FIRST_PIPE_INSTANCE). `asService` lets interactive users
// read and write it but make no instance of it, so that nobody listens in the service's place;
// otherwise it has the caller's default security. invalidHandle when the system gives none.
// The instance, once a program has come, is read with startRead and written with
// startWriteWithRoutine, one message each, and let go with closeHandle.
Handle listenOnPipe(const char16_t* name, uint32_t messageBytesMax, bool first, bool asService,
                    CompletionRecord* connecting);
// Who the program at the other end of an instance is, as the system tells it, never as it says:
// its process, its logon session and the user it runs as (a SID, as many bytes as it takes).
constexpr uint32_t userIdBytesMax = 68; // SECURITY_MAX_SID_SIZE
struct PipeCaller {
    uint32_t processId;
    uint32_t session;
    uint32_t userBytes;
    uint8_t user[userIdBytesMax];
};
// Its process and session (GetNamedPipeClientProcessId, GetNamedPipeClientSessionId); false when
// either cannot be told.
bool pipeCaller(Handle pipe, PipeCaller& caller);
// Its session again and its user, which the system tells only once a message has been read from
// the instance (ImpersonateNamedPipeClient, the token's user); false when either cannot be told.
bool pipeCallerUser(Handle pipe, PipeCaller& caller);

// Events: auto-reset, initially clear; nullHandle when one cannot be created.
Handle createEvent();
void setEvent(Handle event);
// Waits until `first` or, when one is given, `second` is signalled: an event (which the wait then
// clears) or a thread (once it has ended); for at most `limit` ms or, with noTimeLimit, without
// limit. Answers which one was (the first when both are), or none once the limit has passed.
enum class Signalled { first, second, none };
Signalled waitFor(Handle first, Handle second = nullHandle, uint32_t limit = noTimeLimit);
// Waits for the event alertably (WaitForSingleObjectEx), for at most `limit` ms or, with
// noTimeLimit, without limit. Says why it returned: read routines ran (WAIT_IO_COMPLETION), the
// event was signalled, or the limit passed.
enum class Woken { byCompletions, bySignal, byTimeLimit };
Woken waitAlertably(Handle event, uint32_t limit = noTimeLimit);
// The same for whichever of `count` events is signalled first: `which` becomes its index.
Woken waitAlertablyForAny(const Handle* events, uint32_t count, uint32_t limit, uint32_t& which);

// Threads. `startTask` runs the routine on a new thread and gives its handle, which is signalled
// when the routine returns; false when no thread could be started. The thread holds a reference
// on the driver's module from before it starts until it has ended, so that a program that frees
// the driver while the thread runs does not take the code and the private heap from under it.
using TaskRoutine = void (*)(uintptr_t data);
bool startTask(TaskRoutine routine, uintptr_t data, Handle& thread);
void raiseToTimeCritical(); // the calling thread
uint32_t currentThreadId();

// The developer trace: whether the environment variable `name` is "1" (GetEnvironmentVariableW),
// and a line handed to a debugger or a debug viewer (OutputDebugStringW).
bool environmentFlag(const char16_t* name);
void debugOutput(const char16_t* line);

// The system millisecond clock (timeGetTime): a 32-bit count that wraps.
uint32_t milliseconds();

// The process's private heap. Allocations are zero-filled; null when memory runs out.
Handle createHeap(size_t initialSize);
void* heapAllocate(Handle heap, size_t size);
void heapFree(Handle heap, void* memory);
void destroyHeap(Handle heap);

// The registry, under HKEY_LOCAL_MACHINE. Keys are nullHandle when they cannot be had.
Handle createRegistryKey(const char16_t* path, uint32_t access); // opened, or created if missing
Handle openRegistryKey(const char16_t* path, uint32_t access);   // opened only if it exists
// Reads a value's data, whatever its type, into `data` of `size` bytes; false when it is absent
// or its data is longer than `size`. `size` becomes the length read.
bool readRegistryValue(Handle key, const char16_t* name, uint8_t* data, uint32_t& size);
void writeRegistryDword(Handle key, const char16_t* name, uint32_t value);
void closeRegistryKey(Handle key);

// The modal dialog. `runDialog` shows the dialog template `templateId` from the module's
// resources, owned by `owner`, and calls `handler` with `context` for each of its messages until
// `endDialog`; it returns the value given to endDialog, or the platform's failure value when the
// dialog cannot be shown (DialogBoxParamW). The handler answers 1 for a message it handled.
using DialogHandler = intptr_t (*)(void* context, Handle dialog, uint32_t message, uintptr_t wParam,
                                   intptr_t lParam);
intptr_t runDialog(uintptr_t module, uint32_t templateId, Handle owner, DialogHandler handler,
                   void* context);
void endDialog(Handle dialog, intptr_t result);
// Checks `id` and clears the other radio buttons from `first` to `last` (CheckRadioButton).
void checkRadioButton(Handle dialog, uint32_t first, uint32_t last, uint32_t id);
void checkButton(Handle dialog, uint32_t id, bool checked);   // CheckDlgButton
bool buttonChecked(Handle dialog, uint32_t id);               // IsDlgButtonChecked
void enableControl(Handle dialog, uint32_t id, bool enabled); // GetDlgItem and EnableWindow
void setControlText(Handle dialog, uint32_t id, const char16_t* text); // SetDlgItemTextW

// Named objects, seen alike by every process of the caller's logon session whatever its bitness,
// under the default security of named objects. Names are of the form "Local\\...".
//
// A mutex (CreateMutexW); nullHandle when it cannot be had. Close it with closeHandle.
Handle openNamedLock(const char16_t* name);
// Waits at most `limit` ms until the calling thread holds the lock, and answers whether it does;
// the holder may take it again. A lock whose holder ended while holding it is taken all the same
// (WAIT_ABANDONED): the new holder finds what the dead one left and must judge it.
bool takeNamedLock(Handle lock, uint32_t limit);
void releaseNamedLock(Handle lock);
// Memory shared under a name (CreateFileMappingW on the paging file, MapViewOfFile), zero-filled
// when the first process makes it and gone when the last one lets go; null when it cannot be had.
// Made for the caller's user; `unsandboxed` also keeps the user's programs that run at low
// integrity (sandboxed ones) from reading or writing it, and from making it.
void* mapSharedMemory(const char16_t* name, size_t size, Handle& mapping, bool unsandboxed = false);
void unmapSharedMemory(void* view, Handle mapping);
// A record of the user's that outlives every process that maps it: the file `name` in the user's
// local application data (%LOCALAPPDATA%\MELV PC IF MIDI Driver), mapped whole, zero-filled when
// made; null when it cannot be had (a sandboxed program has no such folder). Let go with
// unmapSharedMemory.
void* mapKeptRecord(const char16_t* name, size_t size, Handle& mapping);

// The loader: no thread-attach and thread-detach calls for this module (DisableThreadLibraryCalls).
void stopThreadNotifications(uintptr_t module);

ProcessIdentity currentProcess();
// The file name, without its folder, of the program running as `process` ("Sequencer.exe"), cut
// to `capacity` characters with its terminator; false when it has ended or cannot be looked at.
bool processFileName(ProcessIdentity process, char16_t* name, uint32_t capacity);
// Whether this process is ending: its other threads have been ended, wherever they were, and the
// modules are being told (RtlDllShutdownInProgress).
bool processIsEnding();
// False once the process is gone, even if another process now has its id.
bool processIsRunning(ProcessIdentity process);

// The machine's serial ports, found without opening any. `listedSerialPort` gives the port name
// ("COM7") of entry `index` of the system's list of present serial ports
// (HKLM\HARDWARE\DEVICEMAP\SERIALCOMM), or "" when it is no text that fits `capacity` characters
// with its terminator; false past the last entry.
bool listedSerialPort(uint32_t index, char16_t* name, uint32_t capacity);
// The name Windows shows for the device behind the port, such as "USB Serial Port (COM7)"
// (SetupAPI's friendly name), cut to `capacity` characters with its terminator; false when the
// port's device has none.
bool serialPortFriendlyName(const char16_t* portName, char16_t* name, uint32_t capacity);
// A drop-down list of the dialog (a combo box): items added in order, numbered from 0, and the one
// selected, or noListItem.
constexpr int32_t noListItem = -1;
void addListItem(Handle dialog, uint32_t id, const char16_t* text); // CB_ADDSTRING
void selectListItem(Handle dialog, uint32_t id, int32_t item);      // CB_SETCURSEL
int32_t selectedListItem(Handle dialog, uint32_t id);               // CB_GETCURSEL
// A message over the dialog with an OK button and a warning sign, returning once the user has
// read it (MessageBoxW).
void showMessage(Handle dialog, const char16_t* text, const char16_t* title);

// The multimedia host.
void driverCallback(uintptr_t callback, uint32_t flags, uintptr_t device, uint32_t message,
                    uintptr_t instance, uintptr_t param1, uintptr_t param2);
// The host's default driver procedure, for driver-control messages the driver leaves alone.
intptr_t defaultDriverProc(uintptr_t driverId, uintptr_t driver, uint32_t message, intptr_t param1,
                           intptr_t param2);
// timeBeginPeriod(1) and timeEndPeriod(1), made and released in pairs.
void beginFineTimer();
void endFineTimer();

} // namespace platform
