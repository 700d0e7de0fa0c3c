// The rows the monitor window keeps: the last keptRowsMax trace entries in the order they were
// recorded, each with its program's name; which of them the filter shows; and what the user does
// with the shown ones (find, copy, save). The window's timer hands it what the reader brought and
// the list view asks it for rows by their place: nothing here waits on the record or the line.
#pragma once

#include "words/librarian.h"
#include "words/monitor_rows.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

// A burst at many times the cable's rate fills this in seconds; the rows before are let go.
constexpr size_t keptRowsMax = 100000;

struct KeptRow {
    TraceEntry entry;
    std::string program; // "name (1234)", as the row shows it
};

struct RowStore {
    std::deque<KeptRow> kept;
    uint64_t firstNumber = 0;   // the number of kept.front(), counted from the store's start
    std::deque<uint64_t> shown; // the numbers of the kept rows the filter shows, in order
    RowFilter filter = defaultRowFilter;
    bool paused = false; // the shown rows stand still: the list does not move under the user
    size_t shownAtPause = 0;
};

// Keeps the entry as the newest row; the oldest goes once keptRowsMax are kept, unless the rows
// are paused, which hold on to up to twice as many so that the rows the user reads stay put.
void keepRow(RowStore& store, const TraceEntry& entry, const std::string& program);
// The rows the list shows: while paused, those shown when the pause began.
size_t shownCount(const RowStore& store);
const KeptRow& shownRow(const RowStore& store, size_t place);
// The columns of the shown row at `place`, its time counted from the row recorded before it.
MonitorRow shownRowColumns(const RowStore& store, size_t place);

void setRowFilter(RowStore& store, const RowFilter& filter);
void pauseRows(RowStore& store, bool paused);
void clearRows(RowStore& store);

// The place of the first shown row after `from` (before it, going back) whose program,
// destination, words or hex hold `text`, whatever its case, going round at the end; `none` when
// no row does.
constexpr size_t noRow = ~size_t{0};
size_t findRow(const RowStore& store, const std::string& text, size_t from, bool forward);

// The shown rows at `places` as lines of text, tab between columns (for a copy or a saved log),
// or as their bytes in hex, a line each.
std::string rowsAsText(const RowStore& store, const std::vector<size_t>& places);
std::string rowsAsHex(const RowStore& store, const std::vector<size_t>& places);
// The exclusives among the shown rows at `places`, for a .syx file. The record keeps a long
// exclusive's head and tail only: those are counted in `partial` and left out.
std::vector<Exclusive> exclusivesAmong(const RowStore& store, const std::vector<size_t>& places,
                                       size_t& partial);
