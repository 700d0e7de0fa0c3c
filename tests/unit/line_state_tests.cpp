// A serial port keeps its settings from the program that used it last. Whatever that program
// left, the driver's line passes every byte both ways, reads wait for their first byte and take
// what has arrived, in the line's order also where the port does not serve its reads in turn, and
// the worker never spins.
#include "input_device_fixture.h"
#include "line/port.h"

namespace {

class LineLeftBehind : public AnInputDevice {
  protected:
    sim::SerialPort& com1() { return sim::world().ports[1]; }
    // Starts input and waits until the worker has taken in what the start set off.
    void start() {
        ASSERT_EQ(open(), MMSYSERR_NOERROR);
        ASSERT_EQ(call(MIDM_START), MMSYSERR_NOERROR);
        settle();
    }
    // Lets the pause of the reads that came back empty pass, once the worker has begun it.
    void pausePasses() {
        ASSERT_TRUE(sim::waitUntil([] { return sim::world().timedWaits > 0; }));
        sim::setClock(emptyReadPauseMs);
    }
    uint32_t readsIssued() {
        std::lock_guard<std::mutex> hold(sim::world().lock);
        return sim::world().readsIssued;
    }
};

TEST_F(LineLeftBehind, EveryOpeningSetsTheWholeLineWhateverTheLastProgramLeft) {
    com1().handling = {.outxCtsFlow = true,
                       .outxDsrFlow = true,
                       .dtrControl = 2, // handshake
                       .dsrSensitivity = true,
                       .outX = true,
                       .inX = true,
                       .errorChar = true,
                       .null = true,
                       .rtsControl = 3, // toggle
                       .abortOnError = true};
    com1().timeouts = {sim::maxDword, 0, 0, 10, 1000};
    Stream* out = app.openOutput(0);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(com1().settings, u"baud=38400 parity=N data=8 stop=1");
    EXPECT_EQ(com1().handling, sim::plainHandling) << "no flow control, DTR and RTS high";
    EXPECT_EQ(com1().timeouts, platform::readsTakeWhatHasArrived);
}

TEST_F(LineLeftBehind, ReadsWaitForTheirByteOnALineLeftAnsweringReadsAtOnce) {
    com1().timeouts = sim::readsReturnAtOnce;
    start();
    EXPECT_EQ(sim::outstandingReads(), readSlotCount);
    EXPECT_EQ(readsIssued(), readSlotCount);
    sim::instrumentSends({0x90, 0x3C, 0x40});
    settle();
    EXPECT_EQ(told(), (std::vector<Told>{{MIM_DATA, 0x00403C90, 0}}));
}

// Under Wine a read issued while another waits takes the bytes that one was woken for: there one
// read waits at a time, and what the instrument sends still comes whole and in order.
TEST_F(LineLeftBehind, WhereReadsDoNotWaitInTurnOneWaitsAndTheBytesComeInOrder) {
    sim::world().serialReadsWaitInTurn = false;
    start();
    EXPECT_EQ(sim::outstandingReads(), 1u);
    sim::instrumentSends({0xF8, 0x90, 0x3C, 0x40});
    sim::wakeFirstRead(1); // the clock; its read, issued again, takes the Note On at once
    settle();
    sim::instrumentSends({0x80, 0x3C, 0x00});
    sim::wakeFirstRead(3);
    settle();
    EXPECT_EQ(told(), (std::vector<Told>{
                          {MIM_DATA, 0xF8, 0}, {MIM_DATA, 0x00403C90, 0}, {MIM_DATA, 0x3C80, 0}}));
}

TEST_F(LineLeftBehind, MusicThatLooksLikeLineControlPassesOnALineLeftWithFlowControl) {
    com1().handling.dsrSensitivity = true;
    com1().handling.outX = true; // XON and XOFF, 0x11 and 0x13, would be taken for flow control
    com1().handling.inX = true;
    com1().handling.null = true;
    start();
    sim::instrumentSends({0x90, 0x13, 0x00, 0x90, 0x11, 0x40});
    settle();
    EXPECT_EQ(told(), (std::vector<Told>{{MIM_DATA, 0x00001390, 0}, {MIM_DATA, 0x00401190, 0}}));
}

TEST_F(LineLeftBehind, ALineErrorDoesNotStopInputOnALineLeftAbortingOnErrors) {
    com1().handling.abortOnError = true;
    start();
    sim::lineError();
    sim::instrumentSends({0x90, 0x3C, 0x40});
    settle();
    EXPECT_EQ(told(), (std::vector<Told>{{MIM_DATA, 0x00403C90, 0}}));
    EXPECT_EQ(sim::outstandingReads(), readSlotCount);
}

// Some serial drivers answer a read at once with no byte whatever the time-outs say.
TEST_F(LineLeftBehind, AReadAnsweredWithoutAByteIsIssuedAgainOnlyAfterAPause) {
    com1().emptyReads = true;
    start();
    EXPECT_EQ(readsIssued(), readSlotCount) << "all eight came back empty and wait";
    settle();
    EXPECT_EQ(readsIssued(), readSlotCount) << "no read is issued again while no time passes";

    // What arrives meanwhile waits in the port until the reads are issued again.
    sim::instrumentSends({0x90, 0x3C, 0x40});
    settle();
    EXPECT_TRUE(told().empty());
    pausePasses();
    EXPECT_TRUE(sim::waitUntil([] { return sim::world().notifications.size() == 2; }));
    EXPECT_EQ(told(), (std::vector<Told>{{MIM_DATA, 0x00403C90, emptyReadPauseMs}}));
    settle();
    uint32_t issued = readsIssued();
    settle();
    EXPECT_EQ(readsIssued(), issued) << "and none again until the next pause is over";
}

} // namespace
