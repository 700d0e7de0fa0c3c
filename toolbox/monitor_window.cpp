#include "monitor_window.h"

#include "instrument.h"
#include "monitor.h"
#include "monitor/trace_reader.h"
#include "words/monitor_text.h"
#include "words/row_store.h"

#include <windows.h>

#include <commctrl.h>
#include <mmsystem.h>

#include <algorithm>
#include <iterator>
#include <vector>

namespace {

constexpr UINT_PTR readTimer = 1;
constexpr UINT readIntervalMs = 50;
constexpr int baseDpi = 96;

struct Column {
    const wchar_t* title;
    int width; // at 96 dpi
};
const Column columns[] = {{L"Time", 96},    {L"Since", 72},    {L"Dir", 44},   {L"Program", 170},
                          {L"Device", 110}, {L"Message", 300}, {L"Bytes", 240}};

struct Toggle {
    MonitorControl id;
    const wchar_t* label;
    DWORD style;
    int width; // at 96 dpi
};
const Toggle toggles[] = {
    {showOut, L"&Out", BS_AUTOCHECKBOX, 60},
    {showIn, L"&In", BS_AUTOCHECKBOX, 50},
    {showSteadyRealTime, L"Clock and &Active Sensing", BS_AUTOCHECKBOX, 190},
    {pauseRowsButton, L"&Pause", BS_AUTOCHECKBOX | BS_PUSHLIKE, 80},
    {clearRowsButton, L"C&lear", BS_PUSHBUTTON, 80},
    {panicButton, L"Pa&nic", BS_PUSHBUTTON, 80},
};
constexpr int findBoxWidth = 220; // at 96 dpi

struct MonitorWindow {
    HWND window = nullptr;
    HWND list = nullptr;
    HWND status = nullptr;
    HFONT font = nullptr;
    UINT dpi = baseDpi;
    MonitorRecord* record = nullptr;
    TraceReader reader{};
    ProgramNames names;
    Clock clock;
    RowStore store;
    std::wstring mode;
    unsigned port = 1;
    // The row the list asked for last: it asks once for each column.
    size_t cachedPlace = noRow;
    MonitorRow cachedRow;
    std::wstring text; // what the list was last handed: it reads it after the call returns
};

int scaled(const MonitorWindow& monitor, int length) {
    return MulDiv(length, static_cast<int>(monitor.dpi), baseDpi);
}

std::wstring wide(const std::string& text) {
    std::wstring out(text.size(), L'\0');
    int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                     out.data(), static_cast<int>(out.size()));
    out.resize(static_cast<size_t>(std::max(length, 0)));
    return out;
}

// The window's dpi where the system can say it (Windows 10 1607 and later), as the system's.
UINT dpiOf(HWND window) {
    using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
    auto getDpi = reinterpret_cast<GetDpiForWindowFunction>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    UINT dpi = getDpi != nullptr ? getDpi(window) : 0;
    return dpi != 0 ? dpi : baseDpi;
}

// Each monitor's own scale, so that the text is sharp on every screen the window is moved to.
void becomeDpiAware() {
    using SetContextFunction = BOOL(WINAPI*)(HANDLE);
    auto setContext = reinterpret_cast<SetContextFunction>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"user32.dll"), "SetProcessDpiAwarenessContext")));
    if (setContext != nullptr) {
        setContext(reinterpret_cast<HANDLE>(-4)); // DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2
    }
}

