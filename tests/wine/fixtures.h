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

// What one output's messages look like at the instrument's end: a Note On behind the output's
// select, the same again without it, and a short exclusive, framed for the output.
struct OutputWire {
    UINT device;
    const char* firstNote;
    const char* nextNote;
    const char* exclusive;
};

class WireTest : public DriverTest {
  protected:
    void SetUp() override;
    // Opens the output, sends the three, and expects each on the wire, nothing stray, no answer
    // to a short message and the exclusive's buffer back done.
    void expectOutputWire(const OutputWire& expected);

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
    // Input open and started, and output 0 open with a Note On heard at the instrument's end: a
    // program playing along, as the tests of a line that goes away begin.
    ::testing::AssertionResult playAlongWith(OpenedOutput& output);
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
