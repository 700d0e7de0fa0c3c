#include "words/row_store.h"

#include "words/monitor_text.h"

#include <algorithm>
#include <cctype>

namespace {

const KeptRow& keptRow(const RowStore& store, uint64_t number) {
    return store.kept[static_cast<size_t>(number - store.firstNumber)];
}

void letOldestGo(RowStore& store) {
    size_t limit = store.paused ? 2 * keptRowsMax : keptRowsMax;
    while (store.kept.size() > limit) {
        store.kept.pop_front();
        if (!store.shown.empty() && store.shown.front() == store.firstNumber) {
            store.shown.pop_front();
            store.shownAtPause -= store.shownAtPause > 0 ? 1 : 0;
        }
        ++store.firstNumber;
    }
}

bool holdsIgnoringCase(const std::string& text, const std::string& wanted) {
    auto lower = [](unsigned char c) { return std::tolower(c); };
    return std::search(text.begin(), text.end(), wanted.begin(), wanted.end(),
                       [&](char a, char b) { return lower(a) == lower(b); }) != text.end();
}

bool rowHolds(const MonitorRow& row, const std::string& text) {
    return holdsIgnoringCase(row.program, text) || holdsIgnoringCase(row.destination, text) ||
           holdsIgnoringCase(row.words, text) || holdsIgnoringCase(row.hex, text);
}

} // namespace

void keepRow(RowStore& store, const TraceEntry& entry, const std::string& program) {
    store.kept.push_back({entry, program});
    if (rowShown(entry, store.filter)) {
        store.shown.push_back(store.firstNumber + store.kept.size() - 1);
    }
    letOldestGo(store);
}

size_t shownCount(const RowStore& store) {
    return store.paused ? store.shownAtPause : store.shown.size();
}

const KeptRow& shownRow(const RowStore& store, size_t place) {
    return keptRow(store, store.shown[place]);
}

MonitorRow shownRowColumns(const RowStore& store, size_t place) {
    uint64_t number = store.shown[place];
    const KeptRow& row = keptRow(store, number);
    int64_t since = -1;
    if (number > store.firstNumber) {
        since = static_cast<int32_t>(row.entry.time - keptRow(store, number - 1).entry.time);
    }
    return rowOf(row.entry, row.program, since);
}

void setRowFilter(RowStore& store, const RowFilter& filter) {
    store.filter = filter;
    store.shown.clear();
    for (size_t at = 0; at < store.kept.size(); ++at) {
        if (rowShown(store.kept[at].entry, filter)) {
            store.shown.push_back(store.firstNumber + at);
        }
    }
    store.shownAtPause = std::min(store.shownAtPause, store.shown.size());
}

void pauseRows(RowStore& store, bool paused) {
    store.paused = paused;
    store.shownAtPause = store.shown.size();
    letOldestGo(store);
}

void clearRows(RowStore& store) {
    store.firstNumber += store.kept.size();
    store.kept.clear();
    store.shown.clear();
    store.shownAtPause = 0;
}

size_t findRow(const RowStore& store, const std::string& text, size_t from, bool forward) {
    size_t count = shownCount(store);
    for (size_t step = 1; step <= count && !text.empty(); ++step) {
        size_t start = from == noRow ? (forward ? count - 1 : 0) : from;
        size_t place = forward ? (start + step) % count : (start + count - step % count) % count;
        if (rowHolds(shownRowColumns(store, place), text)) {
            return place;
        }
    }
    return noRow;
}

std::string rowsAsText(const RowStore& store, const std::vector<size_t>& places) {
    std::string text;
    for (size_t place : places) {
        MonitorRow row = shownRowColumns(store, place);
        text += row.sincePrevious + '\t' + row.direction + '\t' + row.program + '\t' +
                row.destination + '\t' + row.words + '\t' + row.hex + "\r\n";
    }
    return text;
}

std::string rowsAsHex(const RowStore& store, const std::vector<size_t>& places) {
    std::string text;
    for (size_t place : places) {
        if (std::string hex = shownRowColumns(store, place).hex; !hex.empty()) {
            text += hex + "\r\n";
        }
    }
    return text;
}

std::vector<Exclusive> exclusivesAmong(const RowStore& store, const std::vector<size_t>& places,
                                       size_t& partial) {
    std::vector<Exclusive> exclusives;
    partial = 0;
    for (size_t place : places) {
        const TraceEntry& entry = shownRow(store, place).entry;
        if (rowKindOf(entry) != RowKind::exclusive) {
            continue;
        }
        Exclusive bytes = tracedBytesOf(entry.message);
        bool whole = bytes.size() == entry.message.length && bytes.back() == 0xF7;
        whole ? exclusives.push_back(std::move(bytes)) : (void)++partial;
    }
    return exclusives;
}
