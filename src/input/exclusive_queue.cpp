#include "input/exclusive_queue.h"

#include "input/assembler.h"

namespace {

void handBack(Stream& stream, MidiHeader* header, uint32_t bytesRecorded, uint32_t notification,
              uint32_t time) {
    header->dwBytesRecorded = bytesRecorded;
    header->dwFlags = (header->dwFlags | MHDR_DONE) & ~MHDR_INQUEUE;
    notifyClient(stream, notification, reinterpret_cast<uintptr_t>(header), time);
}

void finishHead(Stream& stream, uint32_t notification) {
    MidiHeader* head = stream.bufferQueueHead;
    stream.bufferQueueHead = head->lpNext;
    InputAssembler& assembler = *stream.assembler;
    uint32_t recorded = assembler.exclusiveCount;
    assembler.exclusiveCount = 0;
    handBack(stream, head, recorded, notification, assembler.messageTime);
}

size_t queuedBuffers(const Stream& stream) {
    size_t count = 0;
    for (const MidiHeader* header = stream.bufferQueueHead; header != nullptr;
         header = header->lpNext) {
        ++count;
    }
    return count;
}

// A buffer that can hold nothing goes back unused rather than swallow a byte meant for the next
// one. Only the buffers queued when the byte arrived go back: a client that adds each returned
// buffer again at once would otherwise keep the worker handing the same one back forever.
void returnEmptyBuffers(Stream& stream) {
    for (size_t queued = queuedBuffers(stream); queued > 0; --queued) {
        MidiHeader* head = stream.bufferQueueHead;
        if (head == nullptr || head->dwBufferLength != 0) {
            return;
        }
        finishHead(stream, MIM_LONGDATA);
    }
}

} // namespace

void appendBuffer(Stream& stream, MidiHeader* header) {
    // The host packs its header to the byte, so its link is reached through the header only.
    header->lpNext = nullptr;
    if (stream.bufferQueueHead == nullptr) {
        stream.bufferQueueHead = header;
        return;
    }
    MidiHeader* last = stream.bufferQueueHead;
    while (last->lpNext != nullptr) {
        last = last->lpNext;
    }
    last->lpNext = header;
}

void sinkExclusiveByte(Stream& stream, uint8_t byte) {
    if (stream.bufferQueueHead != nullptr && stream.bufferQueueHead->dwBufferLength == 0) {
        returnEmptyBuffers(stream);
    }
    MidiHeader* head = stream.bufferQueueHead;
    if (head == nullptr || head->dwBufferLength == 0) {
        return; // no buffer to take it
    }
    uint32_t& count = stream.assembler->exclusiveCount;
    if (count < head->dwBufferLength) {
        head->lpData[count++] = byte;
    }
    if (byte == endOfExclusive || count >= head->dwBufferLength) {
        finishHead(stream, MIM_LONGDATA);
    }
}

void abortExclusive(Stream& stream) {
    if (stream.bufferQueueHead != nullptr) {
        finishHead(stream, MIM_LONGERROR);
    }
}

void returnPartialBuffer(Stream& stream) {
    if (stream.bufferQueueHead != nullptr && stream.assembler->exclusiveCount > 0) {
        finishHead(stream, MIM_LONGERROR);
    }
}

void returnAllBuffers(Stream& stream) {
    MidiHeader* header = stream.bufferQueueHead;
    stream.bufferQueueHead = nullptr;
    stream.assembler->exclusiveCount = 0;
    while (header != nullptr) {
        // Once handed back the header is the client's again: read the link first.
        MidiHeader* next = header->lpNext;
        handBack(stream, header, 0, MIM_LONGDATA, stream.assembler->now);
        header = next;
    }
}

bool buffersQueued(const Stream& stream) {
    return stream.bufferQueueHead != nullptr;
}
