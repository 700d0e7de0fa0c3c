// The instrument's end of the virtual serial line: the test reads here what the driver wrote to
// COM1. The run script maps this port to the far end of the line.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

class InstrumentPort {
  public:
    InstrumentPort() = default;
    InstrumentPort(const InstrumentPort&) = delete;
    InstrumentPort& operator=(const InstrumentPort&) = delete;
    ~InstrumentPort();

    // Opens the port at the instrument's line settings and throws away whatever earlier tests
    // left unread on the line.
    ::testing::AssertionResult open();

    // The next `count` bytes off the wire as hex ("F5 00 FF 90"), or fewer if the deadline passes
    // first. Returns as soon as `count` bytes have arrived.
    std::string receive(std::size_t count);

    // Whatever arrives within a short quiet window, as hex; "" when the wire stayed silent.
    std::string receiveStray();

  private:
    std::string read(std::size_t count, DWORD deadlineMs);

    HANDLE port_ = INVALID_HANDLE_VALUE;
};
