// A stream's life: opening a device, the client's calls on it and its close, through the process's
// table of open streams (ARCHITECTURE.md, "A stream's life").
//
// A stream is open while it is in the table; every call reaches it there, by its device and the
// pointer the host hands back, and is listed as under way until it returns. A close takes the
// stream out of the table at once, waits for the calls under way, lets the device go, tells the
// client and frees the stream; it puts the stream back, refused, only when it comes from inside a
// call on the stream or from its input's worker, when input buffers are still queued, or when a
// call is still under way after callWaitMs. An open that fails frees what it made itself.
#pragma once

#include "driver/process_context.h"
#include "line/port.h"
#include "stream/stream.h"

#include <cstdint>

// The longest a close waits for the client's other calls on the stream: as long as an open waits
// for another program's change of who holds the port.
constexpr uint32_t callWaitMs = ownerLockWaitMs;

uint32_t openStream(ProcessContext& process, DeviceKind kind, uint32_t index,
                    Stream** instanceAddress, const MidiOpenDescription& openDescription,
                    uint32_t flags);
// The open message as the host sends it: `instance` is where the stream's pointer goes, `param1`
// the open description and `param2` the open flags.
uint32_t openFromHost(ProcessContext& process, DeviceKind kind, uint32_t index, uintptr_t instance,
                      uintptr_t param1, uintptr_t param2);

// A call of the client's on the stream of device `kind`, `index` that `instance` names: `use` is
// called with the stream, listed as under way meanwhile, and its answer returned;
// MMSYSERR_INVALHANDLE when that device has no such stream open, MMSYSERR_INVALPARAM when
// `instance` names none at all. Only the pointer's value is looked at until the stream is found.
using StreamUse = uint32_t (*)(Stream& stream, uint32_t message, uintptr_t param1,
                               uintptr_t param2);
uint32_t callStream(ProcessContext& process, DeviceKind kind, uint32_t index, uintptr_t instance,
                    StreamUse use, uint32_t message, uintptr_t param1, uintptr_t param2);
// The close message: MMSYSERR_INVALHANDLE when that device has no such stream open (a second
// close included), MIDIERR_STILLPLAYING when it is refused and the stream stays open and usable.
uint32_t closeFromHost(ProcessContext& process, DeviceKind kind, uint32_t index,
                       uintptr_t instance);
// The driver is unloaded from a process that goes on: every stream still open lets its device go
// and is freed, and nobody is told, as at the process's exit.
void closeEveryStream(ProcessContext& process);
