// The monitor reads what the drivers traced without holding any of them up, and says it in words.
#include "monitor/trace_reader.h"
#include "words/monitor_rows.h"
#include "words/monitor_text.h"
#include "words/row_store.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

TracedBytes traced(std::initializer_list<uint8_t> bytes) {
    TracedBytes message{};
    for (uint8_t byte : bytes) {
        keepTracedByte(message, byte);
    }
    return message;
}

// Writes an entry as a driver does, sealed or left half-written.
void write(MonitorRecord& record, TraceEvent event, TracedBytes message, bool seal = true) {
    uint64_t number = record.nextEntry++;
    TraceEntry& entry = record.trace[number % traceEntryCount];
    entry = {.sealed = seal ? number + 1 : 0, .event = event, .slot = 2, .message = message};
}

TEST(TraceReading, EntriesComeInOrderAndWhatWasWrittenOverOrLeftHalfWrittenIsCountedMissed) {
    auto record = std::make_unique<MonitorRecord>();
    TraceReader reader{};
    std::vector<TraceEntry> read;
    readTrace(*record, reader, read);
    EXPECT_TRUE(read.empty()) << "the first read starts from now";

    write(*record, TraceEvent::sent, traced({0x90, 0x3C, 0x40}));
    write(*record, TraceEvent::sent, traced({0x80, 0x3C, 0x00}), false); // its writer was killed
    write(*record, TraceEvent::received, traced({0xFE}));
    for (int reads = 0; reads < 25; ++reads) {
        readTrace(*record, reader, read);
    }
    ASSERT_EQ(read.size(), 2u) << "the half-written entry is given up after a few reads";
    EXPECT_EQ(read[1].event, TraceEvent::received);
    EXPECT_EQ(reader.missed, 1u);

    for (uint32_t i = 0; i < traceEntryCount + 5; ++i) {
        write(*record, TraceEvent::sent, traced({0xF8}));
    }
    read.clear();
    readTrace(*record, reader, read);
    EXPECT_EQ(read.size(), traceEntryCount);
    EXPECT_EQ(reader.missed, 6u) << "a monitor that fell behind says how many it missed";

    record->nextEntry -= 100; // written over by a program of the user's, not by a driver
    readTrace(*record, reader, read);
    EXPECT_EQ(reader.missed, 6u);
}

// Any program of the user can write the record: nothing in an entry is taken on trust.
TEST(TraceWords, AnEntryOfNonsenseReadsAsNonsenseAndNoFurther) {
    TraceEntry entry{.status = 0xFFFFFFFF, .event = TraceEvent{99}, .slot = 200, .detail = 77};
    entry.message.length = 0xFFFFFFFF;
    EXPECT_EQ(describeTraceEntry(entry, "x"), "?     an entry this monitor does not know");
    for (TraceEvent event : {TraceEvent::sent, TraceEvent::dropped, TraceEvent::exclusiveLost}) {
        entry.event = event;
        EXPECT_FALSE(describeTraceEntry(entry, "x").empty());
    }
}

TEST(TraceWords, EachEntryReadsAsTheMusicianWouldSayIt) {
    TraceEntry entry{.event = TraceEvent::sent, .slot = 2, .message = traced({0x90, 0x3C, 0x40})};
    EXPECT_EQ(describeTraceEntry(entry, "Seq.exe"),
              "out   Seq.exe > Default MIDI  Note On ch 1 C4 vel 64");
    entry = {.event = TraceEvent::dropped, .slot = 4, .detail = 1, .message = traced({0xC1, 5})};
    EXPECT_EQ(describeTraceEntry(entry, "Seq.exe"),
              "out   Seq.exe > Synth-A  dropped by the Program Change filter of the settings: "
              "Program Change ch 2 prog 5");
    TracedBytes dump = traced({0xF0, 0x7D, 0x01});
    for (int i = 0; i < 1020; ++i) {
        keepTracedByte(dump, 0x10);
    }
    keepTracedByte(dump, 0xF7);
    entry = {.status = 1024, .event = TraceEvent::exclusiveLost, .slot = 1, .message = dump};
    EXPECT_EQ(describeTraceEntry(entry, "Editor.exe"),
              "in    Editor.exe < instrument  SysEx 1,024 bytes F0 7D 01 10 10 10 ... F7 LOST: "
              "the program had no buffer for 1,024 bytes of it");
    entry = {.event = TraceEvent::openRefused, .slot = 1};
    EXPECT_EQ(describeTraceEntry(entry, "Editor.exe"),
              "open  Editor.exe was refused the input: the instrument, or that device, is in use");
    EXPECT_EQ(timeOfDay(50'000'123), "13:53:20.123");
}

