#include "share/hub.h"

#include "line/port_write.h"

#include <algorithm>

static_assert(shareInputQueueEntries >= 4 * lineBytesPerSecond,
              "a program's queue holds four seconds of the instrument's input");

namespace {

constexpr int32_t nobody = -1;

// Slack is counted in steps of 1/shareHoldEarning ms, so that it comes back by whole steps.
constexpr uint32_t slackStepsMax = shareHoldSlackMs * shareHoldEarning;

void moveSlack(ShareClient& client, uint32_t steps, bool down) {
    if (down) {
        client.holdSlack = steps < client.holdSlack ? client.holdSlack - steps : 0;
    } else {
        client.holdSlack = std::min(slackStepsMax, client.holdSlack + steps);
    }
}

// What a holder's program wins back for the bytes of its exclusive that just went out.
void earnSlack(ShareHub& hub, uint32_t processId, uint32_t bytes) {
    uint64_t steps =
        uint64_t{bytes} * 1000 * shareHoldEarning * shareHoldEarning / lineBytesPerSecond;
    for (ShareClient& client : hub.clients) {
        if (client.processId == processId) {
            moveSlack(client, static_cast<uint32_t>(std::min<uint64_t>(steps, slackStepsMax)),
                      false);
        }
    }
}

void freeClient(ShareHub& hub, ShareClient& client) {
    if (hub.wire.holder == &client.sender) {
        hub.wire.holder = nullptr;
    }
    client = ShareClient{};
}

void startMessage(ShareClient& client, const Outgoing& message, bool answerWanted) {
    client.message = message;
    client.hasMessage = true;
    client.answerWanted = answerWanted;
}

// The client's message has gone out whole: it is answered if it asked, and a connection that
// has ended lets its slot go once its silencing is out.
void finishMessage(ShareHub& hub, uint32_t index) {
    ShareClient& client = hub.clients[index];
    client.hasMessage = false;
    client.answerDue = client.answerDue || client.answerWanted;
    client.answerWanted = false;
    if (hub.active == static_cast<int32_t>(index)) {
        hub.active = nobody;
    }
    if (hub.passing == static_cast<int32_t>(index)) {
        hub.passing = nobody;
        hub.activeOwed = true;
    }
    if (client.gone) {
        freeClient(hub, client);
    }
}

// The next write of the client's message; false once it is done, which finishes it.
bool continueMessage(ShareHub& hub, uint32_t index, WireWrite& write) {
    uint32_t heldBefore = hub.wire.heldBytesOut;
    if (nextWrite(hub.wire, hub.clients[index].message, write)) {
        earnSlack(hub, hub.clients[index].processId, hub.wire.heldBytesOut - heldBefore);
        return true;
    }
    finishMessage(hub, index);
    return false;
}

bool waitsToStart(const ShareHub& hub, uint32_t index) {
    const ShareClient& client = hub.clients[index];
    return client.hasMessage && static_cast<int32_t>(index) != hub.active &&
           static_cast<int32_t>(index) != hub.passing && mayStart(hub.wire, client.message);
}

// A message that passes between the writes of another's goes before the next of them.
int32_t passingWaiting(const ShareHub& hub) {
    for (uint32_t i = 0; i < shareClientsMax; ++i) {
        if (waitsToStart(hub, i) && passesBetween(hub.wire, hub.clients[i].message)) {
            return static_cast<int32_t>(i);
        }
    }
    return nobody;
}

// Whose message goes next once the line is free of one: each connection in turn.
int32_t nextInTurn(ShareHub& hub) {
    for (uint32_t i = 0; i < shareClientsMax; ++i) {
        uint32_t index = (hub.nextTurn + i) % shareClientsMax;
        if (waitsToStart(hub, index)) {
            hub.nextTurn = (index + 1) % shareClientsMax;
            return static_cast<int32_t>(index);
        }
    }
    return nobody;
}

ShareClient* holderOf(ShareHub& hub) {
    for (ShareClient& client : hub.clients) {
        if (client.inUse && hub.wire.holder == &client.sender) {
            return &client;
        }
    }
    return nullptr;
}

// Brings the slack up to `now`: the holder's program's runs down, every other's comes back. A
// program's connections move alike, so each has its program's slack.
void settleSlack(ShareHub& hub, uint32_t now) {
    uint32_t elapsed = std::min(now - hub.slackAt, shareHoldSlackMs);
    hub.slackAt = now;
    const ShareClient* holder = holderOf(hub);
    for (ShareClient& client : hub.clients) {
        bool holds = holder != nullptr && client.processId == holder->processId;
        moveSlack(client, holds ? elapsed * shareHoldEarning : elapsed, holds);
    }
}

// An exclusive whose program's slack is gone is ended by the service, as the holder's own next
// message, so that the others play on: the rest of a message of the holder's under way goes no
// further (it is answered as if it had gone), and what the holder sends after it under no status
// of its own goes nowhere. A message of the holder's that has not begun goes first: it may end
// the exclusive itself, and is looked at again at its next write.
void endOverlongHold(ShareHub& hub, uint32_t now) {
    settleSlack(hub, now);
    ShareClient* holder = holderOf(hub);
    if (holder == nullptr || holder->holdSlack > 0 ||
        (holder->hasMessage && (holder->message.silencing || holder->message.handedOut == 0))) {
        return;
    }
    bool answer = false;
    if (holder->hasMessage) {
        cutShort(hub.wire, holder->message);
        answer = holder->answerWanted;
    }
    uint32_t length = endOfExclusive(hub.wire, holder->sender, holder->silencing);
    startMessage(*holder, silencingOutgoing(holder->sender, holder->silencing, length), answer);
}

} // namespace

