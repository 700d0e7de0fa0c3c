// Input under load: a long run of mixed MIDI that the instrument's end writes as fast as the line
// takes it, far faster than 38400 baud would carry it, must arrive whole and in order.
#include "common/hex.h"
#include "fixtures.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace {

// What the client hears: a short message as its packed value, or an exclusive buffer's bytes.
struct Heard {
    UINT message = 0;
    DWORD packed = 0;
    std::vector<unsigned char> bytes;

    bool operator==(const Heard&) const = default;
};

std::string describe(const Heard& heard) {
    char text[64];
    switch (heard.message) {
    case MIM_DATA:
    case MIM_ERROR:
        std::snprintf(text, sizeof(text), "%s 0x%06lX",
                      heard.message == MIM_DATA ? "MIM_DATA" : "MIM_ERROR",
                      static_cast<unsigned long>(heard.packed));
        return text;
    default:
        std::snprintf(text, sizeof(text), "%s of %zu bytes: ",
                      heard.message == MIM_LONGDATA ? "MIM_LONGDATA" : "MIM_LONGERROR",
                      heard.bytes.size());
        return text +
               hexBytes(heard.bytes.data(), heard.bytes.size() < 16 ? heard.bytes.size() : 16) +
               (heard.bytes.size() > 16 ? " ..." : "");
    }
}

// A reproducible mix of what an instrument sends: note runs under running status, program changes,
// clock bytes (also in the middle of messages and exclusives), and exclusives of a few hundred
// bytes. Keeps what the client should hear, in order, beside the bytes.
class MixedInput {
  public:
    explicit MixedInput(std::size_t atLeast) {
        while (wire.size() < atLeast) {
            unsigned pick = next() % 100;
            if (pick < 40) {
                noteRun();
            } else if (pick < 55) {
                programChanges();
            } else if (pick < 85) {
                clock();
            } else {
                exclusive();
            }
        }
    }

    std::vector<unsigned char> wire;
    std::vector<Heard> expected;

  private:
    unsigned next() {
        state_ = state_ * 1664525u + 1013904223u;
        return state_ >> 8;
    }
    unsigned char data() { return static_cast<unsigned char>(next() & 0x7F); }

    void clock() {
        for (unsigned n = 1 + next() % 3; n > 0; --n) {
            wire.push_back(0xF8);
            expected.push_back({MIM_DATA, 0xF8, {}});
        }
    }

    // Only the first note carries the status byte; the rest rely on running status.
    void noteRun() {
        unsigned char status = static_cast<unsigned char>((next() % 2 ? 0x90 : 0x80) | next() % 16);
        wire.push_back(status);
        for (unsigned n = 1 + next() % 8; n > 0; --n) {
            unsigned char key = data();
            unsigned char velocity = data();
            wire.push_back(key);
            if (next() % 8 == 0) {
                // A clock between the two data bytes is heard first; the note is not disturbed.
                wire.push_back(0xF8);
                expected.push_back({MIM_DATA, 0xF8, {}});
            }
            wire.push_back(velocity);
            expected.push_back(
                {MIM_DATA, static_cast<DWORD>(status | key << 8 | velocity << 16), {}});
        }
    }

    void programChanges() {
        unsigned char status = static_cast<unsigned char>(0xC0 | next() % 16);
        wire.push_back(status);
        for (unsigned n = 1 + next() % 4; n > 0; --n) {
            unsigned char program = data();
            wire.push_back(program);
            expected.push_back({MIM_DATA, static_cast<DWORD>(status | program << 8), {}});
        }
    }

    // Up to 502 bytes: each exclusive ends in one buffer of its own.
    void exclusive() {
        Heard buffer{MIM_LONGDATA, 0, {0xF0}};
        wire.push_back(0xF0);
        for (unsigned n = 100 + next() % 401; n > 0; --n) {
            if (next() % 64 == 0) {
                wire.push_back(0xF8);
                expected.push_back({MIM_DATA, 0xF8, {}});
            }
            unsigned char byte = data();
            wire.push_back(byte);
            buffer.bytes.push_back(byte);
        }
        wire.push_back(0xF7);
        buffer.bytes.push_back(0xF7);
        expected.push_back(buffer);
    }

    std::uint32_t state_ = 0x4D454C56;
};