void applyFont(MonitorWindow& monitor) {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    metrics.lfMessageFont.lfHeight = -scaled(monitor, 12);
    HFONT font = CreateFontIndirectW(&metrics.lfMessageFont);
    for (HWND child = GetWindow(monitor.window, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    }
    if (monitor.font != nullptr) {
        DeleteObject(monitor.font);
    }
    monitor.font = font;
    for (size_t at = 0; at < std::size(columns); ++at) {
        ListView_SetColumnWidth(monitor.list, static_cast<int>(at),
                                scaled(monitor, columns[at].width));
    }
}

void layOut(MonitorWindow& monitor) {
    RECT client;
    GetClientRect(monitor.window, &client);
    SendMessageW(monitor.status, WM_SIZE, 0, 0);
    RECT statusRect;
    GetWindowRect(monitor.status, &statusRect);
    int barHeight = scaled(monitor, 30), gap = scaled(monitor, 6);
    int x = gap;
    for (const Toggle& toggle : toggles) {
        int width = scaled(monitor, toggle.width);
        MoveWindow(GetDlgItem(monitor.window, toggle.id), x, gap / 2, width, barHeight - gap, TRUE);
        x += width + gap;
    }
    MoveWindow(GetDlgItem(monitor.window, findText), x, gap / 2, scaled(monitor, findBoxWidth),
               barHeight - gap, TRUE);
    MoveWindow(monitor.list, 0, barHeight, client.right,
               client.bottom - barHeight - (statusRect.bottom - statusRect.top), TRUE);
}

bool checked(const MonitorWindow& monitor, MonitorControl id) {
    return IsDlgButtonChecked(monitor.window, id) == BST_CHECKED;
}

RowFilter filterOfToggles(const MonitorWindow& monitor) {
    RowFilter filter = monitor.store.filter;
    filter.out = checked(monitor, showOut);
    filter.in = checked(monitor, showIn);
    uint32_t steady = rowKindBit(RowKind::timingClock) | rowKindBit(RowKind::activeSensing);
    filter.shownKinds = checked(monitor, showSteadyRealTime) ? filter.shownKinds | steady
                                                             : filter.shownKinds & ~steady;
    return filter;
}

// The list shows as many rows as the store; it follows the newest unless the user scrolled up.
void showRowCount(MonitorWindow& monitor) {
    int before = ListView_GetItemCount(monitor.list);
    int count = static_cast<int>(shownCount(monitor.store));
    bool followed =
        before == 0 ||
        ListView_GetTopIndex(monitor.list) + ListView_GetCountPerPage(monitor.list) >= before;
    monitor.cachedPlace = noRow;
    ListView_SetItemCountEx(monitor.list, count, LVSICF_NOSCROLL);
    if (followed && count > 0) {
        ListView_EnsureVisible(monitor.list, count - 1, FALSE);
    }
}

std::wstring statusText(MonitorWindow& monitor) {
    const MonitorRecord& record = *monitor.record;
    std::map<uint32_t, std::string> devices = openDevices(record);
    uint32_t state = devices.empty() ? 0 : loadShared(record.line);
    std::string holders;
    for (const auto& [processId, list] : devices) {
        holders += "; " + monitor.names.of(record, processId) + ": " + list;
    }
    uint64_t dropped = 0;
    for (uint32_t kind = 0; kind <= static_cast<uint32_t>(lastMessageKind); ++kind) {
        dropped += figure(record, droppedCount(static_cast<MessageKind>(kind)));
    }
    std::string figures = "dropped by the filters " + withThousands(dropped) +
                          ", exclusives lost " +
                          withThousands(figure(record, Count::exclusivesLost)) + ", line lost " +
                          withThousands(figure(record, Count::lineLosses)) + " times";
    if (monitor.reader.missed != 0) {
        figures += ", missed by this window " + withThousands(monitor.reader.missed);
    }
    return monitor.mode + L"  |  COM" + std::to_wstring(monitor.port) + L"  |  line " +
           wide(describeLineState(state)) + wide(holders) + L"  |  " + wide(figures);
}

void readRecord(MonitorWindow& monitor) {
    keepWatching(*monitor.record, timeGetTime());
    std::vector<TraceEntry> entries;
    readTrace(*monitor.record, monitor.reader, entries);
    for (const TraceEntry& entry : entries) {
        keepRow(monitor.store, entry, monitor.names.of(*monitor.record, entry.processId));
    }
    if (!entries.empty()) {
        showRowCount(monitor);
    }
    SetWindowTextW(monitor.status, statusText(monitor).c_str());
}

// The list asks for a cell's text as it draws it.
void handOverCell(MonitorWindow& monitor, NMLVDISPINFOW& info) {
    LVITEMW& item = info.item;
    auto place = static_cast<size_t>(item.iItem);
    if ((item.mask & LVIF_TEXT) == 0 || place >= shownCount(monitor.store)) {
        return;
    }
    if (monitor.cachedPlace != place) {
        monitor.cachedRow = shownRowColumns(monitor.store, place);
        monitor.cachedPlace = place;
    }
    const MonitorRow& row = monitor.cachedRow;
    const std::string* cells[] = {nullptr,      &row.sincePrevious, &row.direction,
                                  &row.program, &row.destination,   &row.words,
                                  &row.hex};
    monitor.text = item.iSubItem == 0
                       ? wide(monitor.clock.at(shownRow(monitor.store, place).entry.time))
                       : wide(*cells[item.iSubItem]);
    item.pszText = monitor.text.data();
}

std::vector<size_t> chosenPlaces(const MonitorWindow& monitor) {
    std::vector<size_t> places;
    for (int at = ListView_GetNextItem(monitor.list, -1, LVNI_SELECTED); at >= 0;
         at = ListView_GetNextItem(monitor.list, at, LVNI_SELECTED)) {
        places.push_back(static_cast<size_t>(at));
    }
    return places;
}

// The text on the clipboard, as Unicode text, for any program to paste.
void copyToClipboard(HWND window, const std::wstring& text) {
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(wchar_t));
    if (memory == nullptr) {
        return;
    }
    std::copy_n(text.c_str(), text.size() + 1, static_cast<wchar_t*>(GlobalLock(memory)));
    GlobalUnlock(memory);
    if (OpenClipboard(window)) {
        EmptyClipboard();
        if (SetClipboardData(CF_UNICODETEXT, memory) != nullptr) {
            memory = nullptr; // the clipboard's now
        }
        CloseClipboard();
    }
    if (memory != nullptr) {
        GlobalFree(memory);
    }
}

