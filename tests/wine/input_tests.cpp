// Input 0 end to end: bytes the instrument sends reach the client's callback as short messages
// and filled exclusive buffers, on the driver's worker thread.
#include "common/hex.h"
#include "fixtures.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Notifications = std::vector<Notification>;

DWORD_PTR addressOf(InputBuffer& buffer) {
    return reinterpret_cast<DWORD_PTR>(buffer.header());
}

constexpr DWORD returnedFlags = MHDR_PREPARED | MHDR_DONE;

} // namespace

using InputStream = InputTest;

TEST_F(InputStream, NoteOnAndARunningStatusNoteArriveAsTwoMessagesStampedSinceStart) {
    ASSERT_TRUE(openInput());
    ASSERT_EQ(driver.addBuffer(input, newBuffer(256).header()), MMSYSERR_NOERROR);
    DWORD before = timeGetTime();
    ASSERT_EQ(driver.inputMessage(input, MIDM_START), MMSYSERR_NOERROR);

    // Middle C, then the E above it by running status.
    ASSERT_TRUE(instrument.send({0x90, 0x3C, 0x40, 0x3E, 0x40}));
    Notifications heard = takeNotifications(2);
    DWORD elapsed = timeGetTime() - before;

    EXPECT_EQ(withoutTimes(heard), (Notifications{{MIM_DATA, 0x00403C90}, {MIM_DATA, 0x00403E90}}));
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_LE(heard[0].param2, heard[1].param2);
    EXPECT_LE(heard[1].param2, elapsed) << "time stamps count from the start of input";
    EXPECT_EQ(takeStrayNotifications(), Notifications{});

    EXPECT_TRUE(closeInput());
}

TEST_F(InputStream, ExclusiveOf300BytesFillsOneBufferAndEndsInTheNextWithTheTimeOfItsStart) {
    ASSERT_TRUE(openInput());
    InputBuffer& first = newBuffer(256);
    InputBuffer& second = newBuffer(256);
    InputBuffer& spare = newBuffer(256);
    for (InputBuffer* buffer : {&first, &second, &spare}) {
        ASSERT_EQ(driver.addBuffer(input, buffer->header()), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(driver.inputMessage(input, MIDM_START), MMSYSERR_NOERROR);

    std::vector<unsigned char> exclusive{0xF0};
    for (int i = 0; i < 298; ++i) {
        exclusive.push_back(static_cast<unsigned char>(i % 0x80));
    }
    exclusive.push_back(0xF7);
    ASSERT_TRUE(instrument.send(exclusive));

    Notifications heard = takeNotifications(2);
    EXPECT_EQ(withoutTimes(heard),
              (Notifications{{MIM_LONGDATA, addressOf(first)}, {MIM_LONGDATA, addressOf(second)}}));
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(heard[0].param2, heard[1].param2);
    EXPECT_EQ(first.header()->dwBytesRecorded, 256u);
    EXPECT_EQ(first.header()->dwFlags, returnedFlags);
    EXPECT_EQ(first.recorded(), hexBytes(exclusive.data(), 256));
    EXPECT_EQ(second.header()->dwBytesRecorded, 44u);
    EXPECT_EQ(second.header()->dwFlags, returnedFlags);
    EXPECT_EQ(second.recorded(), hexBytes(exclusive.data() + 256, 44));
    EXPECT_EQ(spare.header()->dwFlags, static_cast<DWORD>(MHDR_PREPARED | MHDR_INQUEUE));
    EXPECT_EQ(takeStrayNotifications(), Notifications{});

    EXPECT_TRUE(closeInput());
}

TEST_F(InputStream, StopReturnsAnUnfinishedExclusiveAsErrorResetReturnsTheRestEmptyThenClose) {
    ASSERT_TRUE(openInput());
    InputBuffer& partial = newBuffer(256);
    InputBuffer& second = newBuffer(256);
    InputBuffer& third = newBuffer(256);
    for (InputBuffer* buffer : {&partial, &second, &third}) {
        ASSERT_EQ(driver.addBuffer(input, buffer->header()), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(driver.inputMessage(input, MIDM_START), MMSYSERR_NOERROR);

    // An exclusive with no end yet. The clock byte behind it leaves the exclusive undisturbed;
    // once it is heard, the driver has taken every byte before it.
    ASSERT_TRUE(
        instrument.send({0xF0, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0xF8}));
    Notifications heard = takeNotifications(1);
    EXPECT_EQ(withoutTimes(heard), (Notifications{{MIM_DATA, 0xF8}}));

    EXPECT_EQ(driver.inputMessage(input, MIDM_STOP), MMSYSERR_NOERROR);
    EXPECT_EQ(withoutTimes(takeNotifications()),
              (Notifications{{MIM_LONGERROR, addressOf(partial)}}));
    EXPECT_EQ(partial.header()->dwBytesRecorded, 11u);
    EXPECT_EQ(partial.header()->dwFlags, returnedFlags);
    EXPECT_EQ(partial.recorded(), "F0 01 02 03 04 05 06 07 08 09 0A");

    // Two buffers are still queued: the client must take them back before it may close.
    EXPECT_EQ(driver.closeInput(input), MIDIERR_STILLPLAYING);
    EXPECT_EQ(takeNotifications(), Notifications{});

    EXPECT_EQ(driver.inputMessage(input, MIDM_RESET), MMSYSERR_NOERROR);
    EXPECT_EQ(withoutTimes(takeNotifications()),
              (Notifications{{MIM_LONGDATA, addressOf(second)}, {MIM_LONGDATA, addressOf(third)}}));
    for (InputBuffer* buffer : {&second, &third}) {
        EXPECT_EQ(buffer->header()->dwBytesRecorded, 0u);
        EXPECT_EQ(buffer->header()->dwFlags, returnedFlags);
    }

    EXPECT_EQ(driver.closeInput(input), MMSYSERR_NOERROR);
    inputOpen = false;
    EXPECT_EQ(takeNotifications(), Notifications{{MIM_CLOSE}});
    EXPECT_EQ(takeStrayNotifications(), Notifications{});
}
