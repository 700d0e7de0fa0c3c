// The sharing service's state across its connections, one per open stream of any program: whose
// message goes onto the line next, what each output stream is owed (an answer, a silencing), and
// the instrument's input, fanned out to every started input stream through a bounded queue of its
// own. Nothing here does I/O or waits: the service reads a connection's next frame only once
// that connection's message has gone out whole, so that a program that sends faster than the line
// is held up in its own pipe, as on a busy line, and nobody else is.
#pragma once

#include "share/merger.h"
#include "share/protocol.h"

#include <cstdint>

constexpr uint32_t shareClientsMax = 32;
// The most connections one program may have: more than a host's plug-ins need, and few enough
// that a program connecting over and over leaves places for every other.
constexpr uint32_t shareClientsPerProcess = 8;
// More than four seconds of everything the line can carry (3,840 bytes a second): a program held
// up that long by a busy machine loses nothing, and one that does not read its input for longer
// loses its own bytes, and is told so with its next ones.
constexpr uint32_t shareInputQueueEntries = 16384;
// An exclusive holds the others back only while it comes about as fast as a real message goes
// out. Each program has a slack of at most shareHoldSlackMs, which runs down while one of its
// exclusives holds the line; every byte of the exclusive (real-time bytes never) wins back
// shareHoldEarning times its time on the cable, and a program that holds nothing wins it back at
// one shareHoldEarning-th of the time going by. When a holder's slack is gone (it sends a byte now
// and then, or stopped in a debugger, or hung), the service ends its exclusive.
constexpr uint32_t shareHoldSlackMs = 2000;
constexpr uint32_t shareHoldEarning = 8;

struct ShareInputEntry {
    uint32_t time; // the system time in ms the byte came in at
    uint8_t byte;
};

struct ShareClient {
    bool inUse;
    bool gone; // its connection has ended: its silencing goes out, then the slot is free
    ShareConnection state;
    uint32_t processId; // as the system tells it, not as the program says
    uint32_t holdSlack; // in 1/shareHoldEarning ms, the same for every connection of its program
    ShareSender sender;
    // An output's message, read from its connection, on its way to the line.
    Outgoing message;
    bool hasMessage;
    bool answerWanted; // the message was a reset, or a long message that asks to be answered
    bool answerDue;    // it has gone out whole: the program is answered, then read from again
    uint8_t silencing[silencingBytesMax];
    // An input's bytes not yet handed to the program.
    bool inputStarted;
    bool inputLost; // bytes were dropped since the last ones handed over
    uint32_t inputHead;
    uint32_t inputCount;
    ShareInputEntry input[shareInputQueueEntries];
};

struct ShareHub {
    ShareWire wire;
    ShareClient clients[shareClientsMax];
    int32_t active;    // the client whose message is under way, or -1
    uint32_t nextTurn; // the client looked at first for the next message
    int32_t passing;   // the client whose message goes between another's writes, or -1
    bool activeOwed;   // a real-time message went between: the active one writes next
    uint32_t slackAt;  // when the programs' slack was last brought up to date
};

// A hub with no connection and a line just opened.
void resetHub(ShareHub& hub);
// A new connection's slot, for a program with the system's process id `processId`; -1 when every
// slot is taken, or the program has shareClientsPerProcess already.
int32_t openClient(ShareHub& hub, uint32_t processId);
// Takes a whole frame the connection sent (the bytes stay the caller's until the message has
// gone out). False when it is not one the connection may send now: the caller ends it.
bool takeRequest(ShareHub& hub, uint32_t client, const uint8_t* bytes, uint32_t count);
// Whether the service may read the connection's next frame: it has no message on its way and no
// answer owed.
bool readsNext(const ShareHub& hub, uint32_t client);
// Whether the connection is owed an answer (to its hello, an input's start or stop, a reset, or a
// long message that has gone out); owed no longer once asked.
bool takeAnswer(ShareHub& hub, uint32_t client);
// The connection has ended (closed, broken, or refused): the rest of its message goes no further,
// what its stream left sounding (what went out of that message too) is silenced and its exclusive
// ended, then its slot is free. A silencing of its own already on its way goes on.
void clientGone(ShareHub& hub, uint32_t client);
// Whether no slot is in use: no connection, and no silencing of a gone one still to go out.
bool hubIsIdle(const ShareHub& hub);
// The next write for the line, as of `now` (system time in ms); false when nothing may go now.
bool nextLineWrite(ShareHub& hub, uint32_t now, WireWrite& write);
// A byte from the instrument for every started input.
void takeInput(ShareHub& hub, uint8_t byte, uint32_t time);
// Writes the input queued for `client` as one frame into `bytes` (shareFrameBytesMax) and forgets
// it; the frame's size, 0 when nothing is queued.
uint32_t takeInputFrame(ShareHub& hub, uint32_t client, uint8_t* bytes);
