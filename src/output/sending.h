// An output stream's way to the instrument, through its device (stream/device.h): its data, the
// reset's silencing of what it left sounding, and what a monitor is told of each.
#pragma once

#include "output/output_stream.h"

#include <cstdint>

// How long a reset waits for the wire before it hands its silencing to the sender that has it:
// longer than any short message or line pick-up takes, far shorter than a long message.
constexpr uint32_t wireWaitMs = 100;

// The single write entry for output data, through the stream's device; on the line, select and
// data go out as one step within the process. A cuttable send (a long message of the client's) is
// stopped by a reset once the stream's writer's cutsRequested has moved on from `cutsBefore`: see
// cutWrite. The sender also sends the silencing that resets handed over (see silenceOutput), before
// its data and before it lets the wire go. Nothing is sent for an empty message.
constexpr bool cuttable = true;
uint32_t sendOutput(OutputStream& stream, const uint8_t* bytes, uint32_t count,
                    bool canBeCut = false, uint32_t cutsBefore = 0);
// The monitor's number of `output`.
uint8_t outputSlot(uint32_t output);
// What a monitor is told, and counted, of a message that was sent to `output` with `status`, as
// the musician reads it: running-status data with its status byte. Told by the device's send.
void tellSend(const OutputStream& stream, uint32_t output, const uint8_t* bytes, uint32_t count,
              uint32_t status, uint8_t flags = 0);
// What a monitor is told, and counted, of the client's message as the musician reads it (with its
// status byte): that the filter of `kind` dropped it. A send tells of itself.
void tellDrop(const OutputStream& stream, const uint8_t* message, uint32_t length,
              MessageKind kind);
// Sends a Note Off for every note the stream left sounding and releases every pedal it left down,
// through the stream's normal output path, forgetting each once it has gone out. Nothing sounding,
// nothing written. A write that fails ends the reset with its status; what was not sent stays
// remembered for the next reset. When another output's message keeps the wire for longer than
// wireWaitMs, the silencing is handed over to the process (OutputStream::owed), and the reset
// returns at once.
uint32_t silenceOutput(OutputStream& stream);
