// One opened device: created by openStream, handed to the host as the device's instance data,
// and released by closeStream. An input stream's record is the start of its InputStream
// (input/input_stream.h).
#pragma once

#include "driver/process_context.h"
#include "output/sounding.h"
#include "platform/host.h"

#include <atomic>
#include <cstdint>
#include <mutex>

struct Stream {
    uint32_t deviceIndex;
    DeviceKind kind;
    uintptr_t clientCallback;
    uintptr_t clientInstance;
    uintptr_t deviceHandle;
    PortSlot port;
    uint32_t openFlags;        // the high 16 bits say how the client wants to be called back
    uint32_t rememberedLength; // output: length of the last classified short message
    uint8_t rememberedStatus;  // output: its status byte, which running-status data goes under
    // Output: a reset has put status bytes of its own on the wire since the client's last one, so
    // the instrument's running status is no longer the client's.
    uint8_t runningStatusOverwritten;
    SoundingNotes sounding; // output: the notes and pedals the stream left on
    // Output: makes a short message's send and its bookkeeping (sounding, running status) one
    // step against a reset of the same stream from another thread, as players stop from their
    // interface thread while their playing thread still sends. Taken before the send lock.
    std::mutex trackingLock;
    // Output: its port writes and the cut a reset asks of them; the event is created at open.
    PortWriter writer;
    // Output: long messages under way on the client's threads. While one is, the stream's
    // record and event are in use and the stream cannot be closed.
    std::atomic<uint32_t> longMessagesUnderWay;
    // Output: every call using the stream on the client's threads (short message, long message,
    // reset). While one is, the stream cannot be closed.
    std::atomic<uint32_t> callsUnderWay;
    OwnerToken owner;
    ProcessContext* process;
};

// A kind-specific step run once the port is attached and before the stream is published: the
// input's worker start. A nonzero status fails the open.
using StartUp = uint32_t (*)(Stream& stream);

uint32_t openStream(ProcessContext& process, DeviceKind kind, uint32_t index,
                    Stream** instanceAddress, const MidiOpenDescription& openDescription,
                    uint32_t flags, StartUp startUp = nullptr);
// The open message as the host sends it: `instance` is where the stream's pointer goes, `param1`
// the open description and `param2` the open flags.
uint32_t openFromHost(ProcessContext& process, DeviceKind kind, uint32_t index, uintptr_t instance,
                      uintptr_t param1, uintptr_t param2, StartUp startUp);
void closeStream(Stream& stream);
// The stream the host hands back as a device's instance data; the caller has checked it is not 0.
Stream& streamOf(uintptr_t instance);
// Whether a client's header can be read: present, at least as long as the host's smallest one,
// and with data unless it is empty.
bool headerIsUsable(const MidiHeader* header, uintptr_t headerSize);
void notifyClient(const Stream& stream, uint32_t notification, uintptr_t param1, uintptr_t param2);