constexpr std::size_t inputSize = 64 * 1024;
constexpr int bufferCount = 16;
constexpr DWORD bufferSize = 1024;
// The whole run normally takes a few seconds. On a busy machine the line itself slows down, so a
// run that still makes progress goes on; these only bound a run that has gone wrong.
constexpr DWORD completionDeadlineMs = 240000;
constexpr DWORD stallMs = 5000;

} // namespace

class InputThroughput : public InputTest {
  protected:
    // Runs inside the callback on the driver's worker: keeps what the client heard and gives
    // each returned buffer straight back, as a client that keeps up would.
    void hear(const Notification& n) {
        Heard heard{n.message, 0, {}};
        if (n.message == MIM_DATA || n.message == MIM_ERROR) {
            heard.packed = static_cast<DWORD>(n.param1);
        } else if (n.message == MIM_LONGDATA || n.message == MIM_LONGERROR) {
            auto* header = reinterpret_cast<MIDIHDR*>(n.param1);
            heard.bytes.assign(header->lpData, header->lpData + header->dwBytesRecorded);
            if (giveBuffersBack && driver.addBuffer(input, header) != MMSYSERR_NOERROR) {
                ++refusedBuffers;
            }
        } else {
            return;
        }
        std::lock_guard<std::mutex> hold(heardLock);
        received.push_back(std::move(heard));
    }

    std::mutex heardLock;
    std::vector<Heard> received;
    std::atomic<bool> giveBuffersBack{true};
    std::atomic<int> refusedBuffers{0};
};

TEST_F(InputThroughput, SixtyFourKibibytesOfMixedInputWrittenFlatOutArriveWholeAndInOrder) {
    MixedInput mixed(inputSize);
    ASSERT_TRUE(openInput());
    installHook([this](const Notification& n) { hear(n); });
    for (int i = 0; i < bufferCount; ++i) {
        ASSERT_EQ(driver.addBuffer(input, newBuffer(bufferSize).header()), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(driver.inputMessage(input, MIDM_START), MMSYSERR_NOERROR);

    DWORD begin = timeGetTime();
    ASSERT_TRUE(instrument.send(mixed.wire));
    DWORD written = timeGetTime();

    // Waits for everything, giving up early only when nothing more arrives for a while.
    std::size_t heardSoFar = 0;
    bool complete = false;
    while (!complete && timeGetTime() - begin < completionDeadlineMs) {
        std::size_t before = heardSoFar;
        complete = waitForNotifications(
            [&](const std::vector<Notification>& all) {
                heardSoFar = all.size();
                return heardSoFar >= mixed.expected.size();
            },
            stallMs);
        if (!complete && heardSoFar == before) {
            break;
        }
    }
    DWORD arrived = timeGetTime();
    giveBuffersBack = false;

    std::lock_guard<std::mutex> hold(heardLock);
    std::printf("[          ] %zu bytes written in %lu ms, heard within %lu ms (%.0f bytes/s; "
                "38400 baud carries 3840)\n",
                mixed.wire.size(), static_cast<unsigned long>(written - begin),
                static_cast<unsigned long>(arrived - begin),
                mixed.wire.size() * 1000.0 / (arrived - begin > 0 ? arrived - begin : 1));
    std::size_t errors = 0;
    for (const Heard& heard : received) {
        errors += heard.message == MIM_ERROR || heard.message == MIM_LONGERROR;
    }
    EXPECT_EQ(errors, 0u) << "well-formed input gave error reports: bytes went missing";
    EXPECT_EQ(refusedBuffers, 0) << "a buffer given back from inside the callback was refused";
    EXPECT_EQ(received.size(), mixed.expected.size());
    std::size_t same = 0;
    while (same < received.size() && same < mixed.expected.size() &&
           received[same] == mixed.expected[same]) {
        ++same;
    }
    if (same < received.size() || same < mixed.expected.size()) {
        std::ostringstream where;
        where << "the first " << same << " of " << mixed.expected.size()
              << " things heard are right; then";
        for (std::size_t i = same; i < same + 3; ++i) {
            where << "\n  expected "
                  << (i < mixed.expected.size() ? describe(mixed.expected[i]) : "nothing")
                  << "\n  heard    " << (i < received.size() ? describe(received[i]) : "nothing");
        }
        ADD_FAILURE() << where.str();
    }
}
