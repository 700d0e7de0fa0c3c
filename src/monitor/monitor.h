// What the driver tells whoever looks: counts of what went through it, kept since the first
// program of the logon session loaded it, which programs have which devices open, and, while a
// monitor watches, a trace of every message. Every process of both bitnesses maps the one record
// and adds to the same figures; a process that cannot map it works on without it.
//
// Looking changes nothing: a message is traced only while a monitor has said within the last
// monitorLeaseMs that it watches, and a trace entry is written in place, never waited for. A
// monitor that falls behind finds its entries written over and counts them as missed.
#pragma once

#include "midi/messages.h"
#include "platform/platform.h"

#include <cstddef>
#include <cstdint>

// Words of the record that other processes change meanwhile are read and written whole, with the
// compilers' atomic operations: the record is plain memory, and not every C++ runtime the driver
// is built with has std::atomic_ref.
template <typename T> T loadShared(const T& word) {
    return __atomic_load_n(&word, __ATOMIC_ACQUIRE);
}
template <typename T> void storeShared(T& word, T value) {
    __atomic_store_n(&word, value, __ATOMIC_RELEASE);
}
template <typename T> T addShared(T& word, T by) {
    return __atomic_fetch_add(&word, by, __ATOMIC_RELAXED);
}
// Sets `word` to `desired` if it holds `expected`; otherwise `expected` becomes what it holds.
template <typename T> bool replaceShared(T& word, T& expected, T desired) {
    return __atomic_compare_exchange_n(&word, &expected, desired, false, __ATOMIC_SEQ_CST,
                                       __ATOMIC_SEQ_CST);
}

// What the figures count, each one place of MonitorRecord::figures.
enum class Count : uint32_t {
    messagesSent,
    bytesSent,
    messagesReceived,
    bytesReceived,
    droppedBefore, // + a MessageKind: messages the settings' filters dropped, by kind
    exclusivesLost = droppedBefore + static_cast<uint32_t>(lastMessageKind) + 1,
    brokenMessages,   // MIM_ERROR told to a program
    brokenExclusives, // an exclusive cut short, its buffer told MIM_LONGERROR
    lineLosses,       // of the serial line, or of the connection to the sharing service
    lineRecoveries,
    writesGivenUp,
    opensRefused, // MMSYSERR_ALLOCATED: the instrument, or the device, was in use
    end,
};
constexpr Count droppedCount(MessageKind kind) {
    return Count{static_cast<uint32_t>(Count::droppedBefore) + static_cast<uint32_t>(kind)};
}

// What a trace entry tells.
enum class TraceEvent : uint8_t {
    none,
    sent,          // a message went to the instrument (or to the sharing service)
    notSent,       // its send failed; `status` says how
    dropped,       // the settings' filter dropped it; `detail` is its MessageKind
    received,      // a message the instrument sent went to the program
    broken,        // a broken message went to the program as an error
    exclusiveCut,  // an exclusive from the instrument ended before its F7
    exclusiveLost, // an exclusive came while the program had no buffer for it (or not enough)
    lineLost,
    lineBack,
    writeGivenUp, // the line stopped taking bytes
    opened,
    closed,
    openRefused, // `status` says why
    reset,       // the program reset an output; what it left sounding was turned off
};

// A traced message: its length and its bytes, or, when longer, its first and last ones.
constexpr uint32_t traceHeadBytes = 32;
constexpr uint32_t traceTailBytes = 4;
struct TracedBytes {
    uint32_t length;
    uint8_t bytes[traceHeadBytes + traceTailBytes]; // the tail kept round, from traceHeadBytes
};
inline void keepTracedByte(TracedBytes& traced, uint8_t byte) {
    uint32_t at = traced.length < traceHeadBytes
                      ? traced.length
                      : traceHeadBytes + (traced.length - traceHeadBytes) % traceTailBytes;
    traced.bytes[at] = byte;
    ++traced.length;
}
// The bytes in order into `into` (traceHeadBytes + traceTailBytes long): all of them, or the head
// and the tail; how many.
inline uint32_t tracedBytesInOrder(const TracedBytes& traced, uint8_t* into) {
    constexpr uint32_t kept = traceHeadBytes + traceTailBytes;
    uint32_t length = traced.length < kept ? traced.length : kept;
    // Once the tail goes round, its oldest byte is where the next one would go.
    uint32_t oldest = traced.length <= kept ? 0 : (traced.length - traceHeadBytes) % traceTailBytes;
    for (uint32_t i = 0; i < length; ++i) {
        into[i] =
            i < traceHeadBytes
                ? traced.bytes[i]
                : traced.bytes[traceHeadBytes + (i - traceHeadBytes + oldest) % traceTailBytes];
    }
    return length;
}

