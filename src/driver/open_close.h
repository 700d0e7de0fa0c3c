// Opening and closing a device: the stream of its kind is created and attached to the port, and
// let go and freed again.
#pragma once

#include "driver/process_context.h"
#include "stream/stream.h"

#include <cstdint>

uint32_t openStream(ProcessContext& process, DeviceKind kind, uint32_t index,
                    Stream** instanceAddress, const MidiOpenDescription& openDescription,
                    uint32_t flags);
// The open message as the host sends it: `instance` is where the stream's pointer goes, `param1`
// the open description and `param2` the open flags.
uint32_t openFromHost(ProcessContext& process, DeviceKind kind, uint32_t index, uintptr_t instance,
                      uintptr_t param1, uintptr_t param2);
// Lets the stream's hold on the port go and frees the stream; nothing may use it any longer.
void closeStream(ProcessContext& process, Stream& stream);
