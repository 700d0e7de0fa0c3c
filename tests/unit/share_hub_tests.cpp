// The sharing service between its connections: whose message goes next, whole and under its own
// stream's running status and destination, what each program is answered and when, an idle
// exclusive ended, a vanished program silenced, and the instrument's input fanned out with each
// stream's own queue; and, on the simulated machine, the service's line and its side of the pipe:
// who may connect, the places a program gets, and what ends a connection.
#include "share/hub.h"

#include "line/port_write.h"
#include "platform/sim/sim.h"
#include "share/server.h"
#include "share/service_line.h"
#include "share_frames.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

class SharingHub : public ::testing::Test {
  protected:
    std::unique_ptr<ShareHub> hub = std::make_unique<ShareHub>();
    std::vector<std::unique_ptr<Bytes>> frames; // each stays until its message has gone out
    uint32_t now = 1000;

    void SetUp() override { resetHub(*hub); }

    uint32_t connect(uint32_t kind, uint32_t device, uint32_t processId = 77) {
        int32_t client = openClient(*hub, processId);
        EXPECT_GE(client, 0);
        Bytes hello(shareHelloBytes);
        writeShareHello({shareProtocolVersion, kind, device, 77}, hello.data());
        EXPECT_TRUE(request(client, ShareFrameKind::hello, 0, hello));
        EXPECT_TRUE(takeAnswer(*hub, client));
        return static_cast<uint32_t>(client);
    }
    bool request(uint32_t client, ShareFrameKind kind, uint16_t flags, const Bytes& payload) {
        auto& frame =
            frames.emplace_back(std::make_unique<Bytes>(shareHeaderBytes + payload.size()));
        writeShareFrame(kind, flags, payload.data(), static_cast<uint32_t>(payload.size()),
                        frame->data());
        return takeRequest(*hub, client, frame->data(), static_cast<uint32_t>(frame->size()));
    }
    bool send(uint32_t client, const Bytes& message, uint16_t flags = 0) {
        return request(client, ShareFrameKind::message, flags, message);
    }
    // The next `count` writes for the line, or fewer when nothing more may go.
    std::vector<Bytes> line(uint32_t count = 100) {
        std::vector<Bytes> writes;
        WireWrite write;
        while (writes.size() < count && nextLineWrite(*hub, now, write)) {
            writes.emplace_back(write.bytes, write.bytes + write.count);
        }
        return writes;
    }
};

TEST_F(SharingHub, MessagesOfTwoProgramsGoWholeAndTakeTurns) {
    uint32_t sequencer = connect(shareOutput, 0);
    uint32_t player = connect(shareOutput, 0);
    EXPECT_TRUE(send(sequencer, {0xB0, 0x07, 0x64, 0x90, 0x3C, 0x40}));
    EXPECT_TRUE(send(player, {0x91, 0x30, 0x40}));
    // Until its message is out, a program's next one stays in its own pipe.
    EXPECT_FALSE(readsNext(*hub, sequencer));
    EXPECT_FALSE(send(sequencer, {0x80, 0x3C, 0x40}));
    EXPECT_EQ(line(), (std::vector<Bytes>{{0xF5, 0x00},
                                          {0xFF, 0xB0, 0x07, 0x64, 0x90},
                                          {0xFF, 0x3C, 0x40},
                                          {0xFF, 0x91, 0x30, 0x40}}));
    EXPECT_TRUE(readsNext(*hub, sequencer));
    EXPECT_FALSE(takeAnswer(*hub, sequencer)); // short messages are not answered
}

TEST_F(SharingHub, EachStreamKeepsItsOwnRunningStatusAndDestination) {
    uint32_t sequencer = connect(shareOutput, 0);
    uint32_t player = connect(shareOutput, 0);
    uint32_t editor = connect(shareOutput, 2);
    EXPECT_TRUE(send(sequencer, {0x90, 0x3C, 0x40}));
    EXPECT_TRUE(send(player, {0x91, 0x40, 0x40}));
    line();
    // The sequencer's data would go under the player's status: its own goes before it.
    EXPECT_TRUE(send(sequencer, {0x3E, 0x40}));
    EXPECT_EQ(line(), (std::vector<Bytes>{{0xFF, 0x90}, {0xFF, 0x3E, 0x40}}));
    // A select a program sends itself cannot send the next message astray.
    EXPECT_TRUE(send(editor, {0xF5, 0x00}));
    line();
    EXPECT_TRUE(send(editor, {0xC2, 0x07}));
    EXPECT_EQ(line(), (std::vector<Bytes>{{0xF5, 0x02}, {0xC2, 0x07}}));
}

