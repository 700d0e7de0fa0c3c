#include "instrument_port.h"

#include "common/hex.h"

#include <vector>

namespace {

// Mapped by run-wine-tests.sh to the far end of the line whose near end is COM1. It lies outside
// COM1 to COM4 so that the driver's port probe never touches it.
const wchar_t* const instrumentPortName = L"\\\\.\\COM8";

// Long enough for a loaded machine, and never waited out when the bytes come.
constexpr DWORD expectedBytesDeadlineMs = 5000;
// How long the wire must stay silent to count as "nothing further".
constexpr DWORD quietWindowMs = 200;

} // namespace

InstrumentPort::~InstrumentPort() {
    if (port_ != INVALID_HANDLE_VALUE) {
        CloseHandle(port_);
    }
}

::testing::AssertionResult InstrumentPort::open() {
    port_ = CreateFileW(instrumentPortName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        0, nullptr);
    if (port_ == INVALID_HANDLE_VALUE) {
        return ::testing::AssertionFailure()
               << "the instrument's end of the line (COM8) does not open, error " << GetLastError();
    }
    DCB line{};
    line.DCBlength = sizeof(line);
    if (!GetCommState(port_, &line) ||
        !BuildCommDCBW(L"baud=38400 parity=N data=8 stop=1", &line) ||
        !SetCommState(port_, &line)) {
        return ::testing::AssertionFailure()
               << "the instrument's line settings are refused, error " << GetLastError();
    }
    // A pty keeps what nobody read: empty the line before the test writes anything.
    while (!read(256, 50).empty()) {
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult InstrumentPort::reopen() {
    if (port_ != INVALID_HANDLE_VALUE) {
        CloseHandle(port_);
        port_ = INVALID_HANDLE_VALUE;
    }
    return open();
}

std::string InstrumentPort::receive(std::size_t count) {
    return read(count, expectedBytesDeadlineMs);
}

std::string InstrumentPort::receiveStray(std::size_t upTo) {
    return read(upTo, quietWindowMs);
}

::testing::AssertionResult InstrumentPort::send(const std::vector<unsigned char>& bytes) {
    DWORD written = 0;
    if (!WriteFile(port_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
        return ::testing::AssertionFailure()
               << "the instrument's end of the line refuses the write, error " << GetLastError();
    }
    if (written != bytes.size()) {
        return ::testing::AssertionFailure()
               << "the line took " << written << " of " << bytes.size() << " bytes";
    }
    return ::testing::AssertionSuccess();
}

std::string InstrumentPort::receiveSome(std::size_t upTo) {
    // The read ends when the line pauses between two bytes, or at the read window.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 2;
    timeouts.ReadTotalTimeoutConstant = quietWindowMs;
    return readWith(upTo, timeouts);
}

std::string InstrumentPort::read(std::size_t count, DWORD deadlineMs) {
    // A read for exactly `count` bytes ends when they are in, or at the deadline with what came.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadTotalTimeoutConstant = deadlineMs;
    return readWith(count, timeouts);
}

std::string InstrumentPort::readWith(std::size_t count, const COMMTIMEOUTS& timeouts) {
    COMMTIMEOUTS set = timeouts;
    SetCommTimeouts(port_, &set);
    std::vector<unsigned char> bytes(count);
    DWORD received = 0;
    if (!ReadFile(port_, bytes.data(), static_cast<DWORD>(count), &received, nullptr)) {
        received = 0;
    }
    return hexBytes(bytes.data(), received);
}
