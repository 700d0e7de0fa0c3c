// An output stream's way to the instrument, through its device (stream/device.h): the client's
// short and long messages, the reset that cuts a long message under way and silences what the
// stream left sounding, and what a monitor is told of each.
#pragma once

#include "output/output_stream.h"

#include <cstdint>

// A short message packed as the host hands it over, filtered, under running status when it starts
// with a data byte, and tracked for a later reset once it went out.
uint32_t sendShortMessage(OutputStream& stream, uintptr_t packed);
// The client's long message at `headerAddress`: sent unless the filter drops exclusives, cut by a
// reset of the stream meanwhile, tracked, and handed back done (MOM_DONE) unless it failed.
uint32_t sendLongMessage(OutputStream& stream, uintptr_t headerAddress, uintptr_t headerSize);
// Nothing is held back, but a long message may be being written on another thread, and notes may
// be left sounding on the instrument. The message is cut, and once its sender has taken in what it
// may have left on, everything left on is turned off.
uint32_t resetOutput(OutputStream& stream);

// The single write entry for output data, through the stream's device; on the line, select and
// data go out as one step within the process. A cuttable send (a long message of the client's) is
// stopped by a reset once the stream's cutsRequested has moved on from `cutsBefore`. The sender
// also sends the silencing that resets handed over, before its data and before it lets the wire
// go. Nothing is sent for an empty message.
constexpr bool cuttable = true;
uint32_t sendOutput(OutputStream& stream, const uint8_t* bytes, uint32_t count,
                    bool canBeCut = false, uint32_t cutsBefore = 0);