TEST_F(SharingHub, AClockPassesBetweenTheWritesOfAnothersExclusive) {
    uint32_t editor = connect(shareOutput, 1);
    uint32_t sequencer = connect(shareOutput, 0);
    EXPECT_TRUE(
        send(editor, {0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0xF7}, shareAnswerWanted));
    EXPECT_EQ(line(2), (std::vector<Bytes>{{0xF5, 0x01}, {0xFF, 0xF0, 0x41, 0x10, 0x42}}));
    EXPECT_TRUE(send(sequencer, {0x90, 0x3C, 0x40}));
    uint32_t clock = connect(shareOutput, 0);
    EXPECT_TRUE(send(clock, {0xF8}));
    EXPECT_EQ(line(), (std::vector<Bytes>{{0xF5, 0x00},
                                          {0xFF, 0xF8},
                                          {0xF5, 0x01},
                                          {0xFF, 0x12, 0x40, 0x00, 0x7F},
                                          {0xFF, 0xF7},
                                          {0xF5, 0x00},
                                          {0xFF, 0x90, 0x3C, 0x40}}));
    EXPECT_TRUE(takeAnswer(*hub, editor));
}

TEST_F(SharingHub, AnExclusiveItsProgramLeavesIdleIsEndedAfterTwoSeconds) {
    uint32_t editor = connect(shareOutput, 2);
    uint32_t sequencer = connect(shareOutput, 2, 78);
    line(); // the slack is counted from here
    EXPECT_TRUE(send(editor, {0xF0, 0x41, 0x10}, shareAnswerWanted));
    EXPECT_EQ(line(), (std::vector<Bytes>{{0xF5, 0x02}, {0xF0, 0x41, 0x10}}));
    EXPECT_TRUE(takeAnswer(*hub, editor)); // and the editor stops in a debugger
    EXPECT_TRUE(send(sequencer, {0x90, 0x3C, 0x40}));
    now += shareHoldSlackMs - 1;
    EXPECT_EQ(line(), std::vector<Bytes>{});
    now += 1;
    EXPECT_EQ(line(), (std::vector<Bytes>{{0xF7}, {0x90, 0x3C, 0x40}}));
    EXPECT_FALSE(takeAnswer(*hub, editor));
}

// A program that keeps its exclusive going with a data byte and a clock a second, from one
// connection or from a new one each time, holds the others for two seconds once, and after that
// for no more than a moment at a time: 20 notes of another program go within a few seconds.
TEST_F(SharingHub, AnExclusiveThatTricklesHoldsTheOthersForSecondsOnly) {
    uint32_t trickler = connect(shareOutput, 2);
    uint32_t player = connect(shareOutput, 0, 78);
    line();
    uint32_t start = now;
    uint32_t notesOut = 0;
    uint32_t nextNote = 0;
    for (; now - start < 60000 && notesOut < 20; now += 100) {
        if ((now - start) % 1000 == 0 && readsNext(*hub, trickler)) {
            EXPECT_TRUE(send(trickler, (now - start) % 2000 == 0 ? Bytes{0xF0, 0x11, 0xF8}
                                                                 : Bytes{0x11, 0xF8}));
        }
        if (nextNote < 20 && readsNext(*hub, player)) {
            EXPECT_TRUE(send(player, {0x90, static_cast<uint8_t>(0x30 + nextNote++), 0x40}));
        }
        for (const Bytes& write : line()) {
            notesOut += write.size() == 4 && write[1] == 0x90;
        }
    }
    EXPECT_EQ(notesOut, 20u);
    EXPECT_LT(now - start, 5000u);
    // A new connection of the same program starts with the slack its program has left.
    EXPECT_EQ(hub->clients[connect(shareOutput, 2)].holdSlack, hub->clients[trickler].holdSlack);
}

