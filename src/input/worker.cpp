#include "input/worker.h"

#include "input/exclusive_queue.h"
#include "input/service_input.h"
#include "port/port.h"

namespace {

// Input's reads stop for a line in trouble: the worker takes the line down, if nobody has yet,
// and issues reads again only once the line is up, never straight away.
void readsInTrouble(InputStream& stream) {
    stream.lineTrouble = 1;
}

// Issues a read on the line the stream's reads belong to; a read that cannot be issued puts the
// line in trouble.
void issueRead(ReadSlot& slot, InputStream& stream) {
    // A slot has one record: a second read on it while the first one has not ended would share
    // it with the OS, and link the slot twice into the queue.
    if (slot.outstanding != 0) {
        return;
    }
    PortLine& line = *stream.line;
    // A completion left over from an earlier read must never be taken for this one's.
    slot.done = 0;
    slot.error = 0;
    bool accepted = false;
    uint32_t error = 0;
    {
        std::lock_guard<std::mutex> hold(line.lineLock);
        if (holdsOpenPort(line, stream.slot) && !line.lineAway &&
            line.lineOpening == stream.readsOpening) {
            slot.outstanding = 1;
            accepted = platform::startRead(line.portHandle, &slot.data, 1, &slot.completion,
                                           readCompleted);
            error = platform::lastError();
        }
    }
    if (!accepted && error != ERROR_IO_PENDING) {
        slot.outstanding = 0;
        readsInTrouble(stream);
        return;
    }
    slot.next = nullptr;
    ReadSlot** link = &stream.readQueueHead;
    while (*link != nullptr) {
        link = &(*link)->next;
    }
    *link = &slot;
}

// Processes completed reads strictly in the order they were issued: a later read that completed
// waits for every earlier one.
void drainReads(InputStream& stream) {
    InputAssembler& assembler = stream.assembler;
    while (stream.readQueueHead != nullptr && stream.readQueueHead->done != 0) {
        ReadSlot& slot = *stream.readQueueHead;
        slot.done = 0;
        stream.readQueueHead = slot.next;
        assembler.now = platform::milliseconds() - stream.startTime;
        // A byte that came is told even when a later read could not be issued: it arrived before
        // the trouble, in order. A read that failed brought none.
        if (slot.bytesTransferred == 1 && slot.error == 0) {
            parseInputByte(stream.assembler, stream.exclusive, stream, slot.data);
        }
        // The client may have stopped and started input from its callback meanwhile, which gave
        // this slot a new read already: a second one on the same record is never issued.
        if (assembler.started == 0 || slot.outstanding != 0) {
            continue;
        }
        // A read that failed is never issued again at once: on a device that has gone, it
        // would fail again at once, for ever.
        if (slot.error != 0) {
            readsInTrouble(stream);
        } else if (stream.lineTrouble != 0) {
            continue; // the slot waits for the line to be picked up
        } else if (slot.bytesTransferred == 0) {
            slot.resting = 1;
        } else {
            issueRead(slot, stream);
        }
    }
}

// Whether any of the stream's read slots has `flag` set.
bool anySlot(InputStream& stream, uint32_t ReadSlot::*flag) {
    for (uint32_t i = 0; i < readSlotCount; ++i) {
        if (stream.slots[i].*flag != 0) {
            return true;
        }
    }
    return false;
}

// Issues again the reads that came back without a byte, once their pause is over.
void endRest(InputStream& stream) {
    for (uint32_t i = 0; i < readSlotCount; ++i) {
        ReadSlot& slot = stream.slots[i];
        if (slot.resting != 0) {
            slot.resting = 0;
            if (stream.assembler.started != 0 && stream.lineTrouble == 0) {
                issueRead(slot, stream);
            }
        }
    }
}

// Cancels the reads still outstanding and waits until each one's routine has run: until then the
// OS may write into a slot, so no slot is read again and the stream's memory is not freed before.
// Cancelling must happen on the worker, which issued the reads. What they brought is dropped.
void endReads(InputStream& stream) {
    if (anySlot(stream, &ReadSlot::outstanding)) {
        if (stream.link.viaService) {
            platform::cancelReads(stream.link.pipe);
        } else {
            // Reads on an opening that was closed since have been ended by that close.
            PortLine& line = *stream.line;
            std::lock_guard<std::mutex> hold(line.lineLock);
            if (!line.lineAway && line.lineOpening == stream.readsOpening) {
                platform::cancelReads(line.portHandle);
            }
        }
        // Called from a client's callback, this wait may take the signal of a command that a
        // client thread sends meanwhile: it is given back, or that thread would wait forever.
        bool commandArrived = false;
        while (anySlot(stream, &ReadSlot::outstanding)) {
            commandArrived |=
                platform::waitAlertably(stream.commandEvent) == platform::Woken::bySignal;
        }
        if (commandArrived) {
            platform::setEvent(stream.commandEvent);
        }
    }
    stream.readQueueHead = nullptr;
    for (uint32_t i = 0; i < readSlotCount; ++i) {
        stream.slots[i].done = 0;
        stream.slots[i].resting = 0;
    }
}

// Issues all eight reads on the line that is up now.
void issueAllReads(InputStream& stream) {
    {
        std::lock_guard<std::mutex> hold(stream.line->lineLock);
        stream.readsOpening = stream.line->lineOpening;
    }
    for (uint32_t i = 0; i < readSlotCount && stream.lineTrouble == 0; ++i) {
        issueRead(stream.slots[i], stream);
    }
}

// The line of the stream's reads failed, or was closed and opened again by a sender. Once every
// read on it has ended, input picks up the line that is up, or waits for one: the line is tried
// again at most every reopenIntervalMs. Nothing is told to the client meanwhile; an exclusive
// cut by the loss comes back as a long error and a message cut by it is dropped.
void tendLine(InputStream& stream) {
    InputAssembler& assembler = stream.assembler;
    if (stream.lineTrouble == 0 || assembler.started == 0) {
        return;
    }
    PortLine& line = *stream.line;
    if (stream.readsOpening != 0) {
        // The opening in trouble is closed, unless someone did so already: its reads still
        // outstanding end with it.
        {
            std::lock_guard<std::mutex> hold(line.sendLock);
            lineFailed(line, stream.readsOpening);
        }
        stream.readsOpening = 0; // dealt with; nothing more until reads resume
        // This may tell the client of a long error, and its callback may stop, reset or start
        // input again in place: whatever it did stands, and reads are issued only for input that
        // is still started and still waiting for its line.
        forgetPartialMessage(stream.assembler, stream.exclusive, stream);
        if (stream.lineTrouble == 0 || assembler.started == 0) {
            return;
        }
    }
    if (anySlot(stream, &ReadSlot::outstanding)) {
        return; // their routines come soon, and the line is tended again then
    }
    bool up;
    {
        std::lock_guard<std::mutex> hold(line.sendLock);
        up = lineIsUp(line);
    }
    if (!up) {
        return;
    }
    stream.lineTrouble = 0;
    issueAllReads(stream);
    drainReads(stream);
}

// The bytes that came, from the line or through the service.
void drainInput(InputStream& stream) {
    if (stream.link.viaService) {
        drainServiceInput(stream);
    } else {
        drainReads(stream);
    }
}

void tendInput(InputStream& stream) {
    if (stream.link.viaService) {
        tendServiceLink(stream);
    } else {
        tendLine(stream);
    }
}

void startInput(InputStream& stream) {
    InputAssembler& assembler = stream.assembler;
    if (assembler.started != 0) {
        return;
    }
    stream.lineTrouble = 0;
    ++stream.starts;
    if (stream.link.viaService) {
        startServiceInput(stream);
    } else {
        issueAllReads(stream);
        drainReads(stream);
    }
    assembler.started = 1;
    restartClock(assembler);
    stream.startTime = platform::milliseconds();
}

void stopInput(InputStream& stream, bool reset) {
    InputAssembler& assembler = stream.assembler;
    if (assembler.started != 0) {
        assembler.started = 0;
        drainInput(stream); // bytes completed so far are dropped: input has stopped
        endReads(stream);
        if (stream.link.viaService) {
            stopServiceInput(stream);
        }
        stream.lineTrouble = 0;
        returnPartialBuffer(stream.exclusive, stream, toldTime(assembler, assembler.messageTime));
    }
    if (reset) {
        returnAllBuffers(stream.exclusive, stream, toldTime(assembler, assembler.now));
    }
}

void control(InputStream& stream, uintptr_t argument) {
    switch (argument) {
    case controlStart:
        startInput(stream);
        break;
    case controlStop:
        stopInput(stream, false);
        break;
    case controlReset:
        stopInput(stream, true);
        break;
    default:
        break;
    }
}

uint32_t carryOut(InputStream& stream, uint32_t command, uintptr_t argument) {
    switch (command) {
    case commandAddBuffer:
        appendBuffer(stream.exclusive, reinterpret_cast<MidiHeader*>(argument));
        return MMSYSERR_NOERROR;
    case commandControl:
        control(stream, argument);
        return MMSYSERR_NOERROR;
    case commandClose:
        if (buffersQueued(stream.exclusive)) {
            return MIDIERR_STILLPLAYING;
        }
        // Input ends as at a stop, so that a line picked up again before the thread ends gets no
        // reads: they would outlive the stream.
        stopInput(stream, false);
        return MMSYSERR_NOERROR;
    default:
        return MMSYSERR_NOERROR;
    }
}

// How long the worker may wait for its next command: until a resting read's pause is over, until
// a lost line is due to be tried again, or without limit.
uint32_t waitLimit(InputStream& stream) {
    if (anySlot(stream, &ReadSlot::resting)) {
        return emptyReadPauseMs;
    }
    if (stream.lineTrouble != 0 && stream.assembler.started != 0) {
        return reopenIntervalMs;
    }
    return platform::noTimeLimit;
}

// Processes reads as they complete until the next command arrives.
void waitForCommand(InputStream& stream) {
    for (;;) {
        platform::Woken woken = platform::waitAlertably(stream.commandEvent, waitLimit(stream));
        if (woken == platform::Woken::bySignal) {
            return;
        }
        if (woken == platform::Woken::byTimeLimit) {
            endRest(stream);
        }
        drainInput(stream);
        tendInput(stream);
    }
}

void inputWorker(uintptr_t data) {
    InputStream& stream = *reinterpret_cast<InputStream*>(data);
    platform::raiseToTimeCritical();
    stream.workerThreadId = platform::currentThreadId();
    platform::setEvent(stream.doneEvent);
    platform::waitFor(stream.commandEvent);
    for (;;) {
        uint32_t command = stream.command;
        stream.commandResult = carryOut(stream, command, stream.commandArgument);
        bool ending = command == commandClose && stream.commandResult == MMSYSERR_NOERROR;
        stream.command = 0;
        drainInput(stream);
        tendInput(stream);
        platform::setEvent(stream.doneEvent);
        if (ending) {
            return;
        }
        waitForCommand(stream);
    }
}

// Waits for the worker's answer. A worker the system has ended never gives one: a program's exit
// ends every other thread before it lets the program close its devices.
bool answered(InputStream& stream) {
    return platform::waitFor(stream.doneEvent, stream.workerThread) == platform::Signalled::first;
}

} // namespace

