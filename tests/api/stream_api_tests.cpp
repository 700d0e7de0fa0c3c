// The stream functions on the driver's output 0: winmm times the events of the client's buffers
// and hands each to the driver as a short or long message, as sequencers and games use it.
#include "client.h"
#include "instrument_port.h"

#include <windows.h>

#include <mmsystem.h>

#include <gtest/gtest.h>

#include <vector>

namespace {

// Events of a stream buffer, as MIDIEVENT records: delta time, stream id, event, parameters.
class StreamEvents {
  public:
    StreamEvents& shortMessage(DWORD delta, DWORD message, DWORD flags = 0) {
        words_.insert(words_.end(), {delta, 0, flags | (DWORD{MEVT_SHORTMSG} << 24) | message});
        return *this;
    }
    StreamEvents& tempo(DWORD delta, DWORD microsecondsPerQuarter) {
        words_.insert(words_.end(), {delta, 0, (DWORD{MEVT_TEMPO} << 24) | microsecondsPerQuarter});
        return *this;
    }
    StreamEvents& longMessage(DWORD delta, const std::vector<BYTE>& bytes) {
        words_.insert(words_.end(), {delta, 0, MEVT_F_LONG | static_cast<DWORD>(bytes.size())});
        size_t at = words_.size();
        words_.resize(at + (bytes.size() + 3) / 4); // parameters are padded to whole words
        CopyMemory(words_.data() + at, bytes.data(), bytes.size());
        return *this;
    }
    DWORD offsetOfNext() const { return static_cast<DWORD>(words_.size() * sizeof(DWORD)); }

    // Points `header` at the events; they must outlive the header's use.
    void describe(MIDIHDR& header) {
        header = {};
        header.lpData = reinterpret_cast<LPSTR>(words_.data());
        header.dwBufferLength = header.dwBytesRecorded = offsetOfNext();
    }

  private:
    std::vector<DWORD> words_;
};

class PublicStream : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(instrument.open());
        UINT device = 0;
        ASSERT_EQ(midiStreamOpen(&stream, &device, 1, client.callback(), client.instance(),
                                 client.flags()),
                  MMSYSERR_NOERROR);
        EXPECT_EQ(log.take(1), Notifications{{MOM_OPEN}});
    }
    void TearDown() override {
        if (stream != nullptr) {
            midiStreamClose(stream);
        }
    }

    void setProperty(DWORD property, DWORD value) {
        struct {
            DWORD cbStruct;
            DWORD value;
        } record = {sizeof record, value}; // MIDIPROPTIMEDIV and MIDIPROPTEMPO alike
        ASSERT_EQ(
            midiStreamProperty(stream, reinterpret_cast<LPBYTE>(&record), MIDIPROP_SET | property),
            MMSYSERR_NOERROR);
    }

    void queue(StreamEvents& events, MIDIHDR& header) {
        events.describe(header);
        ASSERT_EQ(midiOutPrepareHeader(reinterpret_cast<HMIDIOUT>(stream), &header, sizeof header),
                  MMSYSERR_NOERROR);
        ASSERT_EQ(midiStreamOut(stream, &header, sizeof header), MMSYSERR_NOERROR);
    }

    // The bytes that come next off the wire, and when the last of them arrived.
    std::string receiveAt(size_t count, LONGLONG* milliseconds) {
        std::string bytes = instrument.receive(count);
        LARGE_INTEGER now, frequency;
        QueryPerformanceCounter(&now);
        QueryPerformanceFrequency(&frequency);
        *milliseconds = now.QuadPart * 1000 / frequency.QuadPart;
        return bytes;
    }

    InstrumentPort instrument;
    NotificationLog log;
    ClientCallback client{CallbackKind::Function, log};
    HMIDISTRM stream = nullptr;
};

} // namespace

// 96 ticks a quarter note at 500,000 µs a quarter: a tick is 5.2 ms. The margins are wide: the
// machines that run this are shared.
TEST_F(PublicStream, EventsPlayOnTimeTheExclusiveOnceAndBuffersComeBackInOrder) {
    setProperty(MIDIPROP_TIMEDIV, 96);
    setProperty(MIDIPROP_TEMPO, 500000);
    StreamEvents firstEvents;
    firstEvents.shortMessage(0, 0x403C90);
    DWORD callbackOffset = firstEvents.offsetOfNext();
    firstEvents
        .shortMessage(96, 0x003C80, MEVT_F_CALLBACK) // a quarter later: 500 ms
        .tempo(0, 250000)                            // twice as fast from here
        .shortMessage(96, 0x403E90)                  // 250 ms
        .longMessage(0, {0xF0, 0x7D, 0x01, 0x02, 0x03, 0xF7});
    StreamEvents secondEvents;
    secondEvents.shortMessage(48, 0x003E80); // 125 ms
    MIDIHDR first, second;
    queue(firstEvents, first);
    queue(secondEvents, second);
    ASSERT_EQ(midiStreamRestart(stream), MMSYSERR_NOERROR);

    LONGLONG noteOn, noteOff, secondNoteOn, exclusive, secondNoteOff;
    EXPECT_EQ(receiveAt(6, &noteOn), "F5 00 FF 90 3C 40");
    EXPECT_EQ(receiveAt(4, &noteOff), "FF 80 3C 00");
    EXPECT_EQ(receiveAt(4, &secondNoteOn), "FF 90 3E 40");
    EXPECT_EQ(receiveAt(8, &exclusive), "FF F0 7D 01 02 FF 03 F7");
    EXPECT_EQ(receiveAt(4, &secondNoteOff), "FF 80 3E 00");
    EXPECT_EQ(instrument.receiveStray(), "") << "an event arrived twice";
    EXPECT_GE(noteOff - noteOn, 400);
    EXPECT_LE(noteOff - noteOn, 1000);
    EXPECT_GE(secondNoteOn - noteOff, 180);
    EXPECT_LE(secondNoteOn - noteOff, 700);
    EXPECT_GE(secondNoteOff - exclusive, 80);
    EXPECT_LE(secondNoteOff - exclusive, 500);

    auto of = [](MIDIHDR& header) { return reinterpret_cast<DWORD_PTR>(&header); };
    EXPECT_EQ(log.take(3),
              (Notifications{
                  {MOM_POSITIONCB, of(first)}, {MOM_DONE, of(first)}, {MOM_DONE, of(second)}}));
    EXPECT_EQ(first.dwOffset, callbackOffset);
    EXPECT_TRUE(second.dwFlags & MHDR_DONE);

    ASSERT_EQ(midiStreamClose(stream), MMSYSERR_NOERROR);
    stream = nullptr;
    EXPECT_EQ(log.take(1), Notifications{{MOM_CLOSE}});
    EXPECT_EQ(instrument.receiveStray(), "");
}

TEST_F(PublicStream, StopHandsBackQueuedBuffersWithoutPlayingThem) {
    setProperty(MIDIPROP_TIMEDIV, 96);
    StreamEvents later;
    later.shortMessage(96 * 40, 0x403C90); // twenty seconds away
    MIDIHDR header;
    queue(later, header);
    ASSERT_EQ(midiStreamRestart(stream), MMSYSERR_NOERROR);

    ASSERT_EQ(midiStreamStop(stream), MMSYSERR_NOERROR);
    EXPECT_EQ(log.take(1), (Notifications{{MOM_DONE, reinterpret_cast<DWORD_PTR>(&header)}}));
    EXPECT_EQ(header.dwFlags & (MHDR_DONE | MHDR_INQUEUE), static_cast<DWORD>(MHDR_DONE));
    EXPECT_EQ(instrument.receiveStray(), "");
}
