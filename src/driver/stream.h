// One opened device: created by openStream, handed to the host as the device's instance data,
// and released by closeStream. This common record is the start of an OutputStream
// (output/output_stream.h) or an InputStream (input/input_stream.h), by its kind.
#pragma once

#include "driver/process_context.h"
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
    uint32_t openFlags; // the high 16 bits say how the client wants to be called back
    OwnerToken owner;
    ProcessContext* process;
};

uint32_t openStream(ProcessContext& process, DeviceKind kind, uint32_t index,
                    Stream** instanceAddress, const MidiOpenDescription& openDescription,
                    uint32_t flags);
// The open message as the host sends it: `instance` is where the stream's pointer goes, `param1`
// the open description and `param2` the open flags.
uint32_t openFromHost(ProcessContext& process, DeviceKind kind, uint32_t index, uintptr_t instance,
                      uintptr_t param1, uintptr_t param2);
void closeStream(Stream& stream);
// Whether a client's header can be read: present, at least as long as the host's smallest one,
// and with data unless it is empty.
bool headerIsUsable(const MidiHeader* header, uintptr_t headerSize);
void notifyClient(const Stream& stream, uint32_t notification, uintptr_t param1, uintptr_t param2);
