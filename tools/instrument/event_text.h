// Readable forms of what the instrument receives: one line per decoded event, with the time, the
// destination by its name on the instrument, and the message in words or what was wrong with it.
#pragma once

#include "instrument/wire_decoder.h"

#include <string>

// The destination a name or index given on the command line means, or kNoDestination. Names
// are matched without regard to case.
int destinationByName(const std::string& name);

// The message, or "malformed: ..." with what was wrong.
std::string describeEvent(const WireEvent& event);

// "   1.234  Synth-A       Note On ch 1 C4 vel 64": seconds to the millisecond, then the
// destination, then the event.
std::string formatEventLine(const WireEvent& event);
