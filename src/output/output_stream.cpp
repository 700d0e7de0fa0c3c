#include "output/output_stream.h"

#include <new>

OutputStream* createOutputStream(platform::Handle heap, OwedSilence& owed) {
    void* memory = platform::heapAllocate(heap, sizeof(OutputStream));
    if (memory == nullptr) {
        return nullptr;
    }
    auto* stream = new (memory) OutputStream{};
    stream->kind = kindOutput;
    stream->owed = &owed;
    stream->sounding = &stream->ownSounding;
    // A pending write is waited for on this event: without it no write could finish.
    stream->writer.completion.event = platform::createEvent();
    if (stream->writer.completion.event == platform::nullHandle) {
        destroyOutputStream(heap, *stream);
        return nullptr;
    }
    return stream;
}

void destroyOutputStream(platform::Handle heap, OutputStream& stream) {
    if (stream.writer.completion.event != platform::nullHandle) {
        platform::closeHandle(stream.writer.completion.event);
    }
    stream.~OutputStream();
    platform::heapFree(heap, &stream);
}
