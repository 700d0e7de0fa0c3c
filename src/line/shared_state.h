// The one record that every process which loads the driver sees in common, and the message mask
// inside it.
#pragma once

#include "midi/messages.h"
#include "platform/platform.h"

#include <cstddef>
#include <cstdint>

// Marks the process that holds the serial port. Every process has its own, never shared with
// another process alive at the same time nor reused by a later one; all zero means "nobody".
using OwnerToken = platform::ProcessIdentity;

constexpr OwnerToken noOwner = {};

inline bool sameOwner(OwnerToken a, OwnerToken b) {
    return a.id == b.id && a.startTime == b.startTime;
}

constexpr uint16_t noDestination = 0xFFFF;

// MessageMask: a set bit passes the message kind, a clear bit drops it.
constexpr uint16_t independentModeBit = 1u << 8;
constexpr uint16_t initialMessageMask = 0x7E7F;

// Every process of the logon session that loads the driver, 32-bit or 64-bit, maps this one
// record under one name, so each field has the same width and place in both builds: fixed-width
// fields only, nothing pointer-sized. It holds no handle: a handle value means something only in
// the process that opened it, and the port handle stays in the owner's PortLine.
//
// The OS hands the record out all zero, and all zero is its initial state: a process that maps it
// never fills it in, so none can wipe what another one is using. The two fields whose initial
// value is not zero are therefore kept as their value XOR that initial value; read and write them
// through the functions below.
struct SharedState {
    uint16_t portNumber;          // 1..256 = COM1..COM256
    uint16_t openCount;           // device slots that hold the port
    uint16_t lastDestinationCode; // see lastDestination()
    uint16_t messageMaskCode;     // see messageMask()
    uint8_t presentPorts; // bit n set when COMn was found: by the dialog's look, or opened here
    uint8_t openFlags[deviceSlotCount];
    // 1 when the instrument is shared between programs through the sharing service; 0 when one
    // program at a time holds it, as the fields around say.
    uint8_t sharing;
    uint8_t reserved;
    OwnerToken owner; // the process that holds the port; noOwner when the port is closed
    // Counts the openings of the port, so that a stream can tell whether its hold is on the
    // opening that is current; never 0, which marks a stream that holds nothing.
    uint32_t portGeneration;
    uint32_t reserved2;
};

static_assert(sizeof(SharedState) == 40);
static_assert(offsetof(SharedState, openFlags) == 9);
static_assert(offsetof(SharedState, owner) == 16);
static_assert(offsetof(SharedState, portGeneration) == 32);
static_assert(offsetof(SharedState, reserved2) == 36);

// The destination announced on the wire since the port was opened, or noDestination.
constexpr uint16_t lastDestination(const SharedState& shared) {
    return static_cast<uint16_t>(shared.lastDestinationCode ^ noDestination);
}
constexpr void setLastDestination(SharedState& shared, uint16_t destination) {
    shared.lastDestinationCode = static_cast<uint16_t>(destination ^ noDestination);
}
// Which message kinds pass, and independent mode: see MessageMask above.
constexpr uint16_t messageMask(const SharedState& shared) {
    return static_cast<uint16_t>(shared.messageMaskCode ^ initialMessageMask);
}
constexpr void setMessageMask(SharedState& shared, uint16_t mask) {
    shared.messageMaskCode = static_cast<uint16_t>(mask ^ initialMessageMask);
}

// The name the record is mapped under by both bitnesses of the driver, and read by the connection
// check; "Local\" keeps it within the logon session. A record laid out otherwise takes another
// name, so that drivers of two versions never read each other's fields.
constexpr char16_t sharedStateName[] = u"Local\\MELV-PCIF-MIDI-Driver-State-1";

// What the holder of the port has sounding on each output's destination, as its streams' resets
// track it, and what its resets handed over and have not sent yet. Only the holder writes them,
// and clears an output's part when its stream closes; a process that takes the port over from a
// holder that died silences what they still hold before anything of its own goes out. Kept in a
// file of the user's, so that it outlives a holder that was the session's last program with the
// driver loaded; laid out alike for both bitnesses.
struct SoundingRecord {
    SoundingNotes held[outputSlotCount];
    SoundingNotes owed[outputSlotCount];
};
static_assert(sizeof(SoundingRecord) == sizeof(SoundingNotes) * outputSlotCount * 2);
static_assert(offsetof(SoundingRecord, owed) == sizeof(SoundingNotes) * outputSlotCount);
constexpr char16_t soundingRecordName[] = u"sounding-1.bin";

// The record as a fresh mapping holds it.
constexpr SharedState initialSharedState = {};
static_assert(lastDestination(initialSharedState) == noDestination);
static_assert(messageMask(initialSharedState) == initialMessageMask);

// Bits of the present-ports set are only ever set: a port once found stays choosable. The set has
// bits for COM1 to COM7; the dialog looks for COM1 to COM4 only, and a port above has no bit.
constexpr uint16_t lastPortWithPresentBit = 7;
inline void markPortPresent(SharedState& shared, uint16_t port) {
    if (port <= lastPortWithPresentBit) {
        shared.presentPorts = static_cast<uint8_t>(shared.presentPorts | 1u << port);
    }
}

inline bool independentMode(const SharedState& shared) {
    return (messageMask(shared) & independentModeBit) != 0;
}

inline bool portIsHeld(const SharedState& shared) {
    return !sameOwner(shared.owner, noOwner);
}

// A stream's hold on the port: which opening of the port it was given, or noHold.
struct PortHold {
    uint32_t generation;
};
constexpr uint32_t noHold = 0;

// The mask has a group of kinds for the MIDI destinations and one for the synthesizer's (see
// outputTable); a kind's bit is its number plus its group's first bit.
constexpr uint32_t midiKindsAt = 0;
constexpr uint32_t synthKindsAt = 8;
constexpr uint32_t messageBit(MessageKind kind, uint32_t groupAt) {
    return static_cast<uint32_t>(kind) + groupAt;
}
