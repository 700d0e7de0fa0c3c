// How the sharing service puts the messages of every program's streams onto the one line: each
// message whole, behind its own destination's select and under its own stream's running status;
// an exclusive holds everyone else's messages from its F0 to its end, except real-time bytes,
// which pass between its writes so that a sequencer's clock keeps time while an editor sends a
// dump; and what a stream leaves sounding is silenced when it resets, closes or its program
// vanishes. Nothing here does I/O: the service hands each write to the line, and starts a message
// only once the one before it has gone out whole, real-time bytes apart.
#pragma once

#include "line/sounding.h"

#include <cstdint>

// One stream of one program, as the service knows it.
struct ShareSender {
    uint32_t output;        // the destination of the device it opened
    uint8_t runningStatus;  // the channel status its own messages last put on the wire, or 0
    SoundingNotes sounding; // what its messages left on
};

// What the instrument has been told, whoever told it.
struct ShareWire {
    uint16_t lastOutput;                // the destination last announced, or noDestination
    uint8_t runningStatus[outputCount]; // each destination's running status, or 0
    const ShareSender* holder;          // whose exclusive is under way, or null
    // How many bytes of exclusives (not real time) have gone out while their sender held the
    // line, ever: what a holder has sent of its exclusive is told by how far this moved.
    uint32_t heldBytesOut;
};

// A message on its way to the wire, write by write.
struct Outgoing {
    ShareSender* sender;
    const uint8_t* bytes;
    uint32_t count;
    uint32_t handedOut;    // how many of its bytes are in writes already
    bool statusChecked;    // whether data under running status has its sender's status before it
    uint8_t statusAtStart; // the sender's running status when its first byte went out
    bool silencing;        // the service's own messages for the sender, not the sender's
};

// The most bytes silencingOf writes: the end of an exclusive, and a Note Off for every key and a
// pedal release on every channel.
constexpr uint32_t silencingBytesMax = 1 + channelCount * (keyCount + 1) * 3;

// A line just opened: no destination announced, no running status, no exclusive under way.
ShareWire freshWire();
Outgoing outgoingOf(ShareSender& sender, const uint8_t* bytes, uint32_t count);
Outgoing silencingOutgoing(ShareSender& sender, const uint8_t* bytes, uint32_t count);
// Whether `message` goes between two writes of another's message: real-time bytes alone, so that a
// clock keeps time, and the service's silencing of a stream on another destination than the
// exclusive under way, so that no exclusive holds up the notes a vanished program left sounding
// (the instrument keeps each destination's messages apart).
bool passesBetween(const ShareWire& wire, const Outgoing& message);
// Whether `message` may start now: nobody's exclusive is under way, or its sender's is, or the
// message passes between.
bool mayStart(const ShareWire& wire, const Outgoing& message);
// The next write of `message` into `write`: its destination's select when the instrument was last
// told another, then its sender's status when the message starts under running status and the
// destination has another (data its sender gave no status for goes nowhere), then its bytes
// framed as the destination takes them. False once the
// message has gone whole. Which exclusive holds the line, and what the sender leaves sounding,
// follow the bytes handed out.
bool nextWrite(ShareWire& wire, Outgoing& message, WireWrite& write);
// Whether the bytes are real-time bytes alone (at least one).
bool isRealTimeOnly(const uint8_t* bytes, uint32_t count);
// A message that stops before its end, as its program went: what its bytes already out turned
// on is remembered for the silencing, and its destination's running status counts as unknown,
// so that the next data under running status, anyone's, gets its status put back.
void cutShort(ShareWire& wire, const Outgoing& message);
// The bytes that end the exclusive `sender` left under way (F7), if it has one.
uint32_t endOfExclusive(const ShareWire& wire, const ShareSender& sender, uint8_t* bytes);
// What the service sends, as silencingOutgoing, for a sender that resets, closes or whose program
// vanished: the end of its exclusive, then a Note Off for every note and a release for every
// pedal it left on, into `bytes` (silencingBytesMax); how many. The sender forgets them.
uint32_t silencingOf(const ShareWire& wire, ShareSender& sender, uint8_t* bytes);