// A 64 KiB exclusive sent in 1 KiB pieces as fast as the line takes them holds the others no
// longer than its bytes take on the line: it is never ended by the service.
TEST_F(SharingHub, ADumpInPiecesAtTheLinesPaceHoldsTheOthersUntilItsEnd) {
    uint32_t librarian = connect(shareOutput, 2);
    uint32_t player = connect(shareOutput, 0, 78);
    line();
    EXPECT_TRUE(send(player, {0x90, 0x3C, 0x40}));
    for (uint32_t piece = 0; piece < 64; ++piece) {
        Bytes bytes(1024, 0x11);
        bytes.front() = piece == 0 ? 0xF0 : 0x11;
        bytes.back() = piece == 63 ? 0xF7 : 0x11;
        EXPECT_TRUE(send(librarian, bytes, shareAnswerWanted));
        for (const Bytes& write : line()) {
            bool note = write.size() == 4 && write[1] == 0x90;
            ASSERT_FALSE(note && piece < 63) << "the note went in the middle of the dump";
            now += write.size() * 1000 / lineBytesPerSecond; // the cable's time for the write
        }
        EXPECT_TRUE(takeAnswer(*hub, librarian));
    }
    EXPECT_GT(now, 17000u);
}

// Places are shared fairly: one program gets at most eight connections, and every other program
// still finds a place.
TEST_F(SharingHub, OneProgramConnectingOverAndOverLeavesPlacesForTheOthers) {
    int32_t taken = 0;
    for (int i = 0; i < 40; ++i) {
        taken += openClient(*hub, 77) >= 0;
    }
    EXPECT_EQ(taken, static_cast<int32_t>(shareClientsPerProcess));
    EXPECT_GE(openClient(*hub, 78), 0);
}

TEST_F(SharingHub, AResetIsAnsweredOnceItsSilencingIsOut) {
    uint32_t player = connect(shareOutput, 0);
    EXPECT_TRUE(send(player, {0x90, 0x3C, 0x40}));
    line();
    EXPECT_TRUE(request(player, ShareFrameKind::reset, 0, {}));
    EXPECT_FALSE(takeAnswer(*hub, player));
    EXPECT_EQ(line(), (std::vector<Bytes>{{0xFF, 0x80, 0x3C, 0x40}}));
    EXPECT_TRUE(takeAnswer(*hub, player));
    EXPECT_TRUE(request(player, ShareFrameKind::reset, 0, {}));
    EXPECT_TRUE(takeAnswer(*hub, player)); // nothing left sounding: answered at once
    // The silencing's status is not the player's: its next data gets its own back.
    EXPECT_TRUE(send(player, {0x3E, 0x40}));
    EXPECT_EQ(line(), (std::vector<Bytes>{{0xFF, 0x90}, {0xFF, 0x3E, 0x40}}));
}

TEST_F(SharingHub, AProgramThatVanishesIsSilencedAndItsPlaceFreed) {
    uint32_t player = connect(shareOutput, 0);
    uint32_t other = connect(shareOutput, 0);
    EXPECT_TRUE(send(player, {0x90, 0x3C, 0x40, 0xF0, 0x41}));
    line();
    EXPECT_TRUE(send(other, {0x91, 0x30, 0x40}));
    clientGone(*hub, player);
    EXPECT_EQ(line(),
              (std::vector<Bytes>{{0xFF, 0xF7, 0x80, 0x3C, 0x40}, {0xFF, 0x91, 0x30, 0x40}}));
    EXPECT_EQ(openClient(*hub, 78), static_cast<int32_t>(player));
}

// What a vanished program left sounding is released between the writes of another's dump on
// another destination: no exclusive holds up its silencing.
TEST_F(SharingHub, AVanishedProgramIsSilencedInTheMiddleOfAnothersDump) {
    uint32_t player = connect(shareOutput, 0, 78);
    uint32_t editor = connect(shareOutput, 1);
    EXPECT_TRUE(send(player, {0x90, 0x3C, 0x40}));
    line();
    EXPECT_TRUE(send(editor, {0xF0, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0xF7}));
    EXPECT_EQ(line(2), (std::vector<Bytes>{{0xF5, 0x01}, {0xFF, 0xF0, 0x01, 0x02, 0x03}}));
    clientGone(*hub, player);
    EXPECT_EQ(line(), (std::vector<Bytes>{{0xF5, 0x00},
                                          {0xFF, 0x80, 0x3C, 0x40},
                                          {0xF5, 0x01},
                                          {0xFF, 0x04, 0x05, 0x06, 0x07},
                                          {0xFF, 0xF7}}));
}

