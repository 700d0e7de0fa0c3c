#include "line/port.h"

#include "line/port_write.h"
#include "line/sounding.h"
#include "monitor/monitor.h"
#include "platform/host.h"

namespace {

uint8_t& openFlag(SharedState& shared, DeviceKind kind, uint32_t index) {
    return shared.openFlags[deviceSlot(kind, index) - 1];
}

// Nobody holds the port: whatever the record still counts was left by a process that died
// holding it (its handle and timer request went with it), or that died half-way through a change,
// and is forgotten so that the port can be opened afresh.
void forgetHolders(SharedState& shared) {
    shared.owner = noOwner;
    shared.openCount = 0;
    for (uint8_t& flag : shared.openFlags) {
        flag = 0;
    }
}

uint8_t slotBit(DeviceKind kind, uint32_t index) {
    return static_cast<uint8_t>(1u << (deviceSlot(kind, index) - 1));
}

void holdSlot(PortLine& line, DeviceKind kind, uint32_t index) {
    line.heldSlots |= slotBit(kind, index);
    uint8_t& flag = openFlag(*line.shared, kind, index);
    if (flag == 0) {
        flag = 1;
        ++line.shared->openCount;
    }
}

// Whether the shared record still says what this process did when it took the port.
bool recordNamesThisOpening(const PortLine& line) {
    const SharedState& shared = *line.shared;
    return sameOwner(shared.owner, line.ownerToken) &&
           shared.portGeneration == line.heldGeneration.load();
}

// This process holds the port, and the record may have stopped saying so: another program can
// write it, or took this process for dead. It is made to name this opening and its slots again.
void restateHold(PortLine& line) {
    if (recordNamesThisOpening(line)) {
        return;
    }
    SharedState& shared = *line.shared;
    forgetHolders(shared);
    shared.portGeneration = line.heldGeneration.load();
    shared.owner = line.ownerToken;
    for (uint32_t slot = 0; slot < deviceSlotCount; ++slot) {
        if ((line.heldSlots >> slot & 1u) != 0) {
            shared.openFlags[slot] = 1;
            ++shared.openCount;
        }
    }
}

// The device slot lets go; the record is kept in step while it still names this opening.
void releaseSlot(PortLine& line, DeviceKind kind, uint32_t index) {
    uint8_t bit = slotBit(kind, index);
    if ((line.heldSlots & bit) == 0) {
        return;
    }
    line.heldSlots = static_cast<uint8_t>(line.heldSlots & ~bit);
    SharedState& shared = *line.shared;
    if (!recordNamesThisOpening(line)) {
        return;
    }
    // A stream that closes leaves its notes as they are, for nobody to release: the next holder
    // silences only what a holder that died left.
    if (kind == kindOutput && line.sounding != nullptr) {
        line.sounding->held[index] = {};
    }
    uint8_t& flag = openFlag(shared, kind, index);
    if (flag != 0) {
        flag = 0;
        if (shared.openCount > 0) {
            --shared.openCount;
        }
    }
}

// The last device slot of this process let go: the port is closed, whatever the record says, so
// that neither the handle nor the timer request is ever left behind.
void releasePort(PortLine& line) {
    {
        std::lock_guard<std::mutex> hold(line.lineLock);
        if (line.portHandle != platform::invalidHandle) {
            platform::closeHandle(line.portHandle);
        }
        line.portHandle = platform::invalidHandle;
        line.lineAway = false;
    }
    setLineState(line.monitor, LineState::closed);
    if (recordNamesThisOpening(line)) {
        line.shared->owner = noOwner;
    }
    line.heldGeneration = noHold;
    platform::endFineTimer();
}

// Opens and configures the port: the handle, or invalidHandle with the status that says why.
platform::Handle openConfigured(uint16_t portNumber, uint32_t& status) {
    char16_t name[portNameLength];
    formatPortName(portNumber, name);
    platform::Handle port = platform::openSerialPort(name, readWriteAccess);
    if (port == platform::invalidHandle) {
        status = mapFailure();
        return port;
    }
    if (!platform::configureSerialLine(port, lineSetup)) {
        platform::closeHandle(port);
        // The device opened but will not run at the instrument's 38400 baud 8N1 without flow
        // control: it is no port this driver can use, which is what "not supported" tells.
        status = MMSYSERR_NOTSUPPORTED;
        return platform::invalidHandle;
    }
    // What the instrument sent while nobody had the port open waits in the serial driver's buffer,
    // and would be told as if it had just arrived: a Note On from the past starts a note nothing
    // ends. Each opening hears only what comes after it.
    platform::discardReceived(port);
    status = MMSYSERR_NOERROR;
    return port;
}

// A new line for the process: whatever the instrument last heard was on another one, so the next
// data announces its destination again. The line it replaces is closed already: a process that
// holds the port never opens it again (attachHeld joins its own line), and a lost line was closed
// by lineFailed. Called with lineLock held.
void takeLine(PortLine& line, platform::Handle port) {
    line.portHandle = port;
    line.lineAway = false;
    ++line.lineOpening;
    setLastDestination(*line.shared, noDestination);
    setLineState(line.monitor, LineState::up);
}

uint32_t openAndConfigure(PortLine& line) {
    SharedState& shared = *line.shared;
    uint32_t status;
    platform::Handle port = openConfigured(shared.portNumber, status);
    if (port == platform::invalidHandle) {
        return status;
    }
    std::lock_guard<std::mutex> hold(line.lineLock);
    takeLine(line, port);
    line.heldPortNumber = shared.portNumber;
    line.reopenTried = false;
    // Opened for writing, exclusively: the port is present by the dialog's own rule, and the
    // dialog, which cannot open it while it is held here, still offers it.
    markPortPresent(shared, shared.portNumber);
    return MMSYSERR_NOERROR;
}

// Tries to open the lost line again, at most once per reopenIntervalMs however often it is asked:
// a device that fails at once after every opening costs a few openings a second, never a spin.
// Called with sendLock and lineLock held.
void reopenWhenDue(PortLine& line) {
    uint32_t now = platform::milliseconds();
    if (line.reopenTried && now - line.lastReopenTry < reopenIntervalMs) {
        return;
    }
    line.reopenTried = true;
    line.lastReopenTry = now;
    uint32_t status;
    platform::Handle port = openConfigured(line.heldPortNumber, status);
    if (port != platform::invalidHandle) {
        takeLine(line, port);
        tellOfLine(line, TraceEvent::lineBack, Count::lineRecoveries);
    }
}

// The input opens on a port this process has held for its outputs: nobody has read since the port
// was opened, and what came meanwhile is as old as what came before the opening.
void discardUnheard(PortLine& line) {
    std::lock_guard<std::mutex> hold(line.lineLock);
    if (line.portHandle != platform::invalidHandle) {
        platform::discardReceived(line.portHandle);
    }
}

uint32_t nextGeneration(uint32_t generation) {
    return generation + 1 == noHold ? generation + 2 : generation + 1;
}

// The owner decision and the opening, with ownerLock held: one step for every process.
// Where the release of what the last holder left goes: `output`'s data on the new opening.
struct Leftover {
    PortLine& line;
    PortHold hold;
    PortWriter& writer;
    uint32_t output;
};

uint32_t writeLeftover(void* context, const uint8_t* message) {
    auto& leftover = *static_cast<Leftover*>(context);
    WireWrite write;
    frameNextWrite(leftover.output, message, 3, write);
    return writePort(leftover.line, leftover.hold, leftover.writer, write.bytes, write.count);
}

// A holder that closed its outputs left nothing in the record; one that died left the notes and
// the pedals it had down, which nobody else would ever release. They go out as its resets would
// have sent them, behind each output's select, in the order of the outputs, on the opening this
// process has just taken and before anything of its own. A write that fails ends it: the line is
// in trouble, and whatever is left is forgotten with it.
void releaseLeftovers(PortLine& line) {
    if (line.sounding == nullptr) {
        return;
    }
    SharedState& shared = *line.shared;
    SoundingRecord& record = *line.sounding;
    PortWriter writer = {};
    Leftover leftover = {line, {line.heldGeneration.load()}, writer, 0};
    uint32_t status = MMSYSERR_NOERROR;
    for (uint32_t output = 0; output < outputCount; ++output) {
        SoundingNotes left = record.held[output];
        addSounding(left, record.owed[output]);
        record.held[output] = {};
        record.owed[output] = {};
        if (!anySounding(left) || status != MMSYSERR_NOERROR) {
            continue;
        }
        if (writer.completion.event == platform::nullHandle) {
            writer.completion.event = platform::createEvent();
        }
        WireWrite select = selectPair(output);
        leftover.output = output;
        status = writer.completion.event == platform::nullHandle
                     ? MMSYSERR_NOMEM
                     : writePort(line, leftover.hold, writer, select.bytes, select.count);
        if (status == MMSYSERR_NOERROR) {
            setLastDestination(shared, static_cast<uint16_t>(output));
            status = releaseSounding(left, writeLeftover, &leftover);
        }
    }
    if (writer.completion.event != platform::nullHandle) {
        platform::closeHandle(writer.completion.event);
    }
}

uint32_t attachHeld(PortLine& line, DeviceKind kind, uint32_t index, PortHold& portHold) {
    SharedState& shared = *line.shared;
    if (index >= deviceCount(shared, kind)) {
        return MMSYSERR_BADDEVICEID;
    }
    // The line this process holds is joined, whatever the record says meanwhile: opening afresh
    // would close it under the streams that write on it.
    if (line.heldGeneration.load() != noHold) {
        // A device is open once at a time: a second stream would share the device's hold, and
        // closing either would let the port go under the other.
        if ((line.heldSlots & slotBit(kind, index)) != 0) {
            return MMSYSERR_ALLOCATED;
        }
        restateHold(line);
        portHold.generation = line.heldGeneration.load();
        holdSlot(line, kind, index);
        if (kind == kindInput) {
            discardUnheard(line);
        }
        return MMSYSERR_NOERROR;
    }
    if (portIsHeld(shared) && !sameOwner(shared.owner, line.ownerToken)) {
        if (platform::processIsRunning(shared.owner)) {
            return MMSYSERR_ALLOCATED;
        }
        forgetHolders(shared);
    }
    if (!portIsHeld(shared)) {
        forgetHolders(shared);
        uint32_t status = openAndConfigure(line);
        if (status != MMSYSERR_NOERROR) {
            return status;
        }
        // The opening is counted before its owner is published: a stream of this process left
        // from the last opening must never see this owner with its own, old, count.
        shared.portGeneration = nextGeneration(shared.portGeneration);
        shared.owner = line.ownerToken;
        // While the port was closed any program may have selected another destination on the
        // instrument, or the instrument may have been switched off and on: the first data of
        // this opening announces its destination again.
        setLastDestination(shared, noDestination);
        platform::beginFineTimer();
        line.heldGeneration = shared.portGeneration;
        line.heldSlots = 0;
        keepSoundingRecord(line);
        releaseLeftovers(line);
    } else {
        // The record names this process, but not this copy of the driver: a program that loads
        // the driver from two paths has two, and the port is the other one's.
        return MMSYSERR_ALLOCATED;
    }
    portHold.generation = shared.portGeneration;
    holdSlot(line, kind, index);
    return MMSYSERR_NOERROR;
}

} // namespace

