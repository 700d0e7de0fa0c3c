#include "driver/open_close.h"

#include "input/input_stream.h"
#include "input/worker.h"
#include "output/output_stream.h"
#include "port/port.h"

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

void closeStream(ProcessContext& process, Stream& stream) {
    detachPort(process.line, stream.kind, stream.deviceIndex, stream.slot);
    if (stream.kind == kindInput) {
        destroyInputStream(process.heap, static_cast<InputStream&>(stream));
    } else {
        destroyOutputStream(process.heap, static_cast<OutputStream&>(stream));
    }
}
