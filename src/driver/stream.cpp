#include "driver/stream.h"

#include "port/port.h"

#include <new>

namespace {

Stream* allocateStream(ProcessContext& process) {
    void* memory = platform::heapAllocate(process.heap, sizeof(Stream));
    if (memory == nullptr) {
        return nullptr;
    }
    // The heap hands out zero-filled memory; the slot starts out holding no port.
    Stream* stream = new (memory) Stream{};
    stream->port.handle = platform::invalidHandle;
    stream->process = &process;
    return stream;
}

} // namespace

uint32_t openStream(ProcessContext& process, uint32_t kind, uint32_t index,
                    Stream** instanceAddress, const MidiOpenDescription& openDescription,
                    uint32_t flags) {
    if (process.heap == platform::nullHandle) {
        return MMSYSERR_NOMEM;
    }
    Stream* stream = allocateStream(process);
    if (stream == nullptr) {
        return MMSYSERR_NOMEM;
    }
    if (kind == kindOutput) {
        // A pending write is waited for on this event: without it no write could finish.
        stream->writeCompletion.event = platform::createEvent();
        if (stream->writeCompletion.event == platform::nullHandle) {
            closeStream(*stream);
            return MMSYSERR_NOMEM;
        }
    }
    stream->deviceIndex = index;
    stream->kind = kind;
    stream->clientCallback = openDescription.dwCallback;
    stream->clientInstance = openDescription.dwInstance;
    stream->deviceHandle = openDescription.hMidi;
    stream->openFlags = flags;
    stream->owner = process.ownerToken;

    uint32_t status;
    {
        std::lock_guard<std::mutex> hold(process.portLock);
        status =
            attachPort(*process.shared, kind, index, stream->port, readWriteAccess, stream->owner);
    }
    if (status != MMSYSERR_NOERROR) {
        closeStream(*stream);
        return status;
    }
    *instanceAddress = stream;
    notifyClient(*stream, kind == kindOutput ? MOM_OPEN : MIM_OPEN, 0, 0);
    return MMSYSERR_NOERROR;
}

void closeStream(Stream& stream) {
    ProcessContext& process = *stream.process;
    if (stream.writeCompletion.event != platform::nullHandle) {
        platform::closeHandle(stream.writeCompletion.event);
    }
    {
        std::lock_guard<std::mutex> hold(process.portLock);
        detachPort(*process.shared, stream);
    }
    stream.~Stream();
    platform::heapFree(process.heap, &stream);
}

void notifyClient(const Stream& stream, uint32_t notification, uintptr_t param1, uintptr_t param2) {
    if (stream.clientCallback == 0) {
        return;
    }
    platform::driverCallback(stream.clientCallback, stream.openFlags >> 16, stream.deviceHandle,
                             notification, stream.clientInstance, param1, param2);
}
