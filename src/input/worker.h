// The input worker: one thread per input stream that owns everything that changes while input
// runs. Its device's reads complete on it (input/line_input.h, input/service_input.h), which feed
// each received byte, in order and dated in ms since start, to the assembler; and it carries out
// the commands the client's threads hand it, one at a time.
#pragma once

#include "input/input_stream.h"

#include <cstdint>

// How long a read that came back without a byte waits before it is issued again. Reads wait for
// their byte on a line set up by the driver, but some serial drivers still answer a read at once
// with nothing: issued again straight away, such reads would keep the worker spinning at
// time-critical priority. What arrives meanwhile waits in the port's own buffer.
constexpr uint32_t emptyReadPauseMs = 1;

// Commands and their arguments.
constexpr uint32_t commandAddBuffer = 1;
constexpr uint32_t commandControl = 2;
constexpr uint32_t commandClose = 3;
constexpr uint32_t controlStop = 1;
constexpr uint32_t controlStart = 3;
constexpr uint32_t controlReset = 4;

// The input start-up step of an open: events, thread, and a wait until the thread runs.
uint32_t startWorker(InputStream& stream);
// Ends the worker when no buffer is queued, and waits for its thread; MIDIERR_STILLPLAYING when
// buffers are still queued. Never asked from the worker's own thread, which cannot end itself.
uint32_t stopWorker(InputStream& stream);
// Hands the command and its argument to the worker and returns its answer. Both travel together
// under the stream's command lock, so that client threads sending at once cannot mix them up.
// MMSYSERR_ERROR when the worker has ended without answering.
uint32_t sendCommand(InputStream& stream, uint32_t command, uintptr_t argument);
