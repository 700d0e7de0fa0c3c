#include "driver/open_close.h"

#include "input/input_stream.h"
#include "input/line_input.h"
#include "input/service_input.h"
#include "input/worker.h"
#include "monitor/monitor.h"
#include "output/line_output.h"
#include "output/output_stream.h"
#include "output/service_output.h"

#include <mutex>

namespace {

// The entry of the device `kind`, `index` that holds `instance`, or null; with instance 0, a free
// one. The pointer is compared, never followed: it may name a stream closed long ago, or another
// device's. Called with streamsLock held.
Stream** entryOf(ProcessContext& process, DeviceKind kind, uint32_t index, uintptr_t instance) {
    uint32_t devices = kind == kindInput ? 1 : outputCount;
    if (index >= devices) {
        return nullptr;
    }
    for (Stream*& entry : process.openStreams[deviceSlot(kind, index) - 1]) {
        if (reinterpret_cast<uintptr_t>(entry) == instance) {
            return &entry;
        }
    }
    return nullptr;
}

// Whether the calling thread is inside a call on the stream, or is its input's worker, whose
// notifications the client may close from: a close made there must not wait for itself.
bool calledFromInside(const Stream& stream) {
    uint32_t thread = platform::currentThreadId();
    const CallUnderWay* call = stream.calls;
    while (call != nullptr && call->thread != thread) {
        call = call->next;
    }
    return call != nullptr || (stream.kind == kindInput &&
                               static_cast<const InputStream&>(stream).workerThreadId == thread);
}

// Waits until no call uses the stream, for at most callWaitMs; false when one still does. `hold`
// holds streamsLock, and lets it go while waiting. The stream is out of the table, so no call
// begins meanwhile, and the last to end signals the event. While the program ends, the other
// threads have been ended, perhaps inside a call: none of them will end it.
bool callsHaveEnded(std::unique_lock<std::mutex>& hold, Stream& stream) {
    if (platform::processIsEnding()) {
        return true;
    }
    if (stream.calls != nullptr) {
        hold.unlock();
        platform::waitFor(stream.callsEnded, platform::nullHandle, callWaitMs);
        hold.lock();
    }
    return stream.calls == nullptr;
}

// Gives the stream its device for its kind, with the device's state: the serial line, or the
// connection to the service.
void giveDevice(Stream& stream, bool viaService) {
    stream.viaService = viaService;
    if (viaService) {
        stream.deviceState.emplace<ShareLink>();
    } else {
        stream.deviceState.emplace<LineEnd>();
    }
    if (stream.kind == kindInput) {
        static_cast<InputStream&>(stream).device = viaService ? &serviceInput : &lineInput;
    } else {
        static_cast<OutputStream&>(stream).device = viaService ? &serviceOutput : &lineOutput;
    }
}

uint8_t& linkedStreams(ProcessContext& process, DeviceKind kind, uint32_t index) {
    return process.linkedStreams[deviceSlot(kind, index) - 1];
}

// The device's open through the sharing service: the stream's place in the device's row is
// counted first, so that opens on several threads never connect more streams than it has places.
uint32_t linkDevice(ProcessContext& process, DeviceKind kind, uint32_t index, Stream& stream) {
    if (index >= deviceCount(*process.line.shared, kind)) {
        return MMSYSERR_BADDEVICEID;
    }
    {
        // A stream of the device on the port this process held until a moment ago has the row's
        // first place, which the count does not know of.
        std::lock_guard<std::mutex> hold(process.streamsLock);
        Stream* first = process.openStreams[deviceSlot(kind, index) - 1][0];
        if (linkedStreams(process, kind, index) == streamsPerDevice ||
            (first != nullptr && !first->viaService)) {
            return MMSYSERR_ALLOCATED;
        }
        ++linkedStreams(process, kind, index);
    }
    giveDevice(stream, true);
    uint32_t status = connectShare(linkOf(stream), process.line, kind, index);
    if (status != MMSYSERR_NOERROR) {
        std::lock_guard<std::mutex> hold(process.streamsLock);
        --linkedStreams(process, kind, index);
    }
    return status;
}

// Gives the stream its device: its hold on the port, or, while the instrument is shared, its
// connection to the sharing service. A process that holds the port keeps using it until it lets
// go, whatever the setting became meanwhile.
uint32_t chooseDevice(ProcessContext& process, DeviceKind kind, uint32_t index, Stream& stream) {
    bool shared = process.line.shared->sharing != 0 && process.line.heldGeneration == noHold;
    if (shared) {
        return linkDevice(process, kind, index, stream);
    }
    // Sharing was switched off while a stream of the device still goes through the service.
    if (index < deviceCount(*process.line.shared, kind)) {
        std::lock_guard<std::mutex> hold(process.streamsLock);
        if (linkedStreams(process, kind, index) != 0) {
            return MMSYSERR_ALLOCATED;
        }
    }
    giveDevice(stream, false);
    if (kind == kindOutput && !prepareLineWrites(static_cast<OutputStream&>(stream))) {
        return MMSYSERR_NOMEM;
    }
    uint32_t status = attachPort(process.line, kind, index, lineEndOf(stream).hold);
    // What the output leaves sounding, and what its resets hand over, is kept where the next
    // holder of the port finds it should this process die.
    if (status == MMSYSERR_NOERROR && kind == kindOutput && process.line.sounding != nullptr) {
        static_cast<OutputStream&>(stream).sounding = &process.line.sounding->held[index];
        keepOwedIn(process.owed, process.line.sounding->owed);
    }
    return status;
}

// The same, told to whoever looks: which program has the device, or that it was refused.
uint32_t takeDevice(ProcessContext& process, DeviceKind kind, uint32_t index, Stream& stream) {
    uint32_t status = chooseDevice(process, kind, index, stream);
    auto slot = static_cast<uint8_t>(deviceSlot(kind, index));
    if (status == MMSYSERR_NOERROR) {
        tellOpenedDevice(process.line.monitor, slot, stream.viaService);
        trace(process.line.monitor, {TraceEvent::opened, slot, 0, 0, status});
    } else if (status == MMSYSERR_ALLOCATED) {
        countUp(process.line.monitor, Count::opensRefused);
        trace(process.line.monitor, {TraceEvent::openRefused, slot, 0, 0, status});
    }
    return status;
}

void letDeviceGo(ProcessContext& process, Stream& stream) {
    auto slot = static_cast<uint8_t>(deviceSlot(stream.kind, stream.deviceIndex));
    forgetOpenedDevice(process.line.monitor, slot);
    trace(process.line.monitor, {TraceEvent::closed, slot, 0, 0, MMSYSERR_NOERROR});
    if (!stream.viaService) {
        detachPort(process.line, stream.kind, stream.deviceIndex, lineEndOf(stream).hold);
        return;
    }
    disconnectShare(linkOf(stream));
    std::lock_guard<std::mutex> hold(process.streamsLock);
    --linkedStreams(process, stream.kind, stream.deviceIndex);
}

void freeStream(ProcessContext& process, Stream& stream) {
    if (stream.callsEnded != platform::nullHandle) {
        platform::closeHandle(stream.callsEnded);
    }
    if (stream.kind == kindInput) {
        destroyInputStream(process.heap, static_cast<InputStream&>(stream));
    } else {
        destroyOutputStream(process.heap, static_cast<OutputStream&>(stream));
    }
}

} // namespace