// The window's place and size and the columns' widths, as the user left them, in the user's key.
struct Remembered {
    RECT place;
    int widths[std::size(columns)];
};

bool recall(Remembered& remembered) {
    DWORD size = sizeof remembered;
    return RegGetValueW(HKEY_CURRENT_USER, monitorWindowKeyPath, L"Layout", RRF_RT_REG_BINARY,
                        nullptr, &remembered, &size) == ERROR_SUCCESS &&
           size == sizeof remembered;
}

void remember(const MonitorWindow& monitor) {
    WINDOWPLACEMENT placement{};
    placement.length = sizeof placement;
    GetWindowPlacement(monitor.window, &placement);
    Remembered remembered{placement.rcNormalPosition, {}};
    for (size_t at = 0; at < std::size(columns); ++at) {
        remembered.widths[at] = ListView_GetColumnWidth(monitor.list, static_cast<int>(at));
    }
    RegSetKeyValueW(HKEY_CURRENT_USER, monitorWindowKeyPath, L"Layout", REG_BINARY, &remembered,
                    sizeof remembered);
}

// Where the user left the window, as long as that place is on a screen still there.
bool recallPlace(Remembered& remembered) {
    return recall(remembered) &&
           MonitorFromRect(&remembered.place, MONITOR_DEFAULTTONULL) != nullptr;
}

void restoreColumns(MonitorWindow& monitor, const Remembered& remembered) {
    for (size_t at = 0; at < std::size(columns); ++at) {
        if (remembered.widths[at] > 0) {
            ListView_SetColumnWidth(monitor.list, static_cast<int>(at), remembered.widths[at]);
        }
    }
}

// Chooses the next shown row, or the one before, that holds the find box's text, from the row
// chosen now; a beep when none does.
void findInRows(MonitorWindow& monitor, bool forward) {
    wchar_t typed[256] = {};
    GetDlgItemTextW(monitor.window, findText, typed, static_cast<int>(std::size(typed)));
    char text[1024] = {};
    WideCharToMultiByte(CP_UTF8, 0, typed, -1, text, sizeof text, nullptr, nullptr);
    int chosen = ListView_GetNextItem(monitor.list, -1, LVNI_FOCUSED);
    size_t place =
        findRow(monitor.store, text, chosen < 0 ? noRow : static_cast<size_t>(chosen), forward);
    if (place == noRow) {
        MessageBeep(MB_OK);
        return;
    }
    int row = static_cast<int>(place);
    ListView_SetItemState(monitor.list, -1, 0, LVIS_SELECTED);
    ListView_SetItemState(monitor.list, row, LVIS_SELECTED | LVIS_FOCUSED,
                          LVIS_SELECTED | LVIS_FOCUSED);
    ListView_EnsureVisible(monitor.list, row, FALSE);
}

