// Opening and closing a device: the stream of its kind is created and attached to the port, and
// let go and freed again; and the process's table of open streams, through which every later call
// reaches its stream.
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

// A call of the client's on the stream of kind `kind` that `instance` names: `use` is called with
// the stream, counted as under way meanwhile, and its answer returned; MMSYSERR_INVALHANDLE when no
// such stream is open (never opened, closed, or its close has begun). Only the pointer's value is
// looked at until the stream is found.
using StreamUse = uint32_t (*)(Stream& stream, uint32_t message, uintptr_t param1,
                               uintptr_t param2);
uint32_t callStream(ProcessContext& process, DeviceKind kind, uintptr_t instance, StreamUse use,
                    uint32_t message, uintptr_t param1, uintptr_t param2);
// Begins the close of the stream `instance` names: from now on every other call on it, a second
// close included, is refused. MMSYSERR_INVALHANDLE when there is no such open stream or its close
// has begun already, MIDIERR_STILLPLAYING while a call of the client's uses it.
uint32_t beginClose(ProcessContext& process, DeviceKind kind, uintptr_t instance, Stream*& stream);
// The close could not be carried out: the stream is open and usable as before.
void abandonClose(ProcessContext& process, Stream& stream);
// Carries the close out: the client is told `notification` (MOM_CLOSE or MIM_CLOSE) and the
// stream is released. A close the client makes again from that notification finds nothing.
void finishClose(ProcessContext& process, Stream& stream, uint32_t notification);
// Takes the stream out of the table, lets its hold on the port go and frees it; nothing may use it
// any longer.
void closeStream(ProcessContext& process, Stream& stream);