TEST(TraceWords, TheCountsNameEveryFilterThatDroppedSomething) {
    auto record = std::make_unique<MonitorRecord>();
    record->figures[static_cast<uint32_t>(Count::messagesSent)] = 1234567;
    record->figures[static_cast<uint32_t>(droppedCount(kindBankSelect))] = 2;
    record->figures[static_cast<uint32_t>(droppedCount(kindExclusive))] = 1;
    std::vector<std::string> lines = describeCounts(*record);
    EXPECT_EQ(lines[0], "sent to the instrument: 1,234,567 messages, 0 bytes");
    EXPECT_EQ(lines[2], "dropped by the settings' filters: 2 Bank Select, 1 System Exclusive");
}

} // namespace

// The window's rows: the filter changes what is shown, and each row's columns say what happened.
TEST(MonitorRows, TheDefaultFilterHidesOnlyTheSteadyRealTimeAndEachFilterHidesItsRows) {
    TraceEntry note{.processId = 7,
                    .event = TraceEvent::sent,
                    .slot = 2,
                    .message = traced({0x93, 0x3C, 0x40})};
    TraceEntry clock{
        .processId = 7, .event = TraceEvent::received, .slot = 1, .message = traced({0xF8})};
    TraceEntry lost{.processId = 9, .event = TraceEvent::lineLost};
    EXPECT_TRUE(rowShown(note, defaultRowFilter));
    EXPECT_FALSE(rowShown(clock, defaultRowFilter));
    EXPECT_TRUE(rowShown(lost, defaultRowFilter));

    RowFilter filter = defaultRowFilter;
    filter.channels = 0xFFFF & ~(1u << 3);
    EXPECT_FALSE(rowShown(note, filter)) << "channel 4 is hidden";
    filter = defaultRowFilter;
    filter.out = false;
    EXPECT_FALSE(rowShown(note, filter));
    filter = defaultRowFilter;
    filter.processId = 8;
    EXPECT_FALSE(rowShown(note, filter));
    EXPECT_TRUE(rowShown(lost, filter)) << "the line's news is every program's";
    filter = defaultRowFilter;
    filter.shownKinds &= ~rowKindBit(RowKind::note);
    EXPECT_FALSE(rowShown(note, filter));
}

TEST(MonitorRows, ARowHasItsTimeSinceTheOneBeforeWhoWhereWordsAndHex) {
    TracedBytes dump = traced({0xF0, 0x7D});
    for (int i = 0; i < 40; ++i) {
        keepTracedByte(dump, 0x11);
    }
    keepTracedByte(dump, 0xF7);
    TraceEntry entry{.event = TraceEvent::received, .slot = 1, .message = dump};
    MonitorRow row = rowOf(entry, "Librarian.exe (12)", 1500);
    EXPECT_EQ(row.sincePrevious, "+1,500 ms");
    EXPECT_EQ(row.direction, "in");
    EXPECT_EQ(row.program, "Librarian.exe (12)");
    EXPECT_EQ(row.destination, "the input");
    EXPECT_EQ(row.words, "SysEx 43 bytes F0 7D 11 11 11 11 ... F7");
    EXPECT_TRUE(row.hex.starts_with("F0 7D 11 11")) << row.hex;
    EXPECT_TRUE(row.hex.ends_with(" 11 ... 11 11 11 F7")) << "the head and the tail kept";

    row = rowOf({.event = TraceEvent::lineBack}, "Seq.exe (3)", -1);
    EXPECT_EQ(row.sincePrevious, "");
    EXPECT_EQ(row.direction, "line");
    EXPECT_EQ(row.program, "");
    EXPECT_EQ(row.words, "the serial line is back");
    EXPECT_EQ(row.hex, "");
}

