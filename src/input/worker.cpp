#include "input/worker.h"

#include "input/exclusive_queue.h"
#include "port/port.h"

namespace {

ReadSlot* slotsOf(Stream& stream) {
    return reinterpret_cast<InputRecord*>(&stream)->slots;
}

// Runs on the worker, inside its alertable wait. The slot is the read's record.
void readCompleted(uint32_t, uint32_t count, platform::CompletionRecord* record) {
    auto* slot = reinterpret_cast<ReadSlot*>(record);
    slot->bytesTransferred = count;
    slot->outstanding = 0;
    slot->done = 1;
}

uint32_t issueRead(ReadSlot& slot, Stream& stream) {
    if (!holdsOpenPort(stream)) {
        return MMSYSERR_INVALPARAM;
    }
    // A completion left over from an earlier read must never be taken for this one's.
    slot.done = 0;
    slot.outstanding = 1;
    bool accepted = platform::startRead(stream.process->portHandle, &slot.data, &slot.completion,
                                        readCompleted);
    if (!accepted && platform::lastError() != ERROR_IO_PENDING) {
        slot.outstanding = 0;
        return mapFailure();
    }
    slot.next = nullptr;
    ReadSlot** link = &stream.assembler->readQueueHead;
    while (*link != nullptr) {
        link = &(*link)->next;
    }
    *link = &slot;
    return MMSYSERR_NOERROR;
}

// A read that cannot be issued silences input until it is reset.
void issueNextRead(ReadSlot& slot, Stream& stream) {
    if (issueRead(slot, stream) != MMSYSERR_NOERROR) {
        stream.assembler->readError = 1;
    }
}

// Processes completed reads strictly in the order they were issued: a later read that completed
// waits for every earlier one.
void drainReads(Stream& stream) {
    InputAssembler& assembler = *stream.assembler;
    while (assembler.readQueueHead != nullptr && assembler.readQueueHead->done != 0) {
        ReadSlot& slot = *assembler.readQueueHead;
        slot.done = 0;
        assembler.readQueueHead = slot.next;
        assembler.now = platform::milliseconds() - stream.startTime;
        if (assembler.readError != 0) {
            continue;
        }
        if (slot.bytesTransferred == 1) {
            parseInputByte(stream, slot.data);
        }
        // The client may have stopped and started input from its callback meanwhile, which gave
        // this slot a new read already: a second one on the same record is never issued.
        if (assembler.started == 0 || slot.outstanding != 0) {
            continue;
        }
        if (slot.bytesTransferred == 0) {
            slot.resting = 1;
        } else {
            issueNextRead(slot, stream);
        }
    }
}

// Whether any of the stream's read slots has `flag` set.
bool anySlot(Stream& stream, uint32_t ReadSlot::*flag) {
    for (uint32_t i = 0; i < readSlotCount; ++i) {
        if (slotsOf(stream)[i].*flag != 0) {
            return true;
        }
    }
    return false;
}

// Issues again the reads that came back without a byte, once their pause is over.
void endRest(Stream& stream) {
    InputAssembler& assembler = *stream.assembler;
    for (uint32_t i = 0; i < readSlotCount; ++i) {
        ReadSlot& slot = slotsOf(stream)[i];
        if (slot.resting != 0) {
            slot.resting = 0;
            if (assembler.started != 0 && assembler.readError == 0) {
                issueNextRead(slot, stream);
            }
        }
    }
}

// Cancels the reads still outstanding and waits until each one's routine has run: until then the
// OS may write into a slot, so no slot is read again and the stream's memory is not freed before.
// Cancelling must happen on the worker, which issued the reads. What they brought is dropped.
void endReads(Stream& stream) {
    if (anySlot(stream, &ReadSlot::outstanding)) {
        platform::cancelReads(stream.process->portHandle);
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
    stream.assembler->readQueueHead = nullptr;
    for (uint32_t i = 0; i < readSlotCount; ++i) {
        slotsOf(stream)[i].done = 0;
        slotsOf(stream)[i].resting = 0;
    }
}

void startInput(Stream& stream) {
    InputAssembler& assembler = *stream.assembler;
    if (assembler.started != 0 || assembler.readError != 0) {
        return;
    }
    for (uint32_t i = 0; i < readSlotCount; ++i) {
        if (issueRead(slotsOf(stream)[i], stream) != MMSYSERR_NOERROR) {
            assembler.readError = 1;
            break;
        }
    }
    drainReads(stream);
    assembler.started = 1;
    stream.startTime = platform::milliseconds();
}

void stopInput(Stream& stream, bool reset) {
    InputAssembler& assembler = *stream.assembler;
    if (assembler.started != 0) {
        assembler.started = 0;
        drainReads(stream); // bytes completed so far are dropped: input has stopped
        endReads(stream);
        if (reset) {
            assembler.readError = 0;
        }
        flushPartialBuffer(stream);
    }
    if (reset) {
        returnAllBuffers(stream);
    }
}

void control(Stream& stream, uintptr_t argument) {
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

uint32_t carryOut(Stream& stream, uint32_t command, uintptr_t argument) {
    switch (command) {
    case commandAddBuffer:
        appendBuffer(stream, reinterpret_cast<MidiHeader*>(argument));
        return MMSYSERR_NOERROR;
    case commandControl:
        control(stream, argument);
        return MMSYSERR_NOERROR;
    case commandClose:
        if (buffersQueued(stream)) {
            return MIDIERR_STILLPLAYING;
        }
        endReads(stream);
        return MMSYSERR_NOERROR;
    default:
        return MMSYSERR_NOERROR;
    }
}

// Processes reads as they complete until the next command arrives.
void waitForCommand(Stream& stream) {
    for (;;) {
        uint32_t limit =
            anySlot(stream, &ReadSlot::resting) ? emptyReadPauseMs : platform::noTimeLimit;
        platform::Woken woken = platform::waitAlertably(stream.commandEvent, limit);
        if (woken == platform::Woken::bySignal) {
            return;
        }
        if (woken == platform::Woken::byTimeLimit) {
            endRest(stream);
        }
        drainReads(stream);
    }
}

void inputWorker(uintptr_t data) {
    Stream& stream = *reinterpret_cast<Stream*>(data);
    platform::raiseToTimeCritical();
    stream.workerThreadId = platform::currentThreadId();
    platform::setEvent(stream.doneEvent);
    platform::waitForever(stream.commandEvent);
    for (;;) {
        uint32_t command = stream.command;
        stream.commandResult = carryOut(stream, command, stream.commandArgument);
        bool ending = command == commandClose && stream.commandResult == MMSYSERR_NOERROR;
        stream.command = 0;
        drainReads(stream);
        platform::setEvent(stream.doneEvent);
        if (ending) {
            return;
        }
        waitForCommand(stream);
    }
}

} // namespace

uint32_t startWorker(Stream& stream) {
    stream.commandEvent = platform::createEvent();
    stream.doneEvent = platform::createEvent();
    if (stream.commandEvent == platform::nullHandle || stream.doneEvent == platform::nullHandle ||
        !platform::startTask(inputWorker, reinterpret_cast<uintptr_t>(&stream),
                             stream.workerThread)) {
        return MMSYSERR_NOMEM;
    }
    platform::waitForever(stream.doneEvent);
    return MMSYSERR_NOERROR;
}

uint32_t sendCommand(uint32_t command, uintptr_t argument, Stream& stream) {
    // A client calling back in from its input callback runs on the worker itself: waiting for the
    // worker there would wait forever, so the command is carried out in place.
    if (platform::currentThreadId() == stream.workerThreadId) {
        return carryOut(stream, command, argument);
    }
    std::lock_guard<std::mutex> oneAtATime(stream.commandLock);
    stream.command = command;
    stream.commandArgument = argument;
    platform::setEvent(stream.commandEvent);
    platform::waitForever(stream.doneEvent);
    return stream.commandResult;
}

uint32_t stopWorker(Stream& stream) {
    if (platform::currentThreadId() == stream.workerThreadId) {
        return MIDIERR_STILLPLAYING; // the worker cannot end itself from inside a notification
    }
    uint32_t status = sendCommand(commandClose, 0, stream);
    if (status != MMSYSERR_NOERROR) {
        return status;
    }
    // The thread has left the stream alone once it has ended.
    platform::waitForever(stream.workerThread);
    platform::closeHandle(stream.workerThread);
    stream.workerThread = platform::nullHandle;
    return MMSYSERR_NOERROR;
}
