// The serial port under the owner rule: opened once per process, joined by further devices,
// refused to other processes, closed with the last device, and its failures.
#include "driver_fixture.h"
#include "line/port.h"
#include "monitor/monitor.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <thread>

namespace {

class SerialPort : public DriverTest {
  protected:
    sim::SerialPort& com(uint32_t n) { return sim::world().ports[n]; }
    // Attaches the input device's slot, as an input open will.
    uint32_t attachInput(PortHold& slot, ClientProcess& process) {
        return attachPort(process.context.line, kindInput, 0, slot);
    }
    void detachInput(PortHold slot, ClientProcess& process) {
        detachPort(process.context.line, kindInput, 0, slot);
    }
};

TEST_F(SerialPort, TheFirstOpenOpensAndConfiguresTheLineForThisProcess) {
    shared.portNumber = 3;
    Stream* out = app.openOutput(0);
    EXPECT_EQ(com(3).opens, 1u);
    EXPECT_EQ(com(3).access, 0xC0000000u);
    EXPECT_EQ(com(3).settings, u"baud=38400 parity=N data=8 stop=1");
    EXPECT_EQ(sim::world().finePeriods, 1);
    EXPECT_TRUE(sameOwner(shared.owner, app.context.line.ownerToken));
    EXPECT_EQ(shared.openCount, 1);

    app.close(out);
    EXPECT_FALSE(portIsHeld(shared));
    EXPECT_TRUE(sameOwner(shared.owner, noOwner));
    EXPECT_EQ(sim::world().finePeriods, 0);
    EXPECT_EQ(sim::world().openHandles.size(), 1u) << "only the heap: port and event are closed";
}

TEST_F(SerialPort, EveryPortIsOpenedByItsDevicePath) {
    // Windows finds COM10 and above by "\\.\COMn" only, as the simulated machine does.
    for (uint16_t port : {1, 7, 12, 256}) {
        shared.portNumber = port;
        Stream* out = app.openOutput(0);
        ASSERT_NE(out, nullptr) << "COM" << port;
        EXPECT_EQ(app.send(out, 0x403C90), MMSYSERR_NOERROR);
        EXPECT_EQ(wire(port), (Bytes{0xF5, 0x00, 0xFF, 0x90, 0x3C, 0x40})) << "COM" << port;
        EXPECT_EQ(com(port).settings, u"baud=38400 parity=N data=8 stop=1");
        app.close(out);
    }
    EXPECT_EQ(shared.presentPorts, 1 << 1 | 1 << 7) << "ports above COM7 have no bit";
}

TEST_F(SerialPort, DevicesOfOneProcessShareOneOpeningUntilTheLastLetsGo) {
    Stream* out = app.openOutput(0);
    PortHold input = {};
    EXPECT_EQ(attachInput(input, app), MMSYSERR_NOERROR);
    EXPECT_EQ(input.generation, shared.portGeneration);
    EXPECT_EQ(com(1).opens, 1u);
    EXPECT_EQ(shared.openCount, 2);

    app.close(out);
    EXPECT_TRUE(portIsHeld(shared));
    detachInput(input, app);
    EXPECT_FALSE(portIsHeld(shared));
    EXPECT_EQ(sim::world().badCloses, 0);
}

TEST_F(SerialPort, DeviceIndexesFollowTheMode) {
    Stream* out = nullptr;
    EXPECT_EQ(app.openOutput(1, out), MMSYSERR_BADDEVICEID);
    PortHold slot = {};
    EXPECT_EQ(attachPort(app.context.line, kindInput, 1, slot), MMSYSERR_BADDEVICEID);
    setIndependentMode();
    EXPECT_EQ(app.openOutput(4, out), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(attachPort(app.context.line, kindInput, 1, slot), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(app.openOutput(3, out), MMSYSERR_NOERROR);
    EXPECT_EQ(notified(), (std::vector<uint32_t>{MOM_OPEN}));
}

TEST_F(SerialPort, AnotherProcessIsRefusedUntilEveryDeviceIsClosed) {
    Stream* first = app.openOutput(0);
    PortHold input = {};
    attachInput(input, app);
    ClientProcess other(shared, {200, 7});
    Stream* refused = nullptr;
    EXPECT_EQ(other.openOutput(0, refused), MMSYSERR_ALLOCATED);
    PortHold otherInput = {};
    EXPECT_EQ(attachInput(otherInput, other), MMSYSERR_ALLOCATED);
    EXPECT_EQ(otherInput.generation, noHold);
    EXPECT_EQ(shared.openCount, 2) << "a refusal changes nothing";
    EXPECT_EQ(figure(*app.context.line.monitor.record, Count::opensRefused), 1u)
        << "counted for whoever looks; the input's attach is no device open";
    const OpenedDevice& listed = app.context.line.monitor.record->opened[0];
    EXPECT_EQ(listed.processId, 100u);
    EXPECT_EQ(listed.slot, deviceSlot(kindOutput, 0));
    EXPECT_EQ(app.context.line.monitor.record->opened[1].processId, 0u) << "the refused one is not";

    app.close(first);
    detachInput(input, app);
    Stream* granted = other.openOutput(0);
    ASSERT_NE(granted, nullptr);
    EXPECT_TRUE(sameOwner(shared.owner, other.context.line.ownerToken));
    other.close(granted);
}

TEST_F(SerialPort, AProgramStuckInTheOwnerLockHoldsUpOpensForOneWaitAndNoCloseOfOthers) {
    setIndependentMode();
    Stream* out = app.openOutput(0);
    // Another program takes the lock that makes changes of the holder one step, and stops.
    ClientProcess stuck(shared, {300, 1});
    std::promise<void> taken;
    std::promise<void> letGo;
    std::thread holder([&] {
        platform::takeNamedLock(stuck.context.line.ownerLock, platform::noTimeLimit);
        taken.set_value();
        letGo.get_future().wait();
        platform::releaseNamedLock(stuck.context.line.ownerLock);
    });
    taken.get_future().wait();
    // Two opens of the program wait side by side, and each is answered after that one wait, as
    // for a device in use: a refused open lets go of nothing it would wait for again.
    std::atomic<uint32_t> answers[2] = {0xFFFF, 0xFFFF};
    auto open = [&](int which) {
        Stream* refused = nullptr;
        answers[which] = app.openOutput(1 + 2 * which, refused);
    };
    std::thread opens[] = {std::thread(open, 0), std::thread(open, 1)};
    EXPECT_TRUE(sim::waitUntil([] { return sim::world().timedWaits == 2; }));
    sim::setClock(ownerLockWaitMs);
    auto answered = [&] { return answers[0] != 0xFFFF && answers[1] != 0xFFFF; };
    for (int i = 0; i < 2000 && !answered(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(answered()) << "an open waited a second time";
    sim::setClock(3 * ownerLockWaitMs);
    for (std::thread& opener : opens) {
        opener.join();
    }
    EXPECT_EQ(answers[0], MMSYSERR_ALLOCATED);
    EXPECT_EQ(answers[1], MMSYSERR_ALLOCATED);
    // A close waits as long, and then lets go of everything of its own process.
    std::thread closer([&] { EXPECT_EQ(app.close(out), MMSYSERR_NOERROR); });
    EXPECT_TRUE(sim::waitUntil([] { return sim::world().timedWaits != 0; }));
    sim::setClock(4 * ownerLockWaitMs);
    closer.join();
    EXPECT_FALSE(portIsHeld(shared));
    EXPECT_EQ(sim::world().finePeriods, 0);
    EXPECT_EQ(sim::world().openHandles.size(), 2u) << "only the two heaps: the port was closed";

    letGo.set_value();
    holder.join();
    ClientProcess next(shared, {200, 1});
    Stream* granted = next.openOutput(0);
    ASSERT_NE(granted, nullptr) << "the port is free for the next program";
    next.close(granted);
}

TEST_F(SerialPort, APortLeftByADeadProcessIsTakenOver) {
    Stream* abandoned = app.openOutput(0);
    (void)abandoned; // its process dies without closing it
    sim::world().endedProcesses.push_back(app.context.line.ownerToken);
    ClientProcess next(shared, {100, 2}); // same id, started later: another process
    Stream* out = next.openOutput(0);
    ASSERT_NE(out, nullptr);
    EXPECT_TRUE(sameOwner(shared.owner, next.context.line.ownerToken));
    EXPECT_EQ(shared.openCount, 1);
    EXPECT_EQ(com(1).opens, 2u);
    EXPECT_EQ(next.send(out, 0x00403C90), MMSYSERR_NOERROR);
}

// A program killed while it plays leaves notes and a pedal down on the instrument: the next
// program to take the port releases them, destination by destination, before its own first
// message. What a program closed, or turned off itself, is left alone.
TEST_F(SerialPort, TheNextHolderReleasesWhatAHolderThatDiedLeftSoundingBeforeItsOwnMessages) {
    setIndependentMode();
    Stream* defaultMidi = app.openOutput(0);
    Stream* midiOut = app.openOutput(1);
    Stream* synthA = app.openOutput(2);
    Stream* synthB = app.openOutput(3);
    app.send(defaultMidi, 0x00403C90); // a note that its Note Off ends
    app.send(defaultMidi, 0x00003C90);
    app.send(midiOut, 0x00504090); // E4 on channel 1
    app.send(synthA, 0x007F40B1);  // the pedal down on channel 2, and C4
    app.send(synthA, 0x00403C91);
    app.send(synthB, 0x00403C93); // a note on an output the program closed
    app.close(synthB);
    sim::world().endedProcesses.push_back(app.context.line.ownerToken);
    forgetWire();

    ClientProcess next(shared, {100, 2});
    EXPECT_EQ(next.context.line.sounding, nullptr) << "a program that only loads maps no record";
    Stream* out = next.openOutput(3);
    ASSERT_NE(out, nullptr);
    ASSERT_NE(next.context.line.sounding, nullptr);
    EXPECT_EQ(next.context.owed.notes, next.context.line.sounding->owed)
        << "what its resets hand over is kept where the holder after it looks";
    EXPECT_EQ(next.send(out, 0x00403C92), MMSYSERR_NOERROR);
    EXPECT_EQ(writes(), (std::vector<Bytes>{{0xF5, 0x01},
                                            {0xFF, 0x80, 0x40, 0x40},
                                            {0xF5, 0x02},
                                            {0x81, 0x3C, 0x40},
                                            {0xB1, 0x40, 0x00},
                                            {0xF5, 0x03},
                                            {0x92, 0x3C, 0x40}}));
    next.close(out);
    forgetWire();
    ClientProcess third(shared, {100, 3});
    out = third.openOutput(3);
    third.send(out, 0x00403C92);
    EXPECT_EQ(writes(), (std::vector<Bytes>{{0xF5, 0x03}, {0x92, 0x3C, 0x40}}))
        << "a holder that closed leaves nothing to release";
    third.close(out);
}

TEST_F(SerialPort, AnOpenDeviceIsRefusedASecondStreamAndClosingOneDeviceLeavesTheOthers) {
    setIndependentMode();
    Stream* first = app.openOutput(0);
    Stream* synthA = app.openOutput(2);
    Stream* second = nullptr;
    EXPECT_EQ(app.openOutput(0, second), MMSYSERR_ALLOCATED);
    EXPECT_EQ(second, nullptr);
    PortHold input = {};
    EXPECT_EQ(attachInput(input, app), MMSYSERR_NOERROR);
    PortHold secondInput = {};
    EXPECT_EQ(attachInput(secondInput, app), MMSYSERR_ALLOCATED);
    EXPECT_EQ(shared.openCount, 3);

    EXPECT_EQ(app.close(first), MMSYSERR_NOERROR);
    forgetWire();
    EXPECT_EQ(app.send(synthA, 0x00403C90), MMSYSERR_NOERROR);
    EXPECT_EQ(wire(), (Bytes{0xF5, 0x02, 0x90, 0x3C, 0x40}));
    Stream* again = app.openOutput(0);
    ASSERT_NE(again, nullptr) << "a closed device can be opened again";
    EXPECT_EQ(com(1).opens, 1u);
    app.close(again);
    app.close(synthA);
    detachInput(input, app);
    EXPECT_FALSE(portIsHeld(shared));
    EXPECT_EQ(sim::world().badCloses, 0);
    EXPECT_EQ(sim::liveAllocations(), 0u);
}

TEST_F(SerialPort, ASelectThatFailsKeepsItsDataOffTheWireAndIsMadeAgain) {
    setIndependentMode();
    Stream* midiOut = app.openOutput(1);
    sim::world().nextWriteOutcomes = {sim::WriteOutcome::fails};
    EXPECT_EQ(app.send(midiOut, 0x00403C90), MMSYSERR_INVALPARAM);
    EXPECT_TRUE(wire().empty()) << "the Note On would have played on another destination";
    EXPECT_EQ(app.send(midiOut, 0x00403C90), MMSYSERR_NOERROR);
    EXPECT_EQ(writes(), (std::vector<Bytes>{{0xF5, 0x01}, {0xFF, 0x90, 0x3C, 0x40}}));

    // A select that failed half-way leaves the instrument's destination unknown, so even the
    // output announced before it announces itself again.
    Stream* synthA = app.openOutput(2);
    forgetWire();
    sim::world().nextWriteOutcomes = {sim::WriteOutcome::pendingThenFails};
    EXPECT_EQ(app.send(synthA, 0x00403C90), MMSYSERR_INVALPARAM);
    // A failed write takes the line for lost as well; it is picked up when next due.
    sim::setClock(reopenIntervalMs);
    app.send(midiOut, 0x00403C90);
    EXPECT_EQ(writes(), (std::vector<Bytes>{{0xF5, 0x01}, {0xFF, 0x90, 0x3C, 0x40}}));
}

TEST_F(SerialPort, ProcessesTakingTurnsAnnounceTheirDestinationAfresh) {
    // While the port was closed the instrument may have been switched off and on, or another
    // program may have selected a destination over another driver.
    setIndependentMode();
    ClientProcess other(shared, {300, 1});

    Stream* synthA = app.openOutput(2);
    app.send(synthA, 0x00403C90);
    app.close(synthA);
    Stream* defaultMidi = other.openOutput(0);
    other.send(defaultMidi, 0x00403C91);
    other.close(defaultMidi);
    synthA = app.openOutput(2);
    app.send(synthA, 0x00403C90);
    app.close(synthA);

    EXPECT_EQ(writes(), (std::vector<Bytes>{{0xF5, 0x02},
                                            {0x90, 0x3C, 0x40},
                                            {0xF5, 0x00},
                                            {0xFF, 0x91, 0x3C, 0x40},
                                            {0xF5, 0x02},
                                            {0x90, 0x3C, 0x40}}));
}

TEST_F(SerialPort, FailedOpensAnswerWhyAndLeaveNothingBehind) {
    struct Case {
        uint32_t osError;
        uint32_t status;
    };
    const Case cases[] = {{ERROR_FILE_NOT_FOUND, MMSYSERR_ERROR},
                          {ERROR_ACCESS_DENIED, MMSYSERR_BADDEVICEID},
                          {ERROR_BUSY, MMSYSERR_ALLOCATED},
                          {ERROR_SUCCESS, MMSYSERR_ERROR}}; // never a success
    for (const Case& c : cases) {
        com(1).present = false;
        com(1).openError = c.osError;
        Stream* out = nullptr;
        EXPECT_EQ(app.openOutput(0, out), c.status) << "last error " << c.osError;
        EXPECT_EQ(out, nullptr);
    }
    com(1).present = true;
    com(1).configureFails = true;
    Stream* out = nullptr;
    EXPECT_EQ(app.openOutput(0, out), MMSYSERR_NOTSUPPORTED);

    EXPECT_TRUE(notified().empty());
    EXPECT_EQ(sim::liveAllocations(), 0u);
    EXPECT_EQ(sim::world().openHandles.size(), 1u) << "only the heap: the port was closed again";
    EXPECT_FALSE(portIsHeld(shared));
    EXPECT_EQ(shared.openCount, 0);
    EXPECT_EQ(sim::world().finePeriods, 0);
}

TEST_F(SerialPort, OsErrorsMapToStatuses) {
    struct Case {
        uint32_t osError;
        uint32_t status;
    };
    const Case cases[] = {{0, MMSYSERR_NOERROR},      {997, MMSYSERR_NOERROR},
                          {1, MMSYSERR_NOTSUPPORTED}, {50, MMSYSERR_NOTSUPPORTED},
                          {5, MMSYSERR_BADDEVICEID},  {8, MMSYSERR_NOMEM},
                          {122, MMSYSERR_INVALPARAM}, {170, MMSYSERR_ALLOCATED},
                          {2, MMSYSERR_ERROR},        {31, MMSYSERR_ERROR}};
    for (const Case& c : cases) {
        sim::setLastError(c.osError);
        EXPECT_EQ(mapOsError(), c.status) << "last error " << c.osError;
    }
}

TEST_F(SerialPort, PendingWritesAreWaitedForAndFailuresReported) {
    Stream* out = app.openOutput(0);
    sim::world().writeOutcome = sim::WriteOutcome::pending;
    EXPECT_EQ(app.send(out, 0x00403C90), MMSYSERR_NOERROR);
    EXPECT_EQ(wire(), (Bytes{0xF5, 0x00, 0xFF, 0x90, 0x3C, 0x40}));

    sim::world().writeOutcome = sim::WriteOutcome::pendingThenFails;
    EXPECT_EQ(app.send(out, 0x00403C90), MMSYSERR_INVALPARAM);
    sim::world().writeOutcome = sim::WriteOutcome::fails;
    EXPECT_EQ(app.send(out, 0x00403C90), MMSYSERR_INVALPARAM);
}

TEST_F(SerialPort, AFailedLongWriteStopsAndIsDoneButNotAnswered) {
    Stream* out = app.openOutput(0);
    app.send(out, 0xF8);
    forgetWire();
    sim::world().writeOutcome = sim::WriteOutcome::fails;
    Bytes exclusive(10, 0x01);
    MidiHeader header = preparedHeader(exclusive);
    EXPECT_EQ(app.sendLong(out, header), MMSYSERR_INVALPARAM);
    EXPECT_EQ(header.dwFlags, MHDR_PREPARED | MHDR_DONE);
    EXPECT_TRUE(wire().empty());
    EXPECT_EQ(notified(), (std::vector<uint32_t>{MOM_OPEN}));
}

} // namespace

namespace {

// Processes that map the shared record by its name, as every loaded module of either bitness does.
class SharedRecord : public ::testing::Test, private FreshMachine {
  protected:
    static uint32_t openOutput(ClientProcess& process, Stream*& stream) {
        return process.openOutput(0, stream);
    }
};

TEST_F(SharedRecord, IsMadeOnceWithItsInitialValuesAndSeenByEveryProcess) {
    auto first = std::make_unique<ClientProcess>(platform::ProcessIdentity{100, 1});
    SharedState& seen = *first->context.line.shared;
    EXPECT_EQ(messageMask(seen), initialMessageMask);
    EXPECT_EQ(lastDestination(seen), noDestination);
    EXPECT_FALSE(portIsHeld(seen));
    seen.portNumber = 1;
    setMessageMask(seen,
                   messageMask(seen) | independentModeBit); // as the dialog of one process sets it

    auto second = std::make_unique<ClientProcess>(platform::ProcessIdentity{200, 1});
    EXPECT_EQ(messageMask(*second->context.line.shared) & independentModeBit, independentModeBit)
        << "a setting made in one process reaches the others at once";
    Stream* out = nullptr;
    ASSERT_EQ(openOutput(*second, out), MMSYSERR_NOERROR);
    EXPECT_TRUE(sameOwner(seen.owner, second->context.line.ownerToken));
    Stream* refused = nullptr;
    EXPECT_EQ(openOutput(*first, refused), MMSYSERR_ALLOCATED);
    second->close(out);

    // Once the last process has let go, the next one starts from the initial values again.
    second.reset();
    first.reset();
    ClientProcess later({300, 1});
    EXPECT_EQ(messageMask(*later.context.line.shared), initialMessageMask);
    EXPECT_EQ(sim::world().badCloses, 0);
}

TEST_F(SharedRecord, ProcessesLoadingWhileThePortIsInUseLeaveEveryFieldAlone) {
    ClientProcess holder({100, 1});
    SharedState& shared = *holder.context.line.shared;
    shared.portNumber = 1;
    setMessageMask(shared, messageMask(shared) | independentModeBit);
    Stream* out = nullptr;
    ASSERT_EQ(openOutput(holder, out), MMSYSERR_NOERROR);
    ASSERT_EQ(holder.send(out, 0x00403C90), MMSYSERR_NOERROR);
    ASSERT_EQ(lastDestination(shared), 0);
    SharedState before = shared;

    // Loading takes no lock and must not wait for other processes, so it writes nothing at all.
    ClientProcess loadingNow({200, 1});
    ClientProcess loadingLater({300, 1});
    EXPECT_EQ(std::memcmp(&before, &shared, sizeof shared), 0);
    EXPECT_TRUE(sameOwner(shared.owner, holder.context.line.ownerToken));
    EXPECT_EQ(holder.close(out), MMSYSERR_NOERROR);
}

TEST_F(SharedRecord, OfManyProcessesOpeningAtOnceExactlyOneWins) {
    constexpr int rounds = 30;
    constexpr int contenders = 8;
    for (int round = 0; round < rounds; ++round) {
        std::vector<std::unique_ptr<ClientProcess>> processes;
        for (int i = 0; i < contenders; ++i) {
            processes.push_back(std::make_unique<ClientProcess>(
                platform::ProcessIdentity{static_cast<uint32_t>(1000 + i), 1}));
        }
        processes[0]->context.line.shared->portNumber = 1;
        sim::world().giveWayAfterWrite = true;
        std::vector<uint32_t> statuses(contenders);
        std::vector<Stream*> streams(contenders);
        std::atomic<int> ready = 0;
        std::vector<std::thread> threads;
        for (int i = 0; i < contenders; ++i) {
            threads.emplace_back([&, i] {
                ++ready;
                while (ready < contenders) {
                    std::this_thread::yield();
                }
                statuses[i] = openOutput(*processes[i], streams[i]);
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        int winners = 0;
        for (int i = 0; i < contenders; ++i) {
            if (statuses[i] == MMSYSERR_NOERROR) {
                ++winners;
                processes[i]->close(streams[i]);
            } else {
                EXPECT_EQ(statuses[i], MMSYSERR_ALLOCATED);
            }
        }
        EXPECT_EQ(winners, 1) << "round " << round;
        EXPECT_EQ(sim::world().ports[1].opens, static_cast<uint32_t>(round + 1));
        EXPECT_EQ(sim::world().finePeriods, 0) << "no timer request left behind";
        for (const auto& handle : sim::world().openHandles) {
            EXPECT_NE(handle.second.kind, "COM") << "no port handle left behind";
        }
    }
}

// A program may load the driver twice, from two paths, and both copies carry the process's
// identity: the port is the first copy's, the second is told so, and never takes it away.
TEST_F(SharedRecord, ASecondCopyOfTheDriverInTheSameProcessIsRefusedAndNeverCutsOffTheFirst) {
    ClientProcess first({100, 1});
    ClientProcess second({100, 1});
    first.context.line.shared->portNumber = 1;
    Stream* out = first.openOutput(0);
    ASSERT_NE(out, nullptr);
    Stream* refused = nullptr;
    EXPECT_EQ(second.openOutput(0, refused), MMSYSERR_ALLOCATED);
    EXPECT_EQ(sim::world().ports[1].opens, 1u) << "the port was never opened a second time";
    EXPECT_EQ(first.send(out, 0x00403C90), MMSYSERR_NOERROR);
    first.close(out);
    EXPECT_FALSE(portIsHeld(*first.context.line.shared));
    EXPECT_EQ(sim::world().finePeriods, 0);
    EXPECT_EQ(sim::world().badCloses, 0);
}

// Any program of the session can write the shared record. One that wipes it takes nothing from
// the process holding the port: its streams still write, and its last close still closes the
// port and ends its timer request.
TEST_F(SharedRecord, ARecordWipedUnderTheHolderLeavesItsPortItsOwnToUseAndToClose) {
    ClientProcess app({100, 1});
    SharedState& shared = *app.context.line.shared;
    shared.portNumber = 1;
    Stream* out = app.openOutput(0);
    ASSERT_NE(out, nullptr);
    shared = initialSharedState;
    shared.portNumber = 1;

    EXPECT_EQ(app.send(out, 0x00403C90), MMSYSERR_NOERROR);
    // Another device of the holder joins the line it holds, never a new opening, which would
    // close that line under the first one; the record says who holds the port again.
    PortHold input = {};
    ASSERT_EQ(attachPort(app.context.line, kindInput, 0, input), MMSYSERR_NOERROR);
    EXPECT_EQ(sim::world().ports[1].opens, 1u);
    EXPECT_TRUE(sameOwner(shared.owner, app.context.line.ownerToken));
    EXPECT_EQ(shared.openCount, 2);
    EXPECT_EQ(app.send(out, 0x00403C90), MMSYSERR_NOERROR);
    detachPort(app.context.line, kindInput, 0, input);
    EXPECT_EQ(app.close(out), MMSYSERR_NOERROR);
    EXPECT_EQ(sim::world().openHandles.size(), 1u) << "only the heap: the port was closed";
    EXPECT_EQ(sim::world().finePeriods, 0);
    Stream* again = app.openOutput(0);
    ASSERT_NE(again, nullptr) << "the port can be had again";
    app.close(again);
}

TEST_F(SharedRecord, WhatADeadProcessLeftHalfChangedIsForgotten) {
    ClientProcess app({100, 1});
    SharedState& shared = *app.context.line.shared;
    shared.portNumber = 1;
    // A process died between letting go of the port and clearing its device's flag.
    shared.openFlags[deviceSlot(kindOutput, 0) - 1] = 1;
    shared.openCount = 1;
    Stream* out = nullptr;
    ASSERT_EQ(app.openOutput(0, out), MMSYSERR_NOERROR);
    EXPECT_EQ(shared.openCount, 1);
    app.close(out);
    EXPECT_FALSE(portIsHeld(shared)) << "the port is closed with the one device that held it";
    EXPECT_EQ(sim::world().finePeriods, 0);
}

} // namespace