TEST_F(SharingHub, AProgramCutOffInItsMessageLeavesNoNoteOnAndNoHalfMessageBehind) {
    uint32_t other = connect(shareOutput, 0);
    uint32_t player = connect(shareOutput, 0);
    EXPECT_TRUE(send(other, {0x90, 0x30, 0x40}));
    line();
    EXPECT_TRUE(send(player, {0x91, 0x3C, 0x40, 0xC0, 0x05, 0x90, 0x3C, 0x40}));
    EXPECT_EQ(line(1), (std::vector<Bytes>{{0xFF, 0x91, 0x3C, 0x40, 0xC0}}));
    clientGone(*hub, player); // killed with "05 90 3C 40" still to go
    EXPECT_TRUE(send(other, {0x3E, 0x40}));
    // The other's data gets its status back, as the instrument may be inside the cut message.
    EXPECT_EQ(line(),
              (std::vector<Bytes>{{0xFF, 0x90}, {0xFF, 0x3E, 0x40}, {0xFF, 0x81, 0x3C, 0x40}}));
}

TEST_F(SharingHub, AProgramThatGoesWhileItsResetWaitsStillHasItsNotesReleased) {
    uint32_t player = connect(shareOutput, 0);
    uint32_t editor = connect(shareOutput, 2);
    EXPECT_TRUE(send(player, {0x90, 0x3C, 0x40}));
    EXPECT_TRUE(send(editor, {0xF0, 0x41}));
    line();
    EXPECT_TRUE(request(player, ShareFrameKind::reset, 0, {}));
    clientGone(*hub, player);
    EXPECT_TRUE(send(editor, {0x10, 0xF7}));
    EXPECT_EQ(line(), (std::vector<Bytes>{
                          {0xF5, 0x00}, {0xFF, 0x80, 0x3C, 0x40}, {0xF5, 0x02}, {0x10, 0xF7}}));
}

TEST_F(SharingHub, EveryStartedInputGetsItsOwnBytesAndASlowOneLosesOnlyItsOwn) {
    uint32_t reader = connect(shareInput, 0);
    uint32_t stalled = connect(shareInput, 0);
    uint32_t late = connect(shareInput, 0);
    EXPECT_TRUE(request(reader, ShareFrameKind::startInput, 0, {}));
    EXPECT_TRUE(request(stalled, ShareFrameKind::startInput, 0, {}));
    takeInput(*hub, 0xFE, 5); // before the late one's start
    EXPECT_TRUE(request(late, ShareFrameKind::startInput, 0, {}));
    auto frame = std::make_unique<uint8_t[]>(shareFrameBytesMax);
    uint32_t readerBytes = 0;
    for (uint32_t i = 0; i < shareInputQueueEntries; ++i) {
        takeInput(*hub, 0x40, 6 + i);
        if (i % 1000 == 0) {
            readerBytes += takeInputFrame(*hub, reader, frame.get()) - shareHeaderBytes;
        }
    }
    readerBytes += takeInputFrame(*hub, reader, frame.get()) - shareHeaderBytes;
    EXPECT_EQ(readerBytes, (shareInputQueueEntries + 1) * shareInputEntryBytes);

    // The stalled one gets what its queue held, in frames, told of the loss with the first.
    ShareFrame read;
    uint32_t stalledBytes = 0;
    for (uint32_t frames = 0; frames < 2; ++frames) {
        uint32_t size = takeInputFrame(*hub, stalled, frame.get());
        ASSERT_TRUE(readShareAnswer(frame.get(), size, read));
        EXPECT_EQ(read.flags, frames == 0 ? shareInputLost : 0);
        stalledBytes += read.length;
    }
    EXPECT_EQ(stalledBytes, shareInputQueueEntries * shareInputEntryBytes);
    uint32_t size = takeInputFrame(*hub, late, frame.get());
    ASSERT_TRUE(readShareAnswer(frame.get(), size, read));
    EXPECT_EQ(readU32(read.payload), 6u); // its first byte is the first after its start
    EXPECT_EQ(read.flags, 0);
}

