// An input stream: the common record, and what input keeps of its own while it runs, in one
// allocation. Everything here but the common record is the worker's alone, apart from the command
// hand-over.
#pragma once

#include "input/assembler.h"
#include "input/exclusive_queue.h"
#include "stream/stream.h"

#include <cstdint>
#include <mutex>

constexpr uint32_t readSlotCount = 8;
// A read on the line takes every byte that has arrived, up to this many: at the cable's pace each
// byte as it comes, a backlog in a few reads.
constexpr uint32_t lineReadBytes = 64;

struct ReadSlot {
    platform::CompletionRecord completion; // first: the read routine is handed this record
    uint32_t bytesTransferred;
    ReadSlot* next; // in the stream's read queue
    uint32_t done;  // the read's routine has run and its byte waits to be processed
    // A read was issued and its routine has not run yet: the OS may still write to the slot.
    uint32_t outstanding;
    uint32_t resting; // its read came back without a byte: it is issued again after a pause
    uint32_t error;   // the OS's error for the read; 0 when it succeeded
    uint8_t data[lineReadBytes];
};

struct InputStream : Stream {
    const InputDevice* device; // where its bytes come from, given at open
    InputAssembler assembler;
    ExclusiveQueue exclusive;
    // The OS writes into a slot until its read's routine has run, so the slots live as long as
    // the stream, and the stream is freed only once every read has ended (see endReads).
    // While the instrument is shared the first slot reads the service's input frames, into
    // `frame`, and the others rest.
    ReadSlot slots[readSlotCount];
    ReadSlot* readQueueHead; // reads issued and not yet processed, in issue order
    uint32_t startTime;      // the millisecond clock when input was started
    uint32_t starts;         // counts the starts of input, so that one in a callback is noticed
    // The line opening (PortLine::lineOpening) the reads were issued on, and whether that line is
    // in trouble: a read failed or could not be issued, or the line was opened anew.
    uint32_t readsOpening;
    uint32_t lineTrouble;
    // A command for the worker and its answer, handed over through the two events.
    uint32_t command;
    uintptr_t commandArgument;
    uint32_t commandResult;
    // One command at a time, whichever of the client's threads sends it.
    std::mutex commandLock;
    platform::Handle commandEvent;
    platform::Handle doneEvent;
    platform::Handle workerThread;
    uint32_t workerThreadId;           // commands from the worker itself are carried out in place
    uint8_t frame[shareFrameBytesMax]; // the service's input, while the instrument is shared
};

// Whether any of the stream's read slots has `flag` set.
bool anyReadSlot(const InputStream& stream, uint32_t ReadSlot::*flag);

// A read's routine: runs on the worker, inside its alertable wait, with the slot's record.
void readCompleted(uint32_t error, uint32_t count, platform::CompletionRecord* record);

// A new input stream on the process's heap, its common record left for the open to fill in; null
// when it cannot be had. Its worker is started by startWorker (input/worker.h).
InputStream* createInputStream(platform::Handle heap);
// Closes the worker's events and thread handle and frees the stream, read slots and all. Its worker
// has ended (or never started), so no read is outstanding, and its port hold has been let go.
void destroyInputStream(platform::Handle heap, InputStream& stream);