// What --panic does, from the window: every note and pedal off, or why not, in a message box.
void panicFromWindow(const MonitorWindow& monitor) {
    uint32_t status = panicInEitherMode();
    if (status == MMSYSERR_NOERROR) {
        return;
    }
    std::wstring holder = instrumentHolder();
    std::wstring why = status == MMSYSERR_ALLOCATED && !holder.empty()
                           ? L"Another program is using the instrument right now: " + holder +
                                 L". Its own stop or panic turns off what it plays."
                           : L"The instrument cannot be reached now (status " +
                                 std::to_wstring(status) + L"): check the cable and the port.";
    MessageBoxW(monitor.window, why.c_str(), L"MELV PC I/F MIDI panic", MB_ICONWARNING);
}

void onCommand(MonitorWindow& monitor, int id) {
    switch (id) {
    case panicButton:
        panicFromWindow(monitor);
        return;
    case goToFind:
        SetFocus(GetDlgItem(monitor.window, findText));
        SendDlgItemMessageW(monitor.window, findText, EM_SETSEL, 0, -1);
        return;
    case IDOK: // Enter, in the find box
    case findNextRow:
    case findPreviousRow:
        findInRows(monitor, id != findPreviousRow);
        return;
    case selectAllRows:
        ListView_SetItemState(monitor.list, -1, LVIS_SELECTED, LVIS_SELECTED);
        return;
    case copyRowsAsText:
        copyToClipboard(monitor.window, wide(rowsAsText(monitor.store, chosenPlaces(monitor))));
        return;
    case copyRowsAsHex:
        copyToClipboard(monitor.window, wide(rowsAsHex(monitor.store, chosenPlaces(monitor))));
        return;
    case showOut:
    case showIn:
    case showSteadyRealTime:
        setRowFilter(monitor.store, filterOfToggles(monitor));
        break;
    case pauseRowsButton:
        pauseRows(monitor.store, checked(monitor, pauseRowsButton));
        break;
    case clearRowsButton:
        clearRows(monitor.store);
        break;
    default:
        return;
    }
    showRowCount(monitor);
    InvalidateRect(monitor.list, nullptr, FALSE);
}

void makeControls(MonitorWindow& monitor, HINSTANCE instance) {
    for (const Toggle& toggle : toggles) {
        CreateWindowExW(0, L"BUTTON", toggle.label,
                        WS_CHILD | WS_VISIBLE | WS_TABSTOP | toggle.style, 0, 0, 0, 0,
                        monitor.window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(toggle.id)),
                        instance, nullptr);
    }
    HWND find = CreateWindowExW(
        WS_EX_CLIENTEDGE, L"EDIT", L"", WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL, 0, 0,
        0, 0, monitor.window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(findText)), instance,
        nullptr);
    SendMessageW(find, EM_SETCUEBANNER, TRUE, reinterpret_cast<LPARAM>(L"Find (Ctrl+F, F3)"));
    CheckDlgButton(monitor.window, showOut, BST_CHECKED);
    CheckDlgButton(monitor.window, showIn, BST_CHECKED);
    monitor.list = CreateWindowExW(
        WS_EX_CLIENTEDGE, WC_LISTVIEWW, L"",
        WS_CHILD | WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_OWNERDATA | LVS_SHOWSELALWAYS, 0, 0,
        0, 0, monitor.window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(monitorList)), instance,
        nullptr);
    ListView_SetExtendedListViewStyle(monitor.list, LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
    for (size_t at = 0; at < std::size(columns); ++at) {
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH;
        column.pszText = const_cast<wchar_t*>(columns[at].title);
        column.cx = columns[at].width;
        ListView_InsertColumn(monitor.list, static_cast<int>(at), &column);
    }
    monitor.status = CreateWindowExW(
        0, STATUSCLASSNAMEW, L"", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, monitor.window,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(monitorStatus)), instance, nullptr);
}

