// One process's view of the serial port and its line: who it is to the other processes, the state
// they share, and the port while this process holds it. Every stream of the process uses the one
// line.
#pragma once

#include "line/shared_state.h"
#include "monitor/monitor.h"

#include <atomic>
#include <cstdint>
#include <mutex>

struct PortLine {
    OwnerToken ownerToken;
    // The shared record. Mapped at load under sharedStateName; a test may hand in one of its own,
    // which is then left as it is.
    SharedState* shared;
    platform::Handle sharedMapping; // nullHandle when `shared` was handed in
    // What the driver tells a monitor (monitor/monitor.h).
    MonitorLink monitor;
    // What the holder left sounding, mapped when the process first takes the port (a program that
    // only lists the devices never maps it); null until then, or when it cannot be had, and then
    // each stream keeps its own, which nobody finds should the process die. Set only while no
    // device of the process holds the port, under holdLock.
    SoundingRecord* sounding;
    platform::Handle soundingMapping;
    // Makes each change of who holds the port one step across every process of both bitnesses:
    // held for attach and detach, never for a send, and waited for within ownerLockWaitMs
    // (line/port.h).
    platform::Handle ownerLock;
    // Makes each change of this process's own hold one step among its threads. Taken after the
    // bounded wait for ownerLock, so that it is only ever held for moments: a thread of the process
    // that waits for ownerLock holds up no other thread of it. Held for attach and detach only.
    std::mutex holdLock;
    // The serial port while this process holds it and the device is there; invalidHandle
    // otherwise. Only this process can use the value, so it never goes into the shared record.
    platform::Handle portHandle;
    // Which opening of the port this process holds (SharedState::portGeneration when it took
    // it), or noHold, and the device slots of this process that hold it (bit kind + index - 1).
    // Whether a stream may write and when the port is let go are decided by these, never by the
    // shared record, which another program could change under this process. Changed under
    // holdLock.
    std::atomic<uint32_t> heldGeneration;
    uint8_t heldSlots;
    // Output streams of one process are driven from several threads at once. This lock makes each
    // send (destination select plus its data) one step on the wire; the line is also lost and
    // picked up again under it, so that no send sees the destination of a line that is gone. It
    // is never held while the client's callback runs, since callbacks may call back in, and never
    // while waiting for ownerLock. Input takes it too, to take a failed line down and to pick the
    // line up again.
    std::mutex sendLock;
    // Guards the line's fields below and portHandle, for moments only: a read or a write is
    // started under it, so that no I/O starts on a handle being closed, and it is never held
    // while waiting for I/O. Taken after sendLock and ownerLock, never before.
    std::mutex lineLock;
    // The line while this process holds the port. A device that vanishes (a USB adapter pulled)
    // is closed and opened again on the same port, while every stream stays open.
    uint16_t heldPortNumber; // the port opened when this process took it
    uint32_t lineOpening;    // counts the openings of the line while the port is held
    bool lineAway;           // the device went away and has not been opened again
    bool reopenTried;        // since the port was taken
    uint32_t lastReopenTry;  // the millisecond clock then
    // While the instrument is shared: the service's connection was lost and not yet made again,
    // as a monitor was told, once for all the process's streams.
    std::atomic<bool> serviceAway;
};

// Opens the owner lock and maps the shared record under the names both bitnesses use, unless a
// record was handed in; false when either cannot be had, with what was had left for
// disconnectLine.
bool connectLine(PortLine& line);
// Maps the record of what this process leaves sounding, kept in a file of the user's, unless it
// is mapped already; the process is taking the port, with holdLock held. Stays null when the
// record cannot be had.
void keepSoundingRecord(PortLine& line);
// Lets go of what connectLine and keepSoundingRecord took.
void disconnectLine(PortLine& line);

// One writer's record of its port writes (an output stream's), and the cut that a reset asks of
// the long message it is writing.
struct PortWriter {
    // Used for every port write of the writer; its event is created at open.
    platform::CompletionRecord completion;
    // While the send that has the wire is a long message that a reset may cut: the count of the
    // cuts its resets asked for (OutputStream::cutsRequested), and the count it noted before; null
    // while the send may not be cut. Set under the process's sendLock and lineLock, so that a
    // reset cancels the writer's write only while such a send owns the writer's record.
    const std::atomic<uint32_t>* cutsOfSend;
    uint32_t cutsBeforeSend;
};
