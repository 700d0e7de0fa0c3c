// What an output stream has left sounding on its destination, learnt from what reached the wire
// after the message filter, and what resets handed over for another sender to silence: players
// reset on stop and sequencers on every stop of the transport, and expect nothing to keep
// sounding afterwards. The reset itself is in output/sending.h.
#pragma once

#include "line/outputs.h"

#include <atomic>
#include <cstdint>
#include <mutex>

constexpr uint8_t noteOff = 0x80;
constexpr uint8_t noteOn = 0x90;
constexpr uint8_t controlChange = 0xB0;
constexpr uint8_t sustainPedal = 64;

// What resets could not send because another output's message had the wire, per output: the
// Note Offs and pedal releases go out from whichever sender has the wire next, before its own
// data and before it lets the wire go, so that a reset never waits for another output's long
// message. One per process. Bit n of `outputs`: output n is owed some.
struct OwedSilence {
    std::mutex lock;
    // The kept record's, so that a later holder of the port finds them should this process die
    // before they went out; its own when that record cannot be had.
    SoundingNotes* notes;
    SoundingNotes ownNotes[outputCount];
    std::atomic<uint32_t> outputs;
};

// From now on what resets hand over is kept in `record`'s notes, each output's; what was owed
// before stays owed there.
void keepOwedIn(OwedSilence& owed, SoundingNotes (&record)[outputCount]);

bool keyIsOn(const SoundingNotes& sounding, uint32_t channel, uint32_t key);
void setKey(SoundingNotes& sounding, uint32_t channel, uint32_t key, bool on);
void setPedal(SoundingNotes& sounding, uint32_t channel, bool down);
bool anySounding(const SoundingNotes& sounding);
void addSounding(SoundingNotes& into, const SoundingNotes& from);
// Sends one message that turns a note or a pedal off (three bytes, status first); its status.
using SendRelease = uint32_t (*)(void* context, const uint8_t* message);
// Turns off every note and pedal `sounding` holds, message by message through `send`: per
// channel a Note Off for each key on, then the pedal's release. Each is forgotten once it has gone
// out; the first that fails ends the silencing with its status, and the rest stays remembered.
uint32_t releaseSounding(SoundingNotes& sounding, SendRelease send, void* context);
// Takes in a channel message that reached the wire: its status byte and its data bytes. A Note
// On turns its key on, unless its velocity is 0, which makes it a Note Off; controller 64 at 64
// or above holds the pedal down, below 64 releases it. Other messages leave nothing sounding.
void trackChannelMessage(SoundingNotes& sounding, const uint8_t* message);
// Takes in the channel messages a long message that reached the wire carries whole: each from its
// status byte on, or under the running status of an earlier one in the same buffer, or of
// `runningStatus` before it (0: none). Exclusive data and a message left incomplete at the
// buffer's end count for nothing.
void trackLongMessage(SoundingNotes& sounding, const uint8_t* bytes, uint32_t count,
                      uint8_t runningStatus = 0);
