#include "input/line_input.h"

#include "input/exclusive_queue.h"
#include "line/port.h"

namespace {

// Input's reads stop for a line in trouble: the worker takes the line down, if nobody has yet,
// and issues reads again only once the line is up, never straight away.
void putLineInTrouble(InputStream& stream) {
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
        if (holdsOpenPort(line, lineEndOf(stream).hold) && !line.lineAway &&
            line.lineOpening == stream.readsOpening) {
            slot.outstanding = 1;
            accepted = platform::startRead(line.portHandle, slot.data, lineReadBytes,
                                           &slot.completion, readCompleted);
            error = platform::lastError();
        }
    }
    if (!accepted && error != ERROR_IO_PENDING) {
        slot.outstanding = 0;
        putLineInTrouble(stream);
        return;
    }
    slot.next = nullptr;
    ReadSlot** link = &stream.readQueueHead;
    while (*link != nullptr) {
        link = &(*link)->next;
    }
    *link = &slot;
}

// Hands a read's bytes to the assembler, all dated with the read's time. The client's callback
// may stop input, or stop and start it again, which gives the slot a new read into the same
// bytes: the rest of them is then not the client's any longer.
void takeReadBytes(InputStream& stream, const ReadSlot& slot) {
    InputAssembler& assembler = stream.assembler;
    uint32_t starts = stream.starts;
    for (uint32_t i = 0; i < slot.bytesTransferred; ++i) {
        if (assembler.started == 0 || stream.starts != starts) {
            return;
        }
        parseInputByte(assembler, stream.exclusive, stream, slot.data[i]);
    }
}

// Processes completed reads strictly in the order they were issued: a later read that completed
// waits for every earlier one.
void takeLineInput(InputStream& stream) {
    InputAssembler& assembler = stream.assembler;
    while (stream.readQueueHead != nullptr && stream.readQueueHead->done != 0) {
        ReadSlot& slot = *stream.readQueueHead;
        slot.done = 0;
        stream.readQueueHead = slot.next;
        assembler.now = platform::milliseconds() - stream.startTime;
        // Bytes that came are told even when a later read could not be issued: they arrived
        // before the trouble, in order. A read that failed brought none.
        if (slot.error == 0) {
            takeReadBytes(stream, slot);
        }
        // The client may have stopped and started input from its callback meanwhile, which gave
        // this slot a new read already: a second one on the same record is never issued.
        if (assembler.started == 0 || slot.outstanding != 0) {
            continue;
        }
        // A read that failed is never issued again at once: on a device that has gone, it
        // would fail again at once, for ever.
        if (slot.error != 0) {
            putLineInTrouble(stream);
        } else if (stream.lineTrouble != 0) {
            continue; // the slot waits for the line to be picked up
        } else if (slot.bytesTransferred == 0) {
            slot.resting = 1;
        } else {
            issueRead(slot, stream);
        }
    }
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

// Issues the reads on the line that is up now: all eight where the port serves its reads in turn,
// else one, which each completion issues again (platform::serialReadsWaitInTurn).
void issueAllReads(InputStream& stream) {
    {
        std::lock_guard<std::mutex> hold(stream.line->lineLock);
        stream.readsOpening = stream.line->lineOpening;
    }
    uint32_t reads = platform::serialReadsWaitInTurn() ? readSlotCount : 1;
    for (uint32_t i = 0; i < reads && stream.lineTrouble == 0; ++i) {
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
    if (anyReadSlot(stream, &ReadSlot::outstanding)) {
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
    takeLineInput(stream);
}

// Issues every read on the line that is up now.
void startLineInput(InputStream& stream) {
    issueAllReads(stream);
    takeLineInput(stream);
}

// Nothing to tell anybody: the line's reads have ended.
void stopLineInput(InputStream&) {}

// Cancels the reads outstanding on the line they were issued on, unless it was closed since.
void cancelLineReads(InputStream& stream) {
    // Reads on an opening that was closed since have been ended by that close.
    PortLine& line = *stream.line;
    std::lock_guard<std::mutex> hold(line.lineLock);
    if (!line.lineAway && line.lineOpening == stream.readsOpening) {
        platform::cancelReads(line.portHandle);
    }
}

// Issues again the reads that came back empty once `restOver`, and picks up a line in trouble,
// at most every reopenIntervalMs: an exclusive the loss cut comes back as a long error.
void tendLineInput(InputStream& stream, bool restOver) {
    if (restOver) {
        endRest(stream);
    }
    tendLine(stream);
}

} // namespace

const InputDevice lineInput = {startLineInput, stopLineInput, cancelLineReads, takeLineInput,
                               tendLineInput};
