// What every test starts from: a freshly loaded driver, and for tests that watch the wire the
// instrument's end of the line, emptied.
#pragma once

#include "driver_host.h"
#include "instrument_port.h"

#include <gtest/gtest.h>

#include <deque>

// Whether any driver module is loaded in this process.
bool driverModuleLoaded();

// Each test loads the driver afresh. The driver's state shared between processes lives as long as
// some process has the module loaded; the fixture starts only when none has, so every test sees
// the state a first load gives: no port open, no destination announced yet.
class DriverTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    LoadedDriver driver;
};

class WireTest : public DriverTest {
  protected:
    void SetUp() override;

    InstrumentPort instrument;
};

// Input 0 opened with the recorder as its callback, and the instrument's end of the line. A test
// that fails half-way leaves its input reset and closed, so the driver unloads with no worker
// running. The buffers and the hook belong to the fixture, not to the test body: the driver may
// touch them until that close.
class InputTest : public WireTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    // MIDM_OPEN, expecting MIM_OPEN and nothing else.
    ::testing::AssertionResult openInput();
    // MIDM_RESET and MIDM_CLOSE, for a test that ends with its input open.
    ::testing::AssertionResult closeInput();
    // A new prepared buffer of `size` bytes, kept until the test has ended.
    InputBuffer& newBuffer(DWORD size);
    // Runs `hook` inside the callback from now until the test has closed its input.
    void installHook(NotificationHook hook);

    OpenedInput input;
    bool inputOpen = false;

  private:
    std::deque<InputBuffer> buffers_;
    NotificationHook hook_;
};