namespace {

TraceEntry sentAt(uint32_t time, std::initializer_list<uint8_t> bytes) {
    return {.time = time,
            .processId = 7,
            .event = TraceEvent::sent,
            .slot = 2,
            .message = traced(bytes)};
}

} // namespace

// The window's kept rows: the filter and the pause change what is shown, never what is kept.
TEST(RowStore, FilterPauseAndClearChangeWhatIsShownAndTheKeptRowsStayBounded) {
    RowStore store;
    keepRow(store, sentAt(10, {0x90, 0x3C, 0x40}), "Seq.exe (7)");
    keepRow(store, sentAt(12, {0xF8}), "Seq.exe (7)");
    keepRow(store, sentAt(15, {0x80, 0x3C, 0x00}), "Seq.exe (7)");
    ASSERT_EQ(shownCount(store), 2u) << "the clock is hidden";
    EXPECT_EQ(shownRowColumns(store, 1).sincePrevious, "+3 ms") << "since the clock, recorded";
    RowFilter everything = defaultRowFilter;
    everything.shownKinds |= rowKindBit(RowKind::timingClock);
    setRowFilter(store, everything);
    EXPECT_EQ(shownCount(store), 3u) << "what was hidden was kept";

    pauseRows(store, true);
    keepRow(store, sentAt(20, {0xB0, 0x07, 0x64}), "Seq.exe (7)");
    EXPECT_EQ(shownCount(store), 3u) << "the list stands still while paused";
    pauseRows(store, false);
    EXPECT_EQ(shownCount(store), 4u) << "and catches up on going on";

    for (uint32_t at = 0; at < keptRowsMax + 6; ++at) {
        keepRow(store, sentAt(at, {0xF8}), "Seq.exe (7)");
    }
    EXPECT_EQ(store.kept.size(), keptRowsMax);
    EXPECT_EQ(shownRow(store, 0).entry.time, 6u) << "the oldest went first";
    clearRows(store);
    keepRow(store, sentAt(30, {0x90, 0x3C, 0x40}), "Seq.exe (7)");
    EXPECT_EQ(shownCount(store), 1u);
    EXPECT_EQ(shownRowColumns(store, 0).sincePrevious, "") << "nothing kept before it";
}

TEST(RowStore, FindGoesRoundAndCopiesAndExclusivesComeFromTheShownRows) {
    RowStore store;
    TracedBytes dump = traced({0xF0, 0x7D});
    for (int i = 0; i < 40; ++i) {
        keepTracedByte(dump, 0x11);
    }
    keepTracedByte(dump, 0xF7);
    keepRow(store, sentAt(1, {0xF0, 0x7D, 0x01, 0xF7}), "Editor.exe (7)");
    keepRow(store, sentAt(2, {0x90, 0x3C, 0x40}), "Seq.exe (8)");
    keepRow(store, {.time = 3, .event = TraceEvent::received, .slot = 1, .message = dump},
            "Editor.exe (7)");
    EXPECT_EQ(findRow(store, "editor", 0, true), 2u);
    EXPECT_EQ(findRow(store, "editor", 2, true), 0u) << "round past the end";
    EXPECT_EQ(findRow(store, "c4", noRow, false), 1u) << "from the end, backwards";
    EXPECT_EQ(findRow(store, "Synth-B", 0, true), noRow);

    EXPECT_EQ(rowsAsHex(store, {0, 1}), "F0 7D 01 F7\r\n90 3C 40\r\n");
    EXPECT_EQ(rowsAsText(store, {1}), "+1 ms\tout\tSeq.exe (8)\tDefault MIDI\tNote On ch 1 C4 vel "
                                      "64\t90 3C 40\r\n");
    size_t partial = 0;
    EXPECT_EQ(exclusivesAmong(store, {0, 1, 2}, partial),
              (std::vector<Exclusive>{{0xF0, 0x7D, 0x01, 0xF7}}));
    EXPECT_EQ(partial, 1u) << "the record kept only the long one's head and tail";
}