uint32_t startWorker(InputStream& stream) {
    stream.commandEvent = platform::createEvent();
    stream.doneEvent = platform::createEvent();
    if (stream.commandEvent == platform::nullHandle || stream.doneEvent == platform::nullHandle ||
        !platform::startTask(inputWorker, reinterpret_cast<uintptr_t>(&stream),
                             stream.workerThread) ||
        !answered(stream)) {
        return MMSYSERR_NOMEM;
    }
    return MMSYSERR_NOERROR;
}

uint32_t sendCommand(InputStream& stream, uint32_t command, uintptr_t argument) {
    // A client calling back in from its input callback runs on the worker itself: waiting for the
    // worker there would wait forever, so the command is carried out in place.
    if (platform::currentThreadId() == stream.workerThreadId) {
        return carryOut(stream, command, argument);
    }
    std::lock_guard<std::mutex> oneAtATime(stream.commandLock);
    stream.command = command;
    stream.commandArgument = argument;
    platform::setEvent(stream.commandEvent);
    return answered(stream) ? stream.commandResult : MMSYSERR_ERROR;
}

uint32_t stopWorker(InputStream& stream) {
    // A worker that has ended has left the stream alone, and its reads ended with it.
    if (sendCommand(stream, commandClose, 0) == MIDIERR_STILLPLAYING) {
        return MIDIERR_STILLPLAYING;
    }
    platform::waitFor(stream.workerThread);
    return MMSYSERR_NOERROR;
}
