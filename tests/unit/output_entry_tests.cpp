// modMessage as an application sees it: opening and closing, the notifications and their
// arguments, answers to each message, bad input, and sends from several threads.
#include "driver_fixture.h"

#include <atomic>
#include <future>
#include <map>
#include <thread>

namespace {

class OutputEntry : public DriverTest {};

TEST_F(OutputEntry, OpenIsAnnouncedOnceTheStreamIsStoredAndCloseOnceTheDeviceIsFreeAgain) {
    Stream* out = nullptr;
    Stream* storedAtOpen = nullptr;
    Stream* reopened = nullptr;
    uint32_t reopenStatus = 0xFFFF;
    size_t allocationsAtClose = 0;
    sim::world().onNotify = [&](const sim::Notification& n) {
        if (n.message == MOM_OPEN && storedAtOpen == nullptr) {
            storedAtOpen = out;
        }
        if (n.message == MOM_CLOSE && reopened == nullptr) {
            allocationsAtClose = sim::liveAllocations();
            // A client that opens the device again as soon as it hears it is closed.
            reopenStatus = app.openOutput(0, reopened);
        }
    };
    ASSERT_EQ(app.openOutput(0, out), MMSYSERR_NOERROR);
    EXPECT_EQ(storedAtOpen, out);
    EXPECT_EQ(app.close(out), MMSYSERR_NOERROR);
    EXPECT_EQ(allocationsAtClose, 1u) << "the stream is released after its close is told";
    EXPECT_EQ(reopenStatus, MMSYSERR_NOERROR);
    EXPECT_EQ(app.close(reopened), MMSYSERR_NOERROR);
    EXPECT_EQ(sim::liveAllocations(), 0u);
    EXPECT_EQ(notified(), (std::vector<uint32_t>{MOM_OPEN, MOM_CLOSE, MOM_OPEN, MOM_CLOSE}));
}

// The host names the device with every call: a stream's pointer given with another device (a
// late call for a closed device whose address a new stream has taken) reaches nothing.
TEST_F(OutputEntry, ACallNamingAnotherDeviceReachesNoStream) {
    setIndependentMode();
    Stream* synthA = app.openOutput(2);
    auto instance = reinterpret_cast<uintptr_t>(synthA);
    for (uint32_t device : {0u, 1u, 4u, 0xFFFFFFFFu}) {
        EXPECT_EQ(modMessage(app.context, device, MODM_DATA, instance, 0x00403C90, 0),
                  MMSYSERR_INVALHANDLE);
        EXPECT_EQ(modMessage(app.context, device, MODM_CLOSE, instance, 0, 0),
                  MMSYSERR_INVALHANDLE);
    }
    EXPECT_EQ(midMessage(app.context, 0, MIDM_CLOSE, instance, 0, 0), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(wire(), Bytes{});
    EXPECT_EQ(app.send(synthA, 0x00403C90), MMSYSERR_NOERROR);
    EXPECT_EQ(app.close(synthA), MMSYSERR_NOERROR);
}

// A program woken on another thread by the done notification (an event callback, or a thread that
// polls the header's done flag) closes while the call that told it is still returning.
TEST_F(OutputEntry, ACloseFromAnotherThreadWaitsForTheCallsUnderWayForUpToFiveSeconds) {
    Stream* out = app.openOutput(0);
    std::promise<void> toldDone;
    std::promise<void> returnFromDone;
    std::shared_future<void> mayReturn = returnFromDone.get_future();
    sim::world().onNotify = [&](const sim::Notification& n) {
        if (n.message == MOM_DONE) {
            toldDone.set_value();
            mayReturn.wait();
        }
    };
    Bytes exclusive = {0xF0, 0xF7};
    MidiHeader header = preparedHeader(exclusive);
    uint32_t sendStatus = 0xFFFF;
    std::thread sender([&] { sendStatus = app.sendLong(out, header); });
    toldDone.get_future().wait();
    auto closeWhileTheCallLasts = [&](uint32_t& status) {
        std::thread closer([&] { status = app.close(out); });
        EXPECT_TRUE(sim::waitUntil([] { return sim::world().timedWaits == 1; }))
            << "the close waits for the call";
        return closer;
    };

    uint32_t refused = 0xFFFF;
    std::thread first = closeWhileTheCallLasts(refused);
    sim::setClock(callWaitMs);
    first.join();
    EXPECT_EQ(refused, MIDIERR_STILLPLAYING) << "the call outlasted the wait";
    EXPECT_EQ(app.send(out, 0x00403C90), MMSYSERR_NOERROR) << "and the stream stayed open";

    uint32_t closed = 0xFFFF;
    std::thread second = closeWhileTheCallLasts(closed);
    returnFromDone.set_value();
    sender.join();
    second.join();
    EXPECT_EQ(sendStatus, MMSYSERR_NOERROR);
    EXPECT_EQ(closed, MMSYSERR_NOERROR);
    EXPECT_EQ(notified(), (std::vector<uint32_t>{MOM_OPEN, MOM_DONE, MOM_CLOSE}));
    sim::world().onNotify = nullptr;
}

TEST_F(OutputEntry, NotificationsCarryTheClientsSevenArgumentsWhole) {
    // Values above 32 bits must arrive untruncated in the 64-bit build.
    const uintptr_t callback = static_cast<uintptr_t>(0x7FFE12345678ull);
    const uintptr_t instance = static_cast<uintptr_t>(0x7FFD00C0FFEEull);
    const uintptr_t device = static_cast<uintptr_t>(0x7FFC0000BEEFull);
    MidiOpenDescription description = {device, callback, instance};
    Stream* out = nullptr;
    ASSERT_EQ(modMessage(app.context, 0, MODM_OPEN, reinterpret_cast<uintptr_t>(&out),
                         reinterpret_cast<uintptr_t>(&description), callbackFunction | 0x1),
              MMSYSERR_NOERROR);
    Bytes exclusive = {0xF0, 0xF7};
    MidiHeader header = preparedHeader(exclusive);
    app.sendLong(out, header);

    ASSERT_EQ(sim::world().notifications.size(), 2u);
    const sim::Notification& opened = sim::world().notifications[0];
    EXPECT_EQ(opened.callback, callback);
    EXPECT_EQ(opened.flags, callbackFunction >> 16) << "the high 16 bits of the open flags";
    EXPECT_EQ(opened.device, device);
    EXPECT_EQ(opened.message, MOM_OPEN);
    EXPECT_EQ(opened.instance, instance);
    EXPECT_EQ(opened.param1, 0u);
    EXPECT_EQ(opened.param2, 0u);
    const sim::Notification& done = sim::world().notifications[1];
    EXPECT_EQ(done.message, MOM_DONE);
    EXPECT_EQ(done.param1, reinterpret_cast<uintptr_t>(&header));
    EXPECT_EQ(done.param2, 0u);
}

TEST_F(OutputEntry, AClientWithoutCallbackIsToldNothingButServedTheSame) {
    Stream* out = nullptr;
    ASSERT_EQ(app.openOutput(0, out, 0), MMSYSERR_NOERROR);
    Bytes exclusive = {0xF0, 0xF7};
    MidiHeader header = preparedHeader(exclusive);
    EXPECT_EQ(app.sendLong(out, header), MMSYSERR_NOERROR);
    EXPECT_EQ(header.dwFlags, MHDR_PREPARED | MHDR_DONE);
    EXPECT_EQ(app.close(out), MMSYSERR_NOERROR);
    EXPECT_TRUE(sim::world().notifications.empty());
    EXPECT_EQ(wire(), (Bytes{0xF5, 0x00, 0xFF, 0xF0, 0xF7}));
}

TEST_F(OutputEntry, MessagesWithoutWorkAnswerWithoutTouchingTheWire) {
    Stream* out = app.openOutput(0);
    uintptr_t instance = reinterpret_cast<uintptr_t>(out);
    EXPECT_EQ(modMessage(app.context, 0, MODM_PREPARE, instance, 0, 0), MMSYSERR_NOTSUPPORTED);
    EXPECT_EQ(modMessage(app.context, 0, MODM_UNPREPARE, instance, 0, 0), MMSYSERR_NOTSUPPORTED);
    EXPECT_EQ(modMessage(app.context, 0, MODM_RESET, instance, 0, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(modMessage(app.context, 0, 0x4000, instance, 0, 0), MMSYSERR_NOTSUPPORTED);
    EXPECT_TRUE(wire().empty());
    EXPECT_EQ(notified(), (std::vector<uint32_t>{MOM_OPEN}));
}

TEST_F(OutputEntry, UnusableLongHeadersAreRefusedUntouched) {
    Stream* out = app.openOutput(0);
    Bytes exclusive = {0xF0, 0xF7};
    MidiHeader unprepared = preparedHeader(exclusive);
    unprepared.dwFlags = 0;
    EXPECT_EQ(app.sendLong(out, unprepared), MIDIERR_UNPREPARED);
    EXPECT_EQ(unprepared.dwFlags, 0u);

    MidiHeader header = preparedHeader(exclusive);
    EXPECT_EQ(modMessage(app.context, 0, MODM_LONGDATA, reinterpret_cast<uintptr_t>(out), 0,
                         sizeof(MidiHeader)),
              MMSYSERR_INVALPARAM);
    EXPECT_EQ(app.sendLong(out, header, minimumHeaderSize - 1), MMSYSERR_INVALPARAM);
    MidiHeader noData = preparedHeader(exclusive);
    noData.lpData = nullptr;
    EXPECT_EQ(app.sendLong(out, noData), MMSYSERR_INVALPARAM);
    EXPECT_EQ(header.dwFlags, MHDR_PREPARED);
    EXPECT_EQ(noData.dwFlags, MHDR_PREPARED);

    EXPECT_EQ(app.sendLong(out, header, minimumHeaderSize), MMSYSERR_NOERROR)
        << "a header that ends after `reserved` is enough";
    EXPECT_EQ(notified(), (std::vector<uint32_t>{MOM_OPEN, MOM_DONE}));
}

TEST_F(OutputEntry, OpensThatCannotGetMemoryAnswerNoMemAndLeaveNothing) {
    Stream* out = nullptr;
    sim::world().eventCreateFails = true;
    EXPECT_EQ(app.openOutput(0, out), MMSYSERR_NOMEM);
    sim::world().eventCreateFails = false;
    sim::world().allocationFails = true;
    EXPECT_EQ(app.openOutput(0, out), MMSYSERR_NOMEM);
    sim::world().allocationFails = false;
    destroyProcessContext(app.context);
    EXPECT_EQ(app.openOutput(0, out), MMSYSERR_NOMEM);

    EXPECT_EQ(out, nullptr);
    EXPECT_TRUE(notified().empty());
    EXPECT_TRUE(sim::world().openHandles.empty());
    EXPECT_FALSE(portIsHeld(shared));
}

TEST_F(OutputEntry, ACallbackMayCallBackIntoTheDriver) {
    Stream* out = app.openOutput(0);
    // A client that answers each finished exclusive with a Note On, from inside its callback.
    sim::world().onNotify = [&](const sim::Notification& n) {
        if (n.message == MOM_DONE) {
            EXPECT_EQ(app.send(out, 0x00403C90), MMSYSERR_NOERROR);
        }
    };
    Bytes exclusive = {0xF0, 0xF7};
    MidiHeader header = preparedHeader(exclusive);
    EXPECT_EQ(app.sendLong(out, header), MMSYSERR_NOERROR);
    EXPECT_EQ(wire(), (Bytes{0xF5, 0x00, 0xFF, 0xF0, 0xF7, 0xFF, 0x90, 0x3C, 0x40}));
}

// Reads the wire as the instrument does and counts Note Ons per destination and channel. Data
// that is not a whole Note On framed for the destination selected stops the reading.
std::map<std::pair<int, int>, int> decodeNoteOns(const Bytes& wire) {
    std::map<std::pair<int, int>, int> counts;
    int destination = -1;
    for (size_t at = 0; at < wire.size();) {
        if (wire[at] == 0xF5 && at + 1 < wire.size()) {
            destination = wire[at + 1];
            at += 2;
            continue;
        }
        bool packeted = destination == 0 || destination == 1;
        size_t status = packeted ? at + 1 : at;
        if ((packeted && wire[at] != 0xFF) || status + 2 >= wire.size() ||
            (wire[status] & 0xF0) != 0x90) {
            ADD_FAILURE() << "no Note On for destination " << destination << " at byte " << at;
            return counts;
        }
        ++counts[{destination, wire[status] & 0x0F}];
        at = status + 3;
    }
    return counts;
}

TEST_F(OutputEntry, SendsFromSeveralThreadsReachTheirOwnDestinationsWhole) {
    setIndependentMode();
    sim::world().giveWayAfterWrite = true;
    Stream* midi = app.openOutput(0);
    Stream* synth = app.openOutput(2);
    constexpr int each = 2000;
    std::atomic<bool> go = false;
    auto player = [&](Stream* out, uint32_t noteOn) {
        while (!go) {
        }
        for (int i = 0; i < each; ++i) {
            EXPECT_EQ(app.send(out, noteOn), MMSYSERR_NOERROR);
        }
    };
    std::thread first(player, midi, 0x00403C90);
    std::thread second(player, synth, 0x00403C91);
    go = true;
    first.join();
    second.join();
    auto counts = decodeNoteOns(wire());
    EXPECT_EQ(counts, (std::map<std::pair<int, int>, int>{{{0, 0}, each}, {{2, 1}, each}}));
}

} // namespace
