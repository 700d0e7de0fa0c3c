// What the librarian makes of .syx files and typed messages before anything reaches a device.
#include "words/librarian.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

TEST(SyxFile, ExclusivesBackToBackAreReadAndWrittenBackAsTheyWere) {
    Bytes file = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7, 0xF0, 0x41, 0x10, 0x42, 0xF7};
    std::vector<Exclusive> exclusives;
    std::string problem;
    ASSERT_TRUE(readSyx(file, exclusives, problem)) << problem;
    ASSERT_EQ(exclusives.size(), 2u);
    EXPECT_EQ(exclusives[1], (Bytes{0xF0, 0x41, 0x10, 0x42, 0xF7}));
    EXPECT_EQ(syxFileOf(exclusives), file);
}

struct Refusal {
    const char* what;
    Bytes file;
    const char* problem;
};

TEST(SyxFile, AFileThatIsNotExclusivesIsRefusedWithWhereAndNothingIsRead) {
    const Refusal refusals[] = {
        {"empty", {}, "the file is empty"},
        {"no F0", {0x90, 0x3C, 0x40}, "the file holds no exclusive: it has no F0"},
        {"data first", {0x00, 0xF0, 0x01, 0xF7}, "byte 00 at byte 0 comes before the first F0"},
        {"data between",
         {0xF0, 0x01, 0xF7, 0x05, 0xF0, 0xF7},
         "byte 05 at byte 3 stands between exclusives"},
        {"status inside",
         {0xF0, 0x01, 0x90, 0xF7},
         "status byte 90 at byte 2 inside the exclusive that starts at byte 0"},
        {"unterminated",
         {0xF0, 0x01, 0xF7, 0xF0, 0x02},
         "the exclusive that starts at byte 3 has no F7 before the end of the file"},
    };
    for (const Refusal& refusal : refusals) {
        std::vector<Exclusive> exclusives = {{0xF0, 0xF7}};
        std::string problem;
        EXPECT_FALSE(readSyx(refusal.file, exclusives, problem)) << refusal.what;
        EXPECT_EQ(problem, refusal.problem) << refusal.what;
        EXPECT_TRUE(exclusives.empty()) << refusal.what;
    }
    Bytes huge(syxFileBytesMax + 1, 0x00);
    huge.front() = 0xF0;
    huge.back() = 0xF7;
    std::vector<Exclusive> exclusives;
    std::string problem;
    EXPECT_FALSE(readSyx(huge, exclusives, problem));
    EXPECT_EQ(problem, "the file is larger than 16 MiB");
}

TEST(PacedSend, EachExclusiveGoesInItsPacketsAndThePauseFollowsAllButTheLast) {
    std::vector<Exclusive> exclusives = {Bytes(10, 0), Bytes(4, 0), Bytes(3, 0)};
    std::vector<SendStep> steps = pacedSend(exclusives, 4, 100);
    ASSERT_EQ(steps.size(), 5u);
    EXPECT_EQ(steps[0].length, 4u);
    EXPECT_EQ(steps[0].pauseAfterMs, 0u) << "packets of one exclusive follow at once";
    EXPECT_EQ(steps[2].offset, 8u);
    EXPECT_EQ(steps[2].length, 2u);
    EXPECT_EQ(steps[2].pauseAfterMs, 100u);
    EXPECT_EQ(steps[3].exclusive, 1u);
    EXPECT_EQ(steps[3].pauseAfterMs, 100u);
    EXPECT_EQ(steps[4].pauseAfterMs, 0u) << "nothing waits after the last";
    EXPECT_EQ(pacedSend(exclusives, 0, 9000).front().pauseAfterMs, sendPauseMaxMs);
    EXPECT_EQ(pacedSend(exclusives, 0, 0).size(), 3u);
}

TEST(Makers, UniversalIdsAreNamedAndOthersShownInHex) {
    EXPECT_EQ(makerOf({0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}),
              "Universal Non-Real Time Identity Request");
    EXPECT_EQ(makerOf({0xF0, 0x7F, 0x7F, 0x04, 0x01, 0x00, 0x7F, 0xF7}),
              "Universal Real Time Master Volume");
    EXPECT_EQ(makerOf({0xF0, 0x7E, 0x00, 0x30, 0xF7}), "Universal Non-Real Time");
    EXPECT_EQ(makerOf({0xF0, 0x7D, 0x01, 0xF7}), "Non-Commercial");
    EXPECT_EQ(makerOf({0xF0, 0x41, 0x10, 0xF7}), "ID 41");
    EXPECT_EQ(makerOf({0xF0, 0x00, 0x20, 0x29, 0x01, 0xF7}), "ID 00 20 29");
    EXPECT_EQ(makerOf({0xF0, 0xF7}), "");
}

TEST(TypedMessages, StatusesAndDataInTheirPlacesAndClosedExclusivesAreSentAndNothingElse) {
    Bytes bytes;
    std::string problem;
    ASSERT_TRUE(readTypedMessages("90 3C 40 c0 05 F0 7E 7F 06 01 F7 F8", bytes, problem));
    EXPECT_EQ(bytes.size(), 12u);
    const std::pair<const char*, const char*> refusals[] = {
        {"3C 40", "data byte 3C at byte 0 has no status byte before it"},
        {"90 3C", "90 at byte 0 needs 2 data bytes"},
        {"C0 90 3C 40", "C0 at byte 0 needs 1 data byte"},
        {"F0 01 02",
         "the exclusive that starts at byte 0 has no F7 before the end of what was typed"},
        {"F7", "F7 at byte 0 ends no exclusive"},
        {"9", "only pairs of hex digits, such as 90 3C 40, can be sent"},
        {"", "nothing to send"},
    };
    for (const auto& [typed, expected] : refusals) {
        bytes = {0x01};
        EXPECT_FALSE(readTypedMessages(typed, bytes, problem)) << typed;
        EXPECT_EQ(problem, expected) << typed;
        EXPECT_EQ(bytes, Bytes{0x01}) << "nothing is taken from a refused text";
    }
}

} // namespace
