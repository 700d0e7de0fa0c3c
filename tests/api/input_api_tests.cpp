// The input device as applications reach it through winmm: short messages, an exclusive across
// two buffers, and the buffers coming back at stop, reset and close as the driver promises, for
// a function and a window callback.
#include "client.h"
#include "common/hex.h"
#include "instrument_port.h"

#include <windows.h>

#include <mmsystem.h>

#include <gtest/gtest.h>

#include <deque>

namespace {

// A prepared buffer of the client's, with a mark of its own that nobody else may touch.
struct ClientBuffer {
    char bytes[8] = {};
    MIDIHDR header{};
};

class PublicInputCallback : public ::testing::TestWithParam<CallbackKind> {
  protected:
    void SetUp() override { ASSERT_TRUE(instrument.open()); }

    MIDIHDR* addBuffer(HMIDIIN input) {
        ClientBuffer& buffer = buffers.emplace_back();
        buffer.header.lpData = buffer.bytes;
        buffer.header.dwBufferLength = sizeof buffer.bytes;
        buffer.header.dwUser = 0xC0FFEE00 + buffers.size();
        EXPECT_EQ(midiInPrepareHeader(input, &buffer.header, sizeof buffer.header),
                  MMSYSERR_NOERROR);
        EXPECT_EQ(midiInAddBuffer(input, &buffer.header, sizeof buffer.header), MMSYSERR_NOERROR);
        return &buffer.header;
    }

    // A window callback carries the message or the header alone; a function callback adds the
    // time, which the test checks on its own and leaves out of the comparison.
    Notifications withoutTimes(Notifications notifications) {
        for (Notification& notification : notifications) {
            notification.param2 = 0;
        }
        return notifications;
    }

    InstrumentPort instrument;
    std::deque<ClientBuffer> buffers; // the driver may touch them until the input is closed
};

std::string recorded(const MIDIHDR* header) {
    return hexBytes(reinterpret_cast<const unsigned char*>(header->lpData),
                    header->dwBytesRecorded);
}

} // namespace

TEST_P(PublicInputCallback, MessagesAndAnExclusiveAcrossTwoBuffersThenStopResetAndClose) {
    NotificationLog log;
    ClientCallback client(GetParam(), log);
    HMIDIIN input = nullptr;
    ASSERT_EQ(midiInOpen(&input, 0, client.callback(), client.instance(), client.flags()),
              MMSYSERR_NOERROR);
    EXPECT_EQ(log.take(1), Notifications{{MIM_OPEN}});
    MIDIHDR* first = addBuffer(input);
    MIDIHDR* second = addBuffer(input);
    ASSERT_EQ(midiInStart(input), MMSYSERR_NOERROR);

    // A note with running status, then an exclusive of 12 bytes: 8 fill the first buffer, the
    // rest end in the second.
    ASSERT_TRUE(instrument.send(
        {0x90, 0x3C, 0x40, 0x3E, 0x40, 0xF0, 0x7D, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0xF7}));
    Notifications heard = log.take(4);
    ASSERT_EQ(withoutTimes(heard),
              (Notifications{{MIM_DATA, 0x403C90},
                             {MIM_DATA, 0x403E90},
                             {MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(first)},
                             {MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(second)}}));
    if (GetParam() == CallbackKind::Function) {
        EXPECT_LE(heard[0].param2, heard[1].param2) << "time stamps go back";
        EXPECT_EQ(heard[2].param2, heard[3].param2) << "both buffers carry the time of the F0";
    }
    EXPECT_EQ(recorded(first), "F0 7D 01 02 03 04 05 06");
    EXPECT_EQ(recorded(second), "07 08 09 F7");
    for (const MIDIHDR* header : {first, second}) {
        EXPECT_EQ(header->dwFlags & (MHDR_DONE | MHDR_INQUEUE), static_cast<DWORD>(MHDR_DONE));
    }
    EXPECT_EQ(first->dwUser, 0xC0FFEE01u);

    // An exclusive broken off by stop comes back with what it holds; reset returns the rest
    // empty; then the input closes.
    MIDIHDR* partial = addBuffer(input);
    MIDIHDR* unused = addBuffer(input);
    // Active sensing passes through an exclusive: once the client has it, the bytes before it
    // are in the buffer.
    ASSERT_TRUE(instrument.send({0xF0, 0x7D, 0x11, 0xFE}));
    EXPECT_EQ(withoutTimes(log.take(1)), (Notifications{{MIM_DATA, 0xFE}}));
    ASSERT_EQ(midiInStop(input), MMSYSERR_NOERROR);
    EXPECT_EQ(withoutTimes(log.take(1)),
              (Notifications{{MIM_LONGERROR, reinterpret_cast<DWORD_PTR>(partial)}}));
    EXPECT_EQ(recorded(partial), "F0 7D 11");
    ASSERT_EQ(midiInReset(input), MMSYSERR_NOERROR);
    EXPECT_EQ(withoutTimes(log.take(1)),
              (Notifications{{MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(unused)}}));
    EXPECT_EQ(unused->dwBytesRecorded, 0u);
    for (ClientBuffer& buffer : buffers) {
        EXPECT_EQ(midiInUnprepareHeader(input, &buffer.header, sizeof buffer.header),
                  MMSYSERR_NOERROR);
    }
    ASSERT_EQ(midiInClose(input), MMSYSERR_NOERROR);
    EXPECT_EQ(log.take(1), Notifications{{MIM_CLOSE}});
}

INSTANTIATE_TEST_SUITE_P(FunctionAndWindow, PublicInputCallback,
                         ::testing::Values(CallbackKind::Function, CallbackKind::Window),
                         [](const auto& info) { return callbackName(info.param); });

namespace {

// Whether the driver's end of the line (COM1) comes to hold `count` bytes that nobody has read:
// the virtual line carries bytes across on its own time. Looked at without reading them.
bool driverEndHolds(DWORD count) {
    HANDLE port = CreateFileW(L"\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        return false;
    }
    COMSTAT status{};
    DWORD errors = 0;
    for (DWORD waited = 0; waited < 5000; waited += 10) {
        if (ClearCommError(port, &errors, &status) && status.cbInQue >= count) {
            break;
        }
        Sleep(10);
    }
    CloseHandle(port);
    return status.cbInQue >= count;
}

} // namespace

TEST(PublicInput, WhatTheInstrumentSentWhileThePortWasClosedIsNotToldAtTheNextOpening) {
    InstrumentPort instrument;
    ASSERT_TRUE(instrument.open());
    ASSERT_TRUE(instrument.send({0x90, 0x3C, 0x40})); // nobody has the port open
    ASSERT_TRUE(driverEndHolds(3));
    NotificationLog log;
    ClientCallback client(CallbackKind::Function, log);
    HMIDIIN input = nullptr;
    ASSERT_EQ(midiInOpen(&input, 0, client.callback(), client.instance(), client.flags()),
              MMSYSERR_NOERROR);
    ASSERT_EQ(midiInStart(input), MMSYSERR_NOERROR);
    ASSERT_TRUE(instrument.send({0x90, 0x3E, 0x40}));
    Notifications heard = log.take(2);
    EXPECT_EQ(midiInClose(input), MMSYSERR_NOERROR);
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(heard[1].message, static_cast<UINT>(MIM_DATA));
    EXPECT_EQ(heard[1].param1, 0x403E90u) << "only the note sent after the opening";
}