void resetHub(ShareHub& hub) {
    for (ShareClient& client : hub.clients) {
        client = ShareClient{};
    }
    hub.wire = freshWire();
    hub.active = nobody;
    hub.passing = nobody;
    hub.activeOwed = false;
    hub.nextTurn = 0;
    hub.slackAt = 0;
}

int32_t openClient(ShareHub& hub, uint32_t processId) {
    int32_t free = nobody;
    uint32_t held = 0;
    uint32_t slack = slackStepsMax;
    for (uint32_t i = 0; i < shareClientsMax; ++i) {
        const ShareClient& client = hub.clients[i];
        if (!client.inUse) {
            free = free == nobody ? static_cast<int32_t>(i) : free;
        } else if (client.processId == processId) {
            ++held;
            slack = client.holdSlack; // a new connection is no way around the program's slack
        }
    }
    if (free == nobody || held >= shareClientsPerProcess) {
        return nobody;
    }
    ShareClient& client = hub.clients[free];
    client.inUse = true;
    client.processId = processId;
    client.holdSlack = slack;
    return free;
}

bool takeRequest(ShareHub& hub, uint32_t index, const uint8_t* bytes, uint32_t count) {
    ShareClient& client = hub.clients[index];
    ShareFrame frame;
    if (!readsNext(hub, index) || !readShareRequest(client.state, bytes, count, frame)) {
        return false;
    }
    switch (frame.kind) {
    case ShareFrameKind::hello:
        client.sender.output = frame.hello.device;
        client.answerDue = true;
        break;
    case ShareFrameKind::message:
        startMessage(client, outgoingOf(client.sender, frame.payload, frame.length),
                     (frame.flags & shareAnswerWanted) != 0);
        break;
    case ShareFrameKind::reset: {
        uint32_t length = silencingOf(hub.wire, client.sender, client.silencing);
        if (length == 0) {
            client.answerDue = true;
            break;
        }
        startMessage(client, silencingOutgoing(client.sender, client.silencing, length), true);
        break;
    }
    default: // an input's start or stop: what was queued before it is not the program's
        client.inputStarted = frame.kind == ShareFrameKind::startInput;
        client.inputCount = 0;
        client.inputLost = false;
        client.answerDue = true;
        break;
    }
    return true;
}

