#include "input/input_stream.h"

#include <new>

InputStream* createInputStream(platform::Handle heap) {
    void* memory = platform::heapAllocate(heap, sizeof(InputStream));
    if (memory == nullptr) {
        return nullptr;
    }
    auto* stream = new (memory) InputStream{};
    stream->kind = kindInput;
    return stream;
}

void destroyInputStream(platform::Handle heap, InputStream& stream) {
    for (platform::Handle* handle :
         {&stream.commandEvent, &stream.doneEvent, &stream.workerThread}) {
        if (*handle != platform::nullHandle) {
            platform::closeHandle(*handle);
        }
    }
    stream.~InputStream();
    platform::heapFree(heap, &stream);
}

bool anyReadSlot(const InputStream& stream, uint32_t ReadSlot::*flag) {
    for (uint32_t i = 0; i < readSlotCount; ++i) {
        if (stream.slots[i].*flag != 0) {
            return true;
        }
    }
    return false;
}

void readCompleted(uint32_t error, uint32_t count, platform::CompletionRecord* record) {
    auto* slot = reinterpret_cast<ReadSlot*>(record);
    slot->error = error;
    slot->bytesTransferred = count;
    slot->outstanding = 0;
    slot->done = 1;
}