LRESULT CALLBACK monitorWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* monitor = reinterpret_cast<MonitorWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
    case WM_CREATE: {
        monitor =
            static_cast<MonitorWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(monitor));
        monitor->window = window;
        monitor->dpi = dpiOf(window);
        makeControls(*monitor, reinterpret_cast<CREATESTRUCTW*>(lParam)->hInstance);
        applyFont(*monitor);
        SetTimer(window, readTimer, readIntervalMs, nullptr);
        return 0;
    }
    case WM_SIZE:
        layOut(*monitor);
        return 0;
    case WM_DPICHANGED: {
        monitor->dpi = HIWORD(wParam);
        const RECT& suggested = *reinterpret_cast<const RECT*>(lParam);
        SetWindowPos(window, nullptr, suggested.left, suggested.top,
                     suggested.right - suggested.left, suggested.bottom - suggested.top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
        applyFont(*monitor);
        layOut(*monitor);
        return 0;
    }
    case WM_TIMER:
        readRecord(*monitor);
        return 0;
    case WM_COMMAND:
        onCommand(*monitor, LOWORD(wParam));
        return 0;
    case WM_NOTIFY:
        if (reinterpret_cast<NMHDR*>(lParam)->code == LVN_GETDISPINFOW) {
            handOverCell(*monitor, *reinterpret_cast<NMLVDISPINFOW*>(lParam));
        }
        return 0;
    case WM_DESTROY:
        remember(*monitor);
        KillTimer(window, readTimer);
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

} // namespace

int runMonitorWindow(const std::wstring& mode, unsigned port) {
    MappedRecord mapped(true);
    if (mapped.record == nullptr) {
        MessageBoxW(nullptr, L"The driver's record cannot be had.", L"MELV PC I/F MIDI monitor",
                    MB_ICONERROR);
        return 5;
    }
    becomeDpiAware();
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = monitorWindowProcedure;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = monitorWindowClass;
    RegisterClassExW(&windowClass);

    MonitorWindow monitor;
    monitor.record = mapped.record;
    monitor.mode = mode;
    monitor.port = port;
    // Reading from here on, before the window shows: what a user does once it is there is all in.
    keepWatching(*monitor.record, timeGetTime());
    std::vector<TraceEntry> before;
    readTrace(*monitor.record, monitor.reader, before);
    // Made where the user left it rather than moved there once made: the system may still be
    // fitting a first size to the screen when a move comes.
    Remembered remembered{};
    bool known = recallPlace(remembered);
    const RECT& place = remembered.place;
    HWND window = CreateWindowExW(
        WS_EX_CONTROLPARENT, monitorWindowClass, L"MELV PC I/F MIDI monitor", WS_OVERLAPPEDWINDOW,
        known ? place.left : CW_USEDEFAULT, known ? place.top : CW_USEDEFAULT,
        known ? place.right - place.left : 1100, known ? place.bottom - place.top : 600, nullptr,
        nullptr, instance, &monitor);
    if (window == nullptr) {
        return 5;
    }
    if (known) {
        restoreColumns(monitor, remembered);
    }
    ShowWindow(window, SW_SHOWNORMAL);
    ACCEL keys[] = {{FCONTROL | FVIRTKEY, 'A', selectAllRows},
                    {FCONTROL | FVIRTKEY, 'C', copyRowsAsText},
                    {FCONTROL | FSHIFT | FVIRTKEY, 'C', copyRowsAsHex},
                    {FCONTROL | FVIRTKEY, 'F', goToFind},
                    {FVIRTKEY, VK_F3, findNextRow},
                    {FSHIFT | FVIRTKEY, VK_F3, findPreviousRow}};
    HACCEL accelerators = CreateAcceleratorTableW(keys, static_cast<int>(std::size(keys)));
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        // Ctrl+A and Ctrl+C in the find box are the box's own.
        bool typing = GetFocus() == GetDlgItem(window, findText) && GetKeyState(VK_CONTROL) < 0;
        if ((typing || !TranslateAcceleratorW(window, accelerators, &message)) &&
            !IsDialogMessageW(window, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    DestroyAcceleratorTable(accelerators);
    stopWatching(*monitor.record);
    if (monitor.font != nullptr) {
        DeleteObject(monitor.font);
    }
    return 0;
}