bool readsNext(const ShareHub& hub, uint32_t index) {
    const ShareClient& client = hub.clients[index];
    return client.inUse && !client.gone && !client.hasMessage && !client.answerDue;
}

bool takeAnswer(ShareHub& hub, uint32_t index) {
    ShareClient& client = hub.clients[index];
    bool due = client.answerDue && !client.gone;
    client.answerDue = false;
    return due;
}

void clientGone(ShareHub& hub, uint32_t index) {
    ShareClient& client = hub.clients[index];
    if (!client.inUse || client.gone) {
        return;
    }
    client.gone = true;
    client.inputStarted = false;
    if (client.hasMessage && client.message.silencing) {
        return; // a reset's silencing, or an idle exclusive's end: it goes on, then the slot goes
    }
    // What is left of its message goes no further; the silencing ends an exclusive it was in.
    if (client.hasMessage) {
        cutShort(hub.wire, client.message);
    }
    if (hub.active == static_cast<int32_t>(index)) {
        hub.active = nobody;
    }
    if (hub.passing == static_cast<int32_t>(index)) {
        hub.passing = nobody;
    }
    uint32_t length = silencingOf(hub.wire, client.sender, client.silencing);
    if (length == 0) {
        freeClient(hub, client);
        return;
    }
    startMessage(client, silencingOutgoing(client.sender, client.silencing, length), false);
}

bool hubIsIdle(const ShareHub& hub) {
    for (const ShareClient& client : hub.clients) {
        if (client.inUse) {
            return false;
        }
    }
    return true;
}

bool nextLineWrite(ShareHub& hub, uint32_t now, WireWrite& write) {
    endOverlongHold(hub, now);
    // Each pass either writes or finishes a message, so this ends.
    for (;;) {
        // Between two real-time messages the message under way gets a write of its own.
        bool activeFirst = hub.activeOwed && hub.active != nobody;
        if (hub.passing == nobody && !activeFirst) {
            hub.passing = passingWaiting(hub);
        }
        if (hub.passing != nobody) {
            if (continueMessage(hub, static_cast<uint32_t>(hub.passing), write)) {
                return true;
            }
            continue;
        }
        if (hub.active == nobody) {
            hub.active = nextInTurn(hub);
        }
        if (hub.active == nobody) {
            return false;
        }
        hub.activeOwed = false;
        if (continueMessage(hub, static_cast<uint32_t>(hub.active), write)) {
            return true;
        }
    }
}

void takeInput(ShareHub& hub, uint8_t byte, uint32_t time) {
    for (ShareClient& client : hub.clients) {
        if (!client.inUse || !client.inputStarted) {
            continue;
        }
        if (client.inputCount == shareInputQueueEntries) {
            client.inputLost = true;
            continue;
        }
        uint32_t at = (client.inputHead + client.inputCount++) % shareInputQueueEntries;
        client.input[at] = {time, byte};
    }
}

uint32_t takeInputFrame(ShareHub& hub, uint32_t index, uint8_t* bytes) {
    ShareClient& client = hub.clients[index];
    uint32_t count = client.inputCount;
    if (count > shareMessageBytesMax / shareInputEntryBytes) {
        count = shareMessageBytesMax / shareInputEntryBytes;
    }
    if (count == 0) {
        return 0;
    }
    uint8_t* at = bytes + shareHeaderBytes;
    for (uint32_t i = 0; i < count; ++i, at += shareInputEntryBytes) {
        const ShareInputEntry& entry =
            client.input[(client.inputHead + i) % shareInputQueueEntries];
        writeU32(at, entry.time);
        at[4] = entry.byte;
    }
    client.inputHead = (client.inputHead + count) % shareInputQueueEntries;
    client.inputCount -= count;
    uint16_t flags = client.inputLost ? shareInputLost : 0;
    client.inputLost = false;
    uint32_t length = count * shareInputEntryBytes;
    writeShareHeader(ShareFrameKind::input, flags, length, bytes);
    return shareHeaderBytes + length;
}