void tellOfLine(const PortLine& line, TraceEvent event, Count count) {
    countUp(line.monitor, count);
    trace(line.monitor, {event, 0, 0, 0, MMSYSERR_NOERROR});
}

uint32_t mapFailure() {
    uint32_t status = mapOsError();
    return status == MMSYSERR_NOERROR ? MMSYSERR_ERROR : status;
}

uint32_t attachPort(PortLine& line, DeviceKind kind, uint32_t index, PortHold& portHold) {
    portHold.generation = noHold;
    if (!platform::takeNamedLock(line.ownerLock, ownerLockWaitMs)) {
        return MMSYSERR_ALLOCATED; // another program is in the middle of taking or leaving it
    }
    uint32_t status;
    {
        std::lock_guard<std::mutex> own(line.holdLock);
        status = attachHeld(line, kind, index, portHold);
    }
    platform::releaseNamedLock(line.ownerLock);
    return status;
}

bool holdsOpenPort(const PortLine& line, PortHold portHold) {
    return portHold.generation != noHold && portHold.generation == line.heldGeneration.load();
}

void detachPort(PortLine& line, DeviceKind kind, uint32_t index, PortHold& portHold) {
    // Without the owner lock the process still lets go of what is its own, its hold, the port and
    // the timer, and keeps the record in step: while the record names this process, which is
    // alive, no other process changes it.
    bool locked = platform::takeNamedLock(line.ownerLock, ownerLockWaitMs);
    {
        std::lock_guard<std::mutex> own(line.holdLock);
        if (holdsOpenPort(line, portHold)) {
            releaseSlot(line, kind, index);
            if (line.heldSlots == 0) {
                releasePort(line);
            }
        }
        portHold.generation = noHold;
    }
    if (locked) {
        platform::releaseNamedLock(line.ownerLock);
    }
}

