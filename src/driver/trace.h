// The developer trace, as the host's own drivers have one: while the "Trace" setting or the
// environment asks for it (config/settings.h), a line for a debug viewer per call of the host's
// into the driver, with its answer, so that a developer sees where a call went and what refused
// it. Off, a call costs one test of a flag, and nothing is formatted.
#pragma once

#include "driver/process_context.h"

#include <cstdint>

// "melvpcif: modMessage(device 0, message 7) = 0"
void writeEntryTrace(const char16_t* entry, uint32_t device, uint32_t message, uint32_t answer);

// The entry call's answer, told to the trace when it is on.
inline uint32_t tracedAnswer(const ProcessContext& process, const char16_t* entry, uint32_t device,
                             uint32_t message, uint32_t answer) {
    if (process.developerTrace) {
        writeEntryTrace(entry, device, message, answer);
    }
    return answer;
}
