// What an output stream has left sounding on its destination, learnt from what reached the wire
// after the message filter, and the reset that silences it: players reset on stop and sequencers
// on every stop of the transport, and expect nothing to keep sounding afterwards.
#pragma once

#include <cstdint>

struct Stream;

constexpr uint32_t channelCount = 16;
constexpr uint32_t keyCount = 128;

struct SoundingNotes {
    uint8_t keys[channelCount][keyCount / 8]; // bit k % 8 of byte k / 8: key k is on
    uint16_t sustained;                       // bit n: channel n's sustain pedal is down
};

// Takes in a channel message that reached the wire: its status byte and its data bytes. A Note
// On turns its key on, unless its velocity is 0, which makes it a Note Off; controller 64 at 64
// or above holds the pedal down, below 64 releases it. Other messages leave nothing sounding.
void noteChannelMessage(SoundingNotes& sounding, const uint8_t* message);
// Takes in the channel messages a long message that reached the wire carries whole: each from its
// status byte on, or under the running status of an earlier one in the same buffer. Exclusive
// data and a message left incomplete at the buffer's end count for nothing.
void noteLongMessage(SoundingNotes& sounding, const uint8_t* bytes, uint32_t count);
// Sends a Note Off for every note the stream left sounding and releases every pedal it left down,
// through the stream's normal output path, forgetting each once it has gone out. Nothing sounding,
// nothing written. A write that fails ends the reset with its status; what was not sent stays
// remembered for the next reset.
uint32_t silenceOutput(Stream& stream);