uint32_t openStream(ProcessContext& process, DeviceKind kind, uint32_t index,
                    Stream** instanceAddress, const MidiOpenDescription& openDescription,
                    uint32_t flags) {
    if (process.heap == platform::nullHandle) {
        return MMSYSERR_NOMEM;
    }
    Stream* stream = kind == kindInput ? static_cast<Stream*>(createInputStream(process.heap))
                                       : createOutputStream(process.heap, process.owed);
    if (stream == nullptr) {
        return MMSYSERR_NOMEM;
    }
    stream->deviceIndex = index;
    stream->clientCallback = openDescription.dwCallback;
    stream->clientInstance = openDescription.dwInstance;
    stream->deviceHandle = openDescription.hMidi;
    stream->openFlags = flags;
    stream->line = &process.line;
    stream->callsEnded = platform::createEvent();
    if (stream->callsEnded == platform::nullHandle) {
        freeStream(process, *stream);
        return MMSYSERR_NOMEM;
    }
    // The port's hold is the device's own: a device that is open already is refused here, so the
    // device's entry in the table is free. A refused device holds nothing.
    uint32_t status = takeDevice(process, kind, index, *stream);
    if (status != MMSYSERR_NOERROR) {
        freeStream(process, *stream);
        return status;
    }
    // The input's worker starts once the port is attached and before the stream is published.
    if (kind == kindInput && startWorker(static_cast<InputStream&>(*stream)) != MMSYSERR_NOERROR) {
        letDeviceGo(process, *stream);
        freeStream(process, *stream);
        return MMSYSERR_NOMEM;
    }
    Stream** place;
    {
        std::lock_guard<std::mutex> hold(process.streamsLock);
        place = entryOf(process, kind, index, 0);
        if (place != nullptr) {
            *place = stream;
        }
    }
    // Every place of the row is taken only when the sharing setting changed under opens of the
    // device on two threads at once, one of them on the port.
    if (place == nullptr) {
        if (kind == kindInput) {
            stopWorker(static_cast<InputStream&>(*stream));
        }
        letDeviceGo(process, *stream);
        freeStream(process, *stream);
        return MMSYSERR_ALLOCATED;
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

uint32_t callStream(ProcessContext& process, DeviceKind kind, uint32_t index, uintptr_t instance,
                    StreamUse use, uint32_t message, uintptr_t param1, uintptr_t param2) {
    if (instance == 0) {
        return MMSYSERR_INVALPARAM;
    }
    CallUnderWay call = {platform::currentThreadId(), nullptr};
    Stream* stream;
    {
        std::lock_guard<std::mutex> hold(process.streamsLock);
        Stream** entry = entryOf(process, kind, index, instance);
        if (entry == nullptr) {
            return MMSYSERR_INVALHANDLE;
        }
        stream = *entry;
        call.next = stream->calls;
        stream->calls = &call;
    }
    uint32_t status = use(*stream, message, param1, param2);
    std::lock_guard<std::mutex> hold(process.streamsLock);
    CallUnderWay** link = &stream->calls;
    while (*link != &call) {
        link = &(*link)->next;
    }
    *link = call.next;
    // A stream out of the table has a close waiting for its calls. This is the call's last touch
    // of the stream: the close may free it as soon as the lock is let go.
    if (stream->calls == nullptr &&
        entryOf(process, kind, index, reinterpret_cast<uintptr_t>(stream)) == nullptr) {
        platform::setEvent(stream->callsEnded);
    }
    return status;
}

uint32_t closeFromHost(ProcessContext& process, DeviceKind kind, uint32_t index,
                       uintptr_t instance) {
    if (instance == 0) {
        return MMSYSERR_INVALPARAM;
    }
    std::unique_lock<std::mutex> hold(process.streamsLock);
    Stream** entry = entryOf(process, kind, index, instance);
    if (entry == nullptr) {
        return MMSYSERR_INVALHANDLE;
    }
    Stream* stream = *entry;
    if (calledFromInside(*stream)) {
        return MIDIERR_STILLPLAYING;
    }
    *entry = nullptr; // from now on no call reaches it, a second close included
    uint32_t status = callsHaveEnded(hold, *stream) ? MMSYSERR_NOERROR : MIDIERR_STILLPLAYING;
    if (status == MMSYSERR_NOERROR && kind == kindInput) {
        hold.unlock();
        status = stopWorker(static_cast<InputStream&>(*stream));
        hold.lock();
    }
    // Put back under the lock of the last look at the calls, lest a call that ends meanwhile take
    // the stream for closing. The device's hold was kept, so its row has a place for it, though
    // another stream of a shared device may have taken this one meanwhile.
    if (status != MMSYSERR_NOERROR) {
        *entryOf(process, kind, index, 0) = stream;
        return status;
    }
    hold.unlock();
    // The device is free before the client hears of the close: a client may open it again from
    // the notification.
    letDeviceGo(process, *stream);
    notifyClient(*stream, kind == kindOutput ? MOM_CLOSE : MIM_CLOSE, 0, 0);
    freeStream(process, *stream);
    return MMSYSERR_NOERROR;
}

void closeEveryStream(ProcessContext& process) {
    // An input's worker holds the module, which is therefore unloaded with outputs open only.
    for (auto& row : process.openStreams) {
        for (Stream*& stream : row) {
            if (stream != nullptr) {
                letDeviceGo(process, *stream);
                freeStream(process, *stream);
                stream = nullptr;
            }
        }
    }
}
