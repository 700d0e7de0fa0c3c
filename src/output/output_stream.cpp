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
    return stream;
}

bool prepareLineWrites(OutputStream& stream) {
    // A pending write is waited for on this event: without it no write could finish.
    PortWriter& writer = lineEndOf(stream).writer;
    writer.completion.event = platform::createEvent();
    return writer.completion.event != platform::nullHandle;
}

void destroyOutputStream(platform::Handle heap, OutputStream& stream) {
    LineEnd* lineEnd = std::get_if<LineEnd>(&stream.deviceState);
    if (lineEnd != nullptr && lineEnd->writer.completion.event != platform::nullHandle) {
        platform::closeHandle(lineEnd->writer.completion.event);
    }
    stream.~OutputStream();
    platform::heapFree(heap, &stream);
}
