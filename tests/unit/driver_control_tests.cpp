// Driver-control messages and the module's load into a process.
#include "driver_fixture.h"

namespace {

class DriverControl : public DriverTest {};

TEST_F(DriverControl, ControlMessagesAreAnsweredWithoutWork) {
    for (uint32_t message : {DRV_LOAD, DRV_ENABLE, DRV_OPEN, DRV_CLOSE, DRV_DISABLE, DRV_FREE,
                             DRV_QUERYCONFIGURE, DRV_INSTALL}) {
        EXPECT_EQ(driverProc(app.context, 1, 2, message, 3, 4), 1) << "message " << message;
    }
    EXPECT_TRUE(sim::world().defaultDriverProcCalls.empty());
}

TEST_F(DriverControl, OtherMessagesGoToTheHostsDefaultWhole) {
    sim::world().defaultDriverProcResult = -5;
    const uintptr_t driverId = static_cast<uintptr_t>(0x7FF000000011ull);
    const uintptr_t driver = static_cast<uintptr_t>(0x7FF000000022ull);
    const intptr_t param1 = static_cast<intptr_t>(-0x7FF000000033ll);
    const intptr_t param2 = static_cast<intptr_t>(0x7FF000000044ll);
    EXPECT_EQ(driverProc(app.context, driverId, driver, 0, param1, param2), -5);
    EXPECT_EQ(driverProc(app.context, driverId, driver, 10, param2, param1), -5); // DRV_REMOVE
    const auto& calls = sim::world().defaultDriverProcCalls;
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].driverId, driverId);
    EXPECT_EQ(calls[0].driver, driver);
    EXPECT_EQ(calls[0].message, 0u);
    EXPECT_EQ(calls[0].param1, param1);
    EXPECT_EQ(calls[0].param2, param2);
    EXPECT_EQ(calls[1].message, 10u);
    EXPECT_EQ(calls[1].param1, param2);
}

TEST_F(DriverControl, AttachingTwiceSetsTheProcessUpOnce) {
    SharedState fresh = initialSharedState;
    ProcessContext process = {.moduleHandle = 0,
                              .heap = platform::nullHandle,
                              .line = {.ownerToken = noOwner, .shared = &fresh}};
    EXPECT_EQ(moduleAttach(process, 0x400000), 1);
    platform::Handle heap = process.heap;
    EXPECT_EQ(moduleAttach(process, 0x500000), 1);
    EXPECT_EQ(process.heap, heap);
    EXPECT_EQ(process.moduleHandle, 0x500000u);
    moduleDetach(process, false);
    EXPECT_EQ(process.heap, platform::nullHandle);
}

TEST_F(DriverControl, ADriverUnloadedWithOutputsOpenLetsTheInstrumentGoForEveryProgram) {
    setIndependentMode();
    app.openOutput(0);
    app.openOutput(2);
    moduleDetach(app.context, false); // a program that goes on frees the driver
    EXPECT_FALSE(portIsHeld(shared));
    EXPECT_EQ(sim::world().finePeriods, 0);
    EXPECT_TRUE(sim::world().openHandles.empty()) << "port, events and heap all closed";
    // Loaded again into the same program, the driver has the instrument at once.
    ClientProcess reloaded(shared, {100, 1});
    Stream* out = nullptr;
    EXPECT_EQ(reloaded.openOutput(0, out), MMSYSERR_NOERROR);
    EXPECT_EQ(reloaded.close(out), MMSYSERR_NOERROR);
}

// A program's exit ends its other threads wherever they are, then tells its modules in an order of
// its own: one told after the driver may still close its devices.
TEST_F(DriverControl, AtAProgramsExitADeviceClosedAfterTheDriverWasToldClosesAtOnce) {
    Stream* out = app.openOutput(0);
    CallUnderWay endedInsideASend = {0xDEAD, nullptr}; // a player thread's, ended mid-call
    out->calls = &endedInsideASend;
    sim::world().processEnding = true;
    moduleDetach(app.context, true);
    EXPECT_EQ(app.close(out), MMSYSERR_NOERROR);
    EXPECT_EQ(notified(), (std::vector<uint32_t>{MOM_OPEN, MOM_CLOSE}));
}

TEST_F(DriverControl, AProcessWithoutAHeapIsRefused) {
    SharedState fresh = initialSharedState;
    ProcessContext process = {.moduleHandle = 0,
                              .heap = platform::nullHandle,
                              .line = {.ownerToken = noOwner, .shared = &fresh}};
    sim::world().heapCreateFails = true;
    EXPECT_EQ(moduleAttach(process, 0x400000), 0);
    EXPECT_EQ(fresh.portNumber, 0) << "nothing shared was touched";
}

} // namespace