void lineFailed(PortLine& line, uint32_t opening) {
    std::lock_guard<std::mutex> hold(line.lineLock);
    // Whoever saw the failure first has closed that opening already.
    if (line.lineAway || line.lineOpening != opening ||
        line.portHandle == platform::invalidHandle) {
        return;
    }
    // Closing ends every read and write still going on the handle, as failed.
    platform::closeHandle(line.portHandle);
    line.portHandle = platform::invalidHandle;
    line.lineAway = true;
    setLineState(line.monitor, LineState::lost);
    tellOfLine(line, TraceEvent::lineLost, Count::lineLosses);
    reopenWhenDue(line);
}

bool lineIsUp(PortLine& line) {
    std::lock_guard<std::mutex> hold(line.lineLock);
    if (line.lineAway) {
        reopenWhenDue(line);
    }
    return line.portHandle != platform::invalidHandle;
}

uint32_t mapOsError() {
    switch (platform::lastError()) {
    case ERROR_SUCCESS:
    case ERROR_IO_PENDING:
        return MMSYSERR_NOERROR;
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
        return MMSYSERR_NOTSUPPORTED;
    case ERROR_ACCESS_DENIED:
        return MMSYSERR_BADDEVICEID;
    case ERROR_NOT_ENOUGH_MEMORY:
        return MMSYSERR_NOMEM;
    case ERROR_INSUFFICIENT_BUFFER:
        return MMSYSERR_INVALPARAM;
    case ERROR_BUSY:
        return MMSYSERR_ALLOCATED;
    default:
        return MMSYSERR_ERROR;
    }
}