constexpr uint8_t traceSilencing = 1; // flags: the message turns off what a reset left sounding
constexpr uint8_t traceViaService = 2;

// 64 bytes, laid out alike by both bitnesses. `sealed` is written last: the entry's number + 1.
struct TraceEntry {
    alignas(8) uint64_t sealed;
    uint32_t time; // the system millisecond clock, the same in every process
    uint32_t processId;
    uint32_t status;
    TraceEvent event;
    uint8_t slot; // the device slot (deviceSlot), 0 for the line
    uint8_t detail;
    uint8_t flags;
    TracedBytes message;
};
static_assert(sizeof(TraceEntry) == 64 && alignof(TraceEntry) == 8);

// A device one program has open: `processId` 0 marks a free place.
constexpr uint32_t programNameLength = 40;
struct OpenedDevice {
    uint32_t processId;
    uint32_t slot;
    alignas(8) uint64_t processStart;
    uint32_t viaService;
    char16_t program[programNameLength]; // the program's file name
};
static_assert(sizeof(OpenedDevice) == 104);

enum class LineState : uint32_t { closed, up, lost };

constexpr uint32_t traceEntryCount = 4096;
constexpr uint32_t openedDeviceCount = 64;
constexpr uint32_t monitorLeaseMs = 2000;

// The figures have a line of the processor's cache of their own, apart from the words a monitor
// and the tracing senders change.
struct MonitorRecord {
    uint32_t watchedUntil;         // the clock until which a monitor watches; 0 when none does
    uint32_t line;                 // a LineState
    alignas(8) uint64_t nextEntry; // the number the next trace entry takes
    alignas(64) uint64_t figures[static_cast<uint32_t>(Count::end)];
    OpenedDevice opened[openedDeviceCount];
    TraceEntry trace[traceEntryCount];
};

// Every process of both bitnesses, of this version and any other that maps the record by its
// name, finds each field in the same place: a record laid out otherwise takes another name.
static_assert(offsetof(MonitorRecord, figures) == 64);
static_assert(offsetof(MonitorRecord, opened) == 208);
static_assert(offsetof(MonitorRecord, trace) == 6864);
static_assert(sizeof(MonitorRecord) == 269056); // rounded up to its cache line

// "Local\" keeps it within the logon session; it is made for this user only, as the record the
// settings live in, and closed to the user's sandboxed programs, which run without it.
constexpr char16_t monitorRecordName[] = u"Local\\MELV-PCIF-MIDI-Driver-Monitor-1";

// One process's way to the record: the record, mapped at load, and who the process is, for the
// entries and the open devices it writes.
struct MonitorLink {
    MonitorRecord* record; // null when it cannot be had: the process works on without it
    platform::Handle mapping;
    platform::ProcessIdentity process;
};

// Maps the record under monitorRecordName for `process`.
void connectMonitor(MonitorLink& monitor, platform::ProcessIdentity process);
void disconnectMonitor(MonitorLink& monitor);

// Whether a monitor watches now. Costs one read of the record while none does.
bool monitorWatches(const MonitorLink& monitor);
void countUp(const MonitorLink& monitor, Count count, uint64_t by = 1);
// A trace entry of this process, written only while a monitor watches. `message` may be null.
struct TraceNote {
    TraceEvent event;
    uint8_t slot;
    uint8_t detail;
    uint8_t flags;
    uint32_t status;
};
void trace(const MonitorLink& monitor, const TraceNote& note, const TracedBytes* message = nullptr);
// The same for the first `length` bytes.
void traceBytes(const MonitorLink& monitor, const TraceNote& note, const uint8_t* bytes,
                uint32_t length);

// A device of this process opened and closed, for whoever asks which programs use the instrument.
void tellOpenedDevice(const MonitorLink& monitor, uint32_t slot, bool viaService);
void forgetOpenedDevice(const MonitorLink& monitor, uint32_t slot);
void setLineState(const MonitorLink& monitor, LineState state);

// The count of a figure, as read by whoever looks.
inline uint64_t figure(const MonitorRecord& record, Count count) {
    return loadShared(record.figures[static_cast<uint32_t>(count)]);
}
