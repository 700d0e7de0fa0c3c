#include "input/exclusive_queue.h"

namespace {

void handBack(const Stream& client, MidiHeader* header, uint32_t bytesRecorded,
              uint32_t notification, uint32_t time) {
    header->dwBytesRecorded = bytesRecorded;
    header->dwFlags = (header->dwFlags | MHDR_DONE) & ~MHDR_INQUEUE;
    notifyClient(client, notification, reinterpret_cast<uintptr_t>(header), time);
}

void finishHead(ExclusiveQueue& queue, const Stream& client, uint32_t notification, uint32_t time) {
    MidiHeader* head = queue.head;
    queue.head = head->lpNext;
    uint32_t recorded = queue.count;
    queue.count = 0;
    handBack(client, head, recorded, notification, time);
}

size_t queuedBuffers(const ExclusiveQueue& queue) {
    size_t count = 0;
    for (const MidiHeader* header = queue.head; header != nullptr; header = header->lpNext) {
        ++count;
    }
    return count;
}

// A buffer that can hold nothing goes back unused rather than swallow a byte meant for the next
// one. Only the buffers queued when the byte arrived go back: a client that adds each returned
// buffer again at once would otherwise keep the worker handing the same one back forever.
void returnEmptyBuffers(ExclusiveQueue& queue, const Stream& client, uint32_t time) {
    for (size_t queued = queuedBuffers(queue); queued > 0; --queued) {
        MidiHeader* head = queue.head;
        if (head == nullptr || head->dwBufferLength != 0) {
            return;
        }
        finishHead(queue, client, MIM_LONGDATA, time);
    }
}

// The exclusive has ended, whole or cut short: a monitor is told, and it is counted.
void endTracedExclusive(ExclusiveQueue& queue, const Stream& client, bool whole) {
    if (queue.traced.length == 0 || client.line == nullptr) {
        return;
    }
    const PortLine& line = *client.line;
    TraceEvent event = TraceEvent::exclusiveCut; // its buffer went back as a long error
    if (queue.unbuffered != 0) {
        event = TraceEvent::exclusiveLost;
        countUp(line.monitor, Count::exclusivesLost);
    } else if (whole) {
        event = TraceEvent::received;
        countUp(line.monitor, Count::messagesReceived);
        countUp(line.monitor, Count::bytesReceived, queue.traced.length);
    } else {
        countUp(line.monitor, Count::brokenExclusives);
    }
    TraceNote note = {event, static_cast<uint8_t>(deviceSlot(kindInput, 0)), 0, 0,
                      queue.unbuffered};
    trace(line.monitor, note, &queue.traced);
    queue.traced = {};
    queue.unbuffered = 0;
}

} // namespace

void appendBuffer(ExclusiveQueue& queue, MidiHeader* header) {
    // The host packs its header to the byte, so its link is reached through the header only.
    header->lpNext = nullptr;
    if (queue.head == nullptr) {
        queue.head = header;
        return;
    }
    MidiHeader* last = queue.head;
    while (last->lpNext != nullptr) {
        last = last->lpNext;
    }
    last->lpNext = header;
}

void sinkExclusiveByte(ExclusiveQueue& queue, const Stream& client, uint8_t byte, uint32_t time) {
    keepTracedByte(queue.traced, byte);
    if (queue.head != nullptr && queue.head->dwBufferLength == 0) {
        returnEmptyBuffers(queue, client, time);
    }
    MidiHeader* head = queue.head;
    bool buffered = head != nullptr && head->dwBufferLength != 0;
    uint32_t& count = queue.count;
    if (!buffered) {
        ++queue.unbuffered; // no buffer to take it
    } else if (count < head->dwBufferLength) {
        head->lpData[count++] = byte;
    }
    // Ended before the client hears of it: its callback may stop the input, which ends what is
    // still traced as cut short.
    if (byte == endOfExclusive) {
        endTracedExclusive(queue, client, true);
    }
    if (buffered && (byte == endOfExclusive || count >= head->dwBufferLength)) {
        finishHead(queue, client, MIM_LONGDATA, time);
    }
}

void abortExclusive(ExclusiveQueue& queue, const Stream& client, uint32_t time) {
    endTracedExclusive(queue, client, false);
    if (queue.head != nullptr) {
        finishHead(queue, client, MIM_LONGERROR, time);
    }
}

void returnPartialBuffer(ExclusiveQueue& queue, const Stream& client, uint32_t time) {
    endTracedExclusive(queue, client, false);
    if (queue.head != nullptr && queue.count > 0) {
        finishHead(queue, client, MIM_LONGERROR, time);
    }
}

void returnAllBuffers(ExclusiveQueue& queue, const Stream& client, uint32_t time) {
    MidiHeader* header = queue.head;
    queue.head = nullptr;
    queue.count = 0;
    while (header != nullptr) {
        // Once handed back the header is the client's again: read the link first.
        MidiHeader* next = header->lpNext;
        handBack(client, header, 0, MIM_LONGDATA, time);
        header = next;
    }
}

bool buffersQueued(const ExclusiveQueue& queue) {
    return queue.head != nullptr;
}
