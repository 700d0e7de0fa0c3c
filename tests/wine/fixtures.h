// What every test starts from: a freshly loaded driver, and for tests that watch the wire the
// instrument's end of the line, emptied.
#pragma once

#include "driver_host.h"
#include "instrument_port.h"

#include <gtest/gtest.h>

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
