#include "input/worker.h"

#include "input/exclusive_queue.h"
#include "stream/device.h"

namespace {

// Cancels the reads still outstanding and waits until each one's routine has run: until then the
// OS may write into a slot, so no slot is read again and the stream's memory is not freed before.
// Cancelling must happen on the worker, which issued the reads. What they brought is dropped.
void endReads(InputStream& stream) {
    if (anyReadSlot(stream, &ReadSlot::outstanding)) {
        stream.device->cancelReads(stream);
        // Called from a client's callback, this wait may take the signal of a command that a
        // client thread sends meanwhile: it is given back, or that thread would wait forever.
        bool commandArrived = false;
        while (anyReadSlot(stream, &ReadSlot::outstanding)) {
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

void startInput(InputStream& stream) {
    InputAssembler& assembler = stream.assembler;
    if (assembler.started != 0) {
        return;
    }
    stream.lineTrouble = 0;
    ++stream.starts;
    stream.device->startInput(stream);
    assembler.started = 1;
    restartClock(assembler);
    stream.startTime = platform::milliseconds();
}

void stopInput(InputStream& stream, bool reset) {
    InputAssembler& assembler = stream.assembler;
    if (assembler.started != 0) {
        assembler.started = 0;
        stream.device->takeInput(stream); // bytes completed so far are dropped: input has stopped
        endReads(stream);
        stream.device->stopInput(stream);
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
    if (anyReadSlot(stream, &ReadSlot::resting)) {
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
        stream.device->takeInput(stream);
        stream.device->tendInput(stream, woken == platform::Woken::byTimeLimit);
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
        stream.device->takeInput(stream);
        stream.device->tendInput(stream, false);
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
