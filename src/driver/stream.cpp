#include "driver/stream.h"

#include "input/input_stream.h"
#include "output/output_stream.h"
#include "port/port.h"

#include <new>

namespace {

// An output stream is an OutputStream, an input stream an InputStream; the common record comes
// first in either.
Stream* allocateStream(ProcessContext& process, DeviceKind kind) {
    size_t size = kind == kindInput ? sizeof(InputStream) : sizeof(OutputStream);
    void* memory = platform::heapAllocate(process.heap, size);
    if (memory == nullptr) {
        return nullptr;
    }
    Stream* stream;
    if (kind == kindInput) {
        stream = new (memory) InputStream{};
    } else {
        auto* output = new (memory) OutputStream{};
        output->owed = &process.owed;
        stream = output;
    }
    stream->kind = kind; // which record closeStream takes down
    stream->port.generation = noHold;
    stream->process = &process;
    return stream;
}

void closeIfOpen(platform::Handle& handle) {
    if (handle != platform::nullHandle) {
        platform::closeHandle(handle);
        handle = platform::nullHandle;
    }
}

} // namespace

uint32_t openStream(ProcessContext& process, DeviceKind kind, uint32_t index,
                    Stream** instanceAddress, const MidiOpenDescription& openDescription,
                    uint32_t flags, StartUp startUp) {
    if (process.heap == platform::nullHandle) {
        return MMSYSERR_NOMEM;
    }
    Stream* stream = allocateStream(process, kind);
    if (stream == nullptr) {
        return MMSYSERR_NOMEM;
    }
    if (kind == kindOutput) {
        // A pending write is waited for on this event: without it no write could finish.
        PortWriter& writer = static_cast<OutputStream*>(stream)->writer;
        writer.completion.event = platform::createEvent();
        if (writer.completion.event == platform::nullHandle) {
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
    stream->owner = process.line.ownerToken;

    uint32_t status = attachPort(process.line, kind, index, stream->port);
    if (status != MMSYSERR_NOERROR) {
        closeStream(*stream);
        return status;
    }
    if (startUp != nullptr && startUp(*stream) != MMSYSERR_NOERROR) {
        closeStream(*stream);
        return MMSYSERR_NOMEM;
    }
    *instanceAddress = stream;
    notifyClient(*stream, kind == kindOutput ? MOM_OPEN : MIM_OPEN, 0, 0);
    return MMSYSERR_NOERROR;
}

uint32_t openFromHost(ProcessContext& process, DeviceKind kind, uint32_t index, uintptr_t instance,
                      uintptr_t param1, uintptr_t param2, StartUp startUp) {
    auto* openDescription = reinterpret_cast<const MidiOpenDescription*>(param1);
    if (instance == 0 || openDescription == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    return openStream(process, kind, index, reinterpret_cast<Stream**>(instance), *openDescription,
                      static_cast<uint32_t>(param2), startUp);
}

void closeStream(Stream& stream) {
    ProcessContext& process = *stream.process;
    if (stream.kind == kindOutput) {
        closeIfOpen(static_cast<OutputStream&>(stream).writer.completion.event);
    }
    detachPort(process.line, stream.kind, stream.deviceIndex, stream.port);
    if (stream.kind == kindInput) {
        auto& input = static_cast<InputStream&>(stream);
        closeIfOpen(input.commandEvent);
        closeIfOpen(input.doneEvent);
        input.~InputStream();
    } else {
        static_cast<OutputStream&>(stream).~OutputStream();
    }
    // The record is at the start of the stream's allocation, so this frees it all.
    platform::heapFree(process.heap, &stream);
}

void notifyClient(const Stream& stream, uint32_t notification, uintptr_t param1, uintptr_t param2) {
    if (stream.clientCallback == 0) {
        return;
    }
    platform::driverCallback(stream.clientCallback, stream.openFlags >> 16, stream.deviceHandle,
                             notification, stream.clientInstance, param1, param2);
}

bool headerIsUsable(const MidiHeader* header, uintptr_t headerSize) {
    return header != nullptr && headerSize >= minimumHeaderSize &&
           (header->lpData != nullptr || header->dwBufferLength == 0);
}
