// The instrument's end of the virtual serial line: the test reads here what the driver wrote to
// its port, and writes here what the instrument sends to the driver. The run script maps this
// port to the far end of the line.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

class InstrumentPort {
  public:
    InstrumentPort() = default;
    InstrumentPort(const InstrumentPort&) = delete;
    InstrumentPort& operator=(const InstrumentPort&) = delete;
    ~InstrumentPort();

    // Opens the port at the instrument's line settings and throws away whatever earlier tests
    // left unread on the line.
    ::testing::AssertionResult open();
    // Closes the port and opens it again: for a line that was taken away and brought back.
    ::testing::AssertionResult reopen();

    // The next `count` bytes off the wire as hex ("F5 00 FF 90"), or fewer if the deadline passes
    // first. Returns as soon as `count` bytes have arrived.
    std::string receive(std::size_t count);

    // Whatever arrives within one short read window (200 ms, up to `upTo` bytes), as hex; "" when
    // the wire stayed silent that long.
    std::string receiveStray(std::size_t upTo = 256);

    // Whatever has arrived, up to `upTo` bytes, as hex, as soon as there is one byte; "" when none
    // came within a short read window. For a reader that follows the line as it goes.
    std::string receiveSome(std::size_t upTo);

    // Writes the bytes towards the driver, returning once the line has taken all of them. The line
    // runs as fast as the pseudo-terminal under it takes bytes: its baud rate is not simulated.
    ::testing::AssertionResult send(const std::vector<unsigned char>& bytes);

  private:
    std::string read(std::size_t count, DWORD deadlineMs);
    std::string readWith(std::size_t count, const COMMTIMEOUTS& timeouts);

    HANDLE port_ = INVALID_HANDLE_VALUE;
};
