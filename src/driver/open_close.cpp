#include "driver/open_close.h"

#include "input/input_stream.h"
#include "input/worker.h"
#include "output/output_stream.h"
#include "port/port.h"

namespace {

// The table's entry that holds the stream `instance` names among the devices of `kind`, or null.
// Called with streamsLock held.
Stream** findStream(ProcessContext& process, DeviceKind kind, uintptr_t instance) {
    uint32_t first = deviceSlot(kind, 0) - 1;
    uint32_t end = kind == kindInput ? deviceSlot(kindOutput, 0) - 1 : deviceSlotCount;
    for (uint32_t entry = first; entry < end; ++entry) {
        Stream*& stream = process.openStreams[entry];
        if (stream != nullptr && reinterpret_cast<uintptr_t>(stream) == instance) {
            return &stream;
        }
    }
    return nullptr;
}

} // namespace

uint32_t openStream(ProcessContext& process, DeviceKind kind, uint32_t index,
                    Stream** instanceAddress, const MidiOpenDescription& openDescription,
                    uint32_t flags) {
    if (process.heap == platform::nullHandle) {
        return MMSYSERR_NOMEM;
    }
    Stream* stream;
    if (kind == kindInput) {
        stream = createInputStream(process.heap);
    } else {
        stream = createOutputStream(process.heap, process.owed);
    }
    if (stream == nullptr) {
        return MMSYSERR_NOMEM;
    }
    stream->deviceIndex = index;
    stream->clientCallback = openDescription.dwCallback;
    stream->clientInstance = openDescription.dwInstance;
    stream->deviceHandle = openDescription.hMidi;
    stream->openFlags = flags;
    stream->slot.generation = noHold;
    stream->line = &process.line;

    // The port's hold is the device's own: a device that is open already is refused here, so the
    // device's entry in the table is free.
    uint32_t status = attachPort(process.line, kind, index, stream->slot);
    if (status != MMSYSERR_NOERROR) {
        closeStream(process, *stream);
        return status;
    }
    // The input's worker starts once the port is attached and before the stream is published.
    if (kind == kindInput && startWorker(static_cast<InputStream&>(*stream)) != MMSYSERR_NOERROR) {
        closeStream(process, *stream);
        return MMSYSERR_NOMEM;
    }
    {
        // The attach found the device index in range.
        std::lock_guard<std::mutex> hold(process.streamsLock);
        process.openStreams[deviceSlot(kind, index) - 1] = stream;
    }
    *instanceAddress = stream;
    notifyClient(*stream, kind == kindOutput ? MOM_OPEN : MIM_OPEN, 0, 0);
    return MMSYSERR_NOERROR;
}

uint32_t openFromHost(ProcessContext& process, DeviceKind kind, uint32_t index, uintptr_t instance,
                      uintptr_t param1, uintptr_t param2) {
    auto* openDescription = reinterpret_cast<const MidiOpenDescription*>(param1);
    if (instance == 0 || openDescription == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    return openStream(process, kind, index, reinterpret_cast<Stream**>(instance), *openDescription,
                      static_cast<uint32_t>(param2));
}

uint32_t callStream(ProcessContext& process, DeviceKind kind, uintptr_t instance, StreamUse use,
                    uint32_t message, uintptr_t param1, uintptr_t param2) {
    Stream* stream;
    {
        std::lock_guard<std::mutex> hold(process.streamsLock);
        Stream** entry = findStream(process, kind, instance);
        if (entry == nullptr || (*entry)->closing) {
            return MMSYSERR_INVALHANDLE;
        }
        stream = *entry;
        ++stream->callsUnderWay;
    }
    uint32_t status = use(*stream, message, param1, param2);
    // The last touch of the stream: a close waiting for this call may free it right after.
    --stream->callsUnderWay;
    return status;
}

uint32_t beginClose(ProcessContext& process, DeviceKind kind, uintptr_t instance, Stream*& stream) {
    std::lock_guard<std::mutex> hold(process.streamsLock);
    Stream** entry = findStream(process, kind, instance);
    if (entry == nullptr || (*entry)->closing) {
        return MMSYSERR_INVALHANDLE;
    }
    // A send, reset or command going on on another thread, or the call whose notification this
    // close comes from, still uses the stream's record.
    if ((*entry)->callsUnderWay.load() != 0) {
        return MIDIERR_STILLPLAYING;
    }
    stream = *entry;
    stream->closing = true;
    return MMSYSERR_NOERROR;
}

void abandonClose(ProcessContext& process, Stream& stream) {
    std::lock_guard<std::mutex> hold(process.streamsLock);
    stream.closing = false;
}

void finishClose(ProcessContext& process, Stream& stream, uint32_t notification) {
    notifyClient(stream, notification, 0, 0);
    closeStream(process, stream);
}

void closeStream(ProcessContext& process, Stream& stream) {
    {
        // A stream whose open failed was never published.
        std::lock_guard<std::mutex> hold(process.streamsLock);
        Stream** entry = findStream(process, stream.kind, reinterpret_cast<uintptr_t>(&stream));
        if (entry != nullptr) {
            *entry = nullptr;
        }
    }
    detachPort(process.line, stream.kind, stream.deviceIndex, stream.slot);
    if (stream.kind == kindInput) {
        destroyInputStream(process.heap, static_cast<InputStream&>(stream));
    } else {
        destroyOutputStream(process.heap, static_cast<OutputStream&>(stream));
    }
}