// The service's line: what the hub lets go reaches the wire, the instrument's bytes reach the hub
// once the wait has run their routines, and a write the line does not take is given up at its
// deadline, which fails the line.
TEST_F(SharingHub, TheServicesLineCarriesBothWaysAndGivesUpAWriteTheLineDoesNotTake) {
    sim::reset();
    ServiceLine serviceLine = {};
    ASSERT_TRUE(openServiceLine(serviceLine, 1));
    uint32_t sequencer = connect(shareOutput, 0);
    uint32_t editor = connect(shareInput, 0);
    EXPECT_TRUE(request(editor, ShareFrameKind::startInput, 0, {}));
    EXPECT_TRUE(send(sequencer, {0x90, 0x3C, 0x40}));
    platform::Handle wake = platform::createEvent();
    for (int write = 0; write < 3; ++write) {
        writeServiceLine(serviceLine, *hub, now);
        platform::waitAlertably(wake, 0); // the write's routine
    }
    EXPECT_EQ(sim::wire(), (Bytes{0xF5, 0x00, 0xFF, 0x90, 0x3C, 0x40}));

    sim::instrumentSends({0x90, 0x3C});
    platform::waitAlertably(wake, 0);
    takeServiceLineInput(serviceLine, *hub);
    auto frame = std::make_unique<uint8_t[]>(shareFrameBytesMax);
    EXPECT_EQ(takeInputFrame(*hub, editor, frame.get()),
              shareHeaderBytes + 2 * shareInputEntryBytes);
    EXPECT_EQ(frame[shareHeaderBytes + 4], 0x90);

    // Two seconds of a dump that waited in the port while the service was held up are taken in
    // two reads, whole and in order, each dated with its read's time.
    Bytes backlog(2 * lineBytesPerSecond);
    for (size_t at = 0; at < backlog.size(); ++at) {
        backlog[at] = static_cast<uint8_t>(at % 0x80);
    }
    sim::instrumentSends(backlog);
    uint32_t issued = sim::world().readsIssued;
    for (int read = 0; read < 3; ++read) {
        platform::waitAlertably(wake, 0);
        takeServiceLineInput(serviceLine, *hub);
    }
    EXPECT_EQ(sim::world().readsIssued - issued, 2u) << "two reads took it, the third waits";
    Bytes received;
    while (uint32_t size = takeInputFrame(*hub, editor, frame.get())) {
        for (uint32_t at = shareHeaderBytes; at < size; at += shareInputEntryBytes) {
            received.push_back(frame[at + 4]);
        }
    }
    EXPECT_EQ(received, backlog);

    sim::world().writeOutcome = sim::WriteOutcome::stalls;
    EXPECT_TRUE(send(sequencer, {0x80, 0x3C, 0x40}));
    writeServiceLine(serviceLine, *hub, now);
    EXPECT_EQ(endOverdueWrite(serviceLine, now + 1), writeDeadline(4) - 1);
    endOverdueWrite(serviceLine, now + writeDeadline(4));
    platform::waitAlertably(wake, 0);
    EXPECT_TRUE(serviceLine.failed);
    EXPECT_FALSE(serviceLine.write.underWay);
    closeServiceLine(serviceLine);
    platform::closeHandle(wake);
    sim::reset();
}

// The service's side of its pipe, as its loop runs it, with programs that come to it on the
// simulated machine.
class SharingServer : public ::testing::Test {
  protected:
    std::unique_ptr<ShareServer> server = std::make_unique<ShareServer>();
    platform::Handle wake = platform::nullHandle;
    const Bytes answer = frameOf(ShareFrameKind::answer, 0, {0, 0, 0, 0});

    void SetUp() override {
        sim::reset();
        sim::setClock(1000);
        ASSERT_TRUE(startServer(*server, true, false));
        wake = platform::createEvent();
    }
    void TearDown() override {
        closeEveryConnection(*server);
        turn();
        stopServer(*server);
        platform::closeHandle(wake);
        sim::reset();
    }
    static platform::PipeCaller caller(uint32_t processId, uint32_t session, uint8_t user) {
        return {.processId = processId, .session = session, .userBytes = 12, .user = {1, 5, user}};
    }
    // One round of the service's loop: what completed is noted, then every connection served.
    void turn() {
        platform::waitAlertably(wake, 0);
        serveConnections(*server);
    }
    // A program comes, and the service takes it as its wait wakes; the connection's number.
    size_t come(const platform::PipeCaller& program) {
        turn(); // what completed before goes first, as the loop's wait runs it
        int32_t connection = sim::programConnects(program);
        EXPECT_GE(connection, 0) << "no instance of the pipe waits";
        platform::Handle events[shareListenersMax];
        for (uint32_t i = 0; i < shareListenersMax; ++i) {
            events[i] = server->connecting[i].event;
        }
        uint32_t which = 0;
        EXPECT_EQ(platform::waitAlertablyForAny(events, shareListenersMax, 0, which),
                  platform::Woken::bySignal);
        acceptConnection(*server, which);
        turn();
        return static_cast<size_t>(connection);
    }
    void says(size_t connection, const Bytes& frame) {
        sim::programWrites(connection, frame);
        turn();
        turn();
    }
    void saysHello(size_t connection) {
        Bytes hello(shareHelloBytes);
        writeShareHello({shareProtocolVersion, shareOutput, 0, 77}, hello.data());
        says(connection, frameOf(ShareFrameKind::hello, 0, hello));
    }
};

