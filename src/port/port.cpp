#include "port/port.h"

#include "driver/host.h"
#include "driver/stream.h"

namespace {

bool indexExists(const SharedState& shared, uint32_t kind, uint32_t index) {
    if (kind == kindOutput && independentMode(shared)) {
        return index < 4;
    }
    return index == 0;
}

uint8_t& openFlag(SharedState& shared, uint32_t kind, uint32_t index) {
    return shared.openFlags[kind + index - 1];
}

bool portIsOpen(const SharedState& shared) {
    return shared.portHandle != platform::invalidHandle;
}

void markClosed(SharedState& shared) {
    shared.portHandle = platform::invalidHandle;
    shared.owner = noOwner;
}

// A process that died holding the port took its handle and its timer request with it; what it
// left in the shared record is forgotten so that the port can be opened afresh.
void forgetDeadOwner(SharedState& shared) {
    markClosed(shared);
    shared.openCount = 0;
    for (uint8_t& flag : shared.openFlags) {
        flag = 0;
    }
}

void holdSlot(SharedState& shared, uint32_t kind, uint32_t index) {
    uint8_t& flag = openFlag(shared, kind, index);
    if (flag == 0) {
        flag = 1;
        ++shared.openCount;
    }
}

uint32_t openAndConfigure(SharedState& shared, PortSlot& slot, uint32_t access) {
    char16_t name[portNameLength];
    formatPortName(shared.portNumber, name);
    platform::Handle port = platform::openSerialPort(name, access);
    if (port == platform::invalidHandle) {
        return mapFailure();
    }
    if (!platform::configureSerialLine(port, lineSetup)) {
        platform::closeHandle(port);
        return MMSYSERR_NOTSUPPORTED;
    }
    slot.handle = port;
    slot.generation = ++shared.portGeneration;
    // Opened for writing, exclusively: the port is present by the dialog's own rule, and the
    // dialog, which cannot open it while it is held here, still offers it.
    markPortPresent(shared, shared.portNumber);
    return MMSYSERR_NOERROR;
}

} // namespace

void formatPortName(uint16_t portNumber, char16_t (&name)[portNameLength]) {
    char16_t digits[6];
    int count = 0;
    do {
        digits[count++] = static_cast<char16_t>(u'0' + portNumber % 10);
        portNumber /= 10;
    } while (portNumber != 0);
    constexpr char16_t prefix[] = u"COM";
    size_t at = 0;
    for (; prefix[at] != 0; ++at) {
        name[at] = prefix[at];
    }
    while (count > 0) {
        name[at++] = digits[--count];
    }
    name[at] = 0;
}

uint32_t mapFailure() {
    uint32_t status = mapOsError();
    return status == MMSYSERR_NOERROR ? MMSYSERR_ERROR : status;
}

uint32_t attachPort(SharedState& shared, uint32_t kind, uint32_t index, PortSlot& slot,
                    uint32_t access, OwnerToken ownerToken) {
    slot.handle = platform::invalidHandle;
    if (!indexExists(shared, kind, index)) {
        return MMSYSERR_BADDEVICEID;
    }
    if (portIsOpen(shared) && !sameOwner(shared.owner, ownerToken)) {
        if (platform::processIsRunning(shared.owner)) {
            return MMSYSERR_ALLOCATED;
        }
        forgetDeadOwner(shared);
    }
    if (portIsOpen(shared)) {
        slot = {shared.portHandle, shared.portGeneration};
        holdSlot(shared, kind, index);
        return MMSYSERR_NOERROR;
    }
    uint32_t status = openAndConfigure(shared, slot, access);
    if (status != MMSYSERR_NOERROR) {
        return status;
    }
    shared.owner = ownerToken;
    shared.portHandle = slot.handle;
    // While the port was closed any program may have selected another destination on the
    // instrument (the other bitness of this driver keeps a shared state of its own), or the
    // instrument may have been switched off and on: the first data of this opening announces its
    // destination again.
    shared.lastDestination = noDestination;
    holdSlot(shared, kind, index);
    platform::beginFineTimer();
    return MMSYSERR_NOERROR;
}

bool holdsOpenPort(const SharedState& shared, const Stream& stream) {
    return stream.port.handle != platform::invalidHandle && portIsOpen(shared) &&
           shared.portHandle == stream.port.handle &&
           shared.portGeneration == stream.port.generation && sameOwner(shared.owner, stream.owner);
}

void detachPort(SharedState& shared, Stream& stream) {
    // A slot whose port has been closed since (another stream of the same device let it go) holds
    // a handle that is closed already: it must not be closed a second time.
    if (holdsOpenPort(shared, stream)) {
        uint8_t& flag = openFlag(shared, stream.kind, stream.deviceIndex);
        if (flag != 0) {
            flag = 0;
            if (shared.openCount > 0) {
                --shared.openCount;
            }
        }
        if (shared.openCount == 0) {
            platform::closeHandle(stream.port.handle);
            markClosed(shared);
            platform::endFineTimer();
        }
    }
    stream.port.handle = platform::invalidHandle;
}

uint32_t writePort(const uint8_t* bytes, uint32_t count, Stream& stream) {
    if (!holdsOpenPort(*stream.process->shared, stream)) {
        return MMSYSERR_INVALPARAM;
    }
    platform::CompletionRecord& record = stream.writeCompletion;
    if (platform::startWrite(stream.port.handle, bytes, count, &record)) {
        return MMSYSERR_NOERROR;
    }
    // A pending write is waited for to its end, and a write that failed on the way is reported.
    if (platform::lastError() == ERROR_IO_PENDING &&
        platform::finishWrite(stream.port.handle, &record)) {
        return MMSYSERR_NOERROR;
    }
    return MMSYSERR_INVALPARAM;
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
