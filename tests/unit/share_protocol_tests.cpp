// What the sharing service takes from a program's connection, and what it refuses: only whole
// frames of this protocol, each in its place, name one of the driver's devices.
#include "share/protocol.h"
#include "share_frames.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes helloOf(uint32_t kind, uint32_t device, uint32_t version = shareProtocolVersion) {
    Bytes payload(shareHelloBytes);
    writeShareHello({version, kind, device, 4242}, payload.data());
    return frameOf(ShareFrameKind::hello, 0, payload);
}

struct RequestCase {
    const char* what;
    ShareConnection before;
    Bytes frame;
    bool taken;
    ShareConnection after;
};

TEST(ShareRequests, OnlyWholeFramesInTheirPlaceNamingOurDevicesAreTaken) {
    using enum ShareConnection;
    const Bytes note = {0x90, 0x3C, 0x40};
    Bytes shortByOne = frameOf(ShareFrameKind::message, 0, note);
    shortByOne.pop_back();
    const RequestCase cases[] = {
        {"a hello for the last output", greeting, helloOf(shareOutput, 3), true, output},
        {"a hello for the input", greeting, helloOf(shareInput, 0), true, input},
        {"a hello for a fifth output", greeting, helloOf(shareOutput, 4), false, greeting},
        {"a hello for a second input", greeting, helloOf(shareInput, 1), false, greeting},
        {"a hello for another kind", greeting, helloOf(2, 0), false, greeting},
        {"a hello of another version", greeting, helloOf(shareOutput, 0, 2), false, greeting},
        {"a message before the hello", greeting, frameOf(ShareFrameKind::message, 0, note), false,
         greeting},
        {"a second hello", output, helloOf(shareOutput, 0), false, output},
        {"a message", output, frameOf(ShareFrameKind::message, 0, note), true, output},
        {"a long message to be answered", output,
         frameOf(ShareFrameKind::message, shareAnswerWanted, Bytes(shareMessageBytesMax, 0x10)),
         true, output},
        {"a message over 64 KiB", output,
         frameOf(ShareFrameKind::message, 0, Bytes(shareMessageBytesMax + 1, 0x10)), false, output},
        {"an empty message", output, frameOf(ShareFrameKind::message, 0, {}), false, output},
        {"a message with flags unknown", output, frameOf(ShareFrameKind::message, 2, note), false,
         output},
        {"a message shorter than its header says", output, shortByOne, false, output},
        {"a header alone, cut short", output, Bytes(shareHeaderBytes - 1, 0), false, output},
        {"a reset", output, frameOf(ShareFrameKind::reset, 0, {}), true, output},
        {"a reset with a payload", output, frameOf(ShareFrameKind::reset, 0, note), false, output},
        {"an input's start on an output", output, frameOf(ShareFrameKind::startInput, 0, {}), false,
         output},
        {"an input's start", input, frameOf(ShareFrameKind::startInput, 0, {}), true, input},
        {"an input's stop", input, frameOf(ShareFrameKind::stopInput, 0, {}), true, input},
        {"a message on an input", input, frameOf(ShareFrameKind::message, 0, note), false, input},
        {"the service's answer, sent to it", input, frameOf(ShareFrameKind::answer, 0, Bytes(4)),
         false, input},
    };
    for (const RequestCase& c : cases) {
        ShareConnection state = c.before;
        ShareFrame frame;
        EXPECT_EQ(
            readShareRequest(state, c.frame.data(), static_cast<uint32_t>(c.frame.size()), frame),
            c.taken)
            << c.what;
        EXPECT_EQ(state, c.after) << c.what;
    }
}

TEST(ShareRequests, AHelloAndAMessageArriveAsTheyWereSent) {
    ShareConnection state = ShareConnection::greeting;
    ShareFrame frame;
    Bytes hello = helloOf(shareOutput, 2);
    ASSERT_TRUE(readShareRequest(state, hello.data(), static_cast<uint32_t>(hello.size()), frame));
    EXPECT_EQ(frame.hello.device, 2u);
    EXPECT_EQ(frame.hello.processId, 4242u);
    Bytes message = frameOf(ShareFrameKind::message, shareAnswerWanted, {0xF0, 0x7D, 0xF7});
    ASSERT_TRUE(
        readShareRequest(state, message.data(), static_cast<uint32_t>(message.size()), frame));
    EXPECT_EQ(Bytes(frame.payload, frame.payload + frame.length), (Bytes{0xF0, 0x7D, 0xF7}));
    EXPECT_EQ(frame.flags, shareAnswerWanted);
}

TEST(ShareAnswers, OnlyAStatusOrWholeInputEntriesAreTaken) {
    ShareFrame frame;
    const Bytes taken[] = {frameOf(ShareFrameKind::answer, 0, Bytes(4)),
                           frameOf(ShareFrameKind::input, 0, Bytes(2 * shareInputEntryBytes))};
    const Bytes refused[] = {frameOf(ShareFrameKind::answer, 0, Bytes(3)),
                             frameOf(ShareFrameKind::input, 0, Bytes(shareInputEntryBytes + 1)),
                             frameOf(ShareFrameKind::input, 0, {}),
                             frameOf(ShareFrameKind::message, 0, Bytes(4))};
    for (const Bytes& bytes : taken) {
        EXPECT_TRUE(readShareAnswer(bytes.data(), static_cast<uint32_t>(bytes.size()), frame));
    }
    for (const Bytes& bytes : refused) {
        EXPECT_FALSE(readShareAnswer(bytes.data(), static_cast<uint32_t>(bytes.size()), frame));
    }
}

} // namespace
