// What an output stream has left sounding on its destination, learnt from what reached the wire
// after the message filter, and the reset that silences it: players reset on stop and sequencers
// on every stop of the transport, and expect nothing to keep sounding afterwards.
#pragma once

#include <cstdint>

struct Stream;

constexpr uint32_t channelCount = 16;
constexpr uint32_t keyCount = 128;
// How long a reset waits for the wire before it hands its silencing to the sender that has it:
// longer than any short message or line pick-up takes, far shorter than a long message.
constexpr uint32_t wireWaitMs = 100;

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
// remembered for the next reset. When another output's message keeps the wire for longer than
// wireWaitMs, the silencing is handed over to the process (ProcessContext::owedSilence), and
// the reset returns at once.
uint32_t silenceOutput(Stream& stream);
// Sends what resets handed over, each as its own output's data, through `sender`, which holds
// the process's sendLock. What cannot be sent stays owed.
void sendOwedSilence(Stream& sender);
// Called by a sender that has just let the wire go: a reset may have handed its silencing over
// too late for the sender to see it and too early to take the wire itself. It is sent now
// unless someone else has the wire, who then sends it.
void sendSilenceOwedMeanwhile(Stream& sender);