// The first program binds the service to its session and user: a program of another session is
// turned away as it comes, one of another user at its first frame; once every program has gone,
// the next may be anybody's.
TEST_F(SharingServer, OnlyTheFirstProgramsSessionAndUserAreServedWhileItStays) {
    size_t first = come(caller(77, 1, 0xA1));
    size_t sameUserElsewhere = come(caller(80, 3, 0xA1)); // before the service is bound
    saysHello(first);
    EXPECT_EQ(sim::framesToProgram(first), std::vector<Bytes>{answer});
    saysHello(sameUserElsewhere);
    EXPECT_TRUE(sim::servedPipeClosed(sameUserElsewhere));
    size_t otherSession = come(caller(78, 2, 0xA1));
    EXPECT_TRUE(sim::servedPipeClosed(otherSession));
    size_t otherUser = come(caller(79, 1, 0xB2));
    EXPECT_FALSE(sim::servedPipeClosed(otherUser));
    saysHello(otherUser);
    EXPECT_TRUE(sim::servedPipeClosed(otherUser));
    EXPECT_TRUE(sim::framesToProgram(otherUser).empty());

    sim::programLeaves(first);
    turn();
    EXPECT_TRUE(sim::servedPipeClosed(first));
    EXPECT_FALSE(anyConnection(*server));
    size_t next = come(caller(78, 2, 0xB2));
    saysHello(next);
    EXPECT_EQ(sim::framesToProgram(next), std::vector<Bytes>{answer});
}

TEST_F(SharingServer, AProgramGetsEightPlacesAndEveryOtherProgramStillFindsOne) {
    for (uint32_t place = 0; place < shareClientsPerProcess; ++place) {
        EXPECT_FALSE(sim::servedPipeClosed(come(caller(77, 1, 0xA1)))) << "place " << place;
    }
    EXPECT_TRUE(sim::servedPipeClosed(come(caller(77, 1, 0xA1))));
    EXPECT_FALSE(sim::servedPipeClosed(come(caller(78, 1, 0xA1))));
}

// A connection that says no hello within two seconds is ended, as is one that sends a frame it
// may not send: anything before its hello, or more than any request may hold.
TEST_F(SharingServer, AConnectionIsEndedWithoutAHelloInTimeOrAtAFrameItMayNotSend) {
    size_t silent = come(caller(77, 1, 0xA1));
    sim::setClock(1500);
    size_t greeting = come(caller(77, 1, 0xA1));
    saysHello(greeting);
    sim::setClock(2999);
    EXPECT_EQ(endSilentConnections(*server, platform::milliseconds()), 1u);
    EXPECT_FALSE(sim::servedPipeClosed(silent));
    sim::setClock(3000);
    EXPECT_EQ(endSilentConnections(*server, platform::milliseconds()), platform::noTimeLimit);
    EXPECT_TRUE(sim::servedPipeClosed(silent));
    EXPECT_FALSE(sim::servedPipeClosed(greeting));

    size_t early = come(caller(77, 1, 0xA1));
    says(early, frameOf(ShareFrameKind::message, 0, {0x90, 0x3C, 0x40}));
    EXPECT_TRUE(sim::servedPipeClosed(early));
    says(greeting, Bytes(shareFrameBytesMax + 1, 0));
    EXPECT_TRUE(sim::servedPipeClosed(greeting));
    EXPECT_EQ(sim::framesToProgram(greeting), std::vector<Bytes>{answer}) << "only its hello's";
}

} // namespace
