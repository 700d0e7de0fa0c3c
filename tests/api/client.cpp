#include "client.h"

#include "common/hex.h"
#include "common/process.h"

#include <cstdio>
#include <ostream>

namespace {

// Long enough for a loaded machine, and never waited out when the notifications come.
constexpr DWORD notificationDeadlineMs = 5000;
// How long nothing more may arrive for "and nothing further" to hold.
constexpr DWORD quietWindowMs = 200;

const wchar_t windowClass[] = L"MelvApiTestsCallbackWindow";

LRESULT CALLBACK callbackWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message >= MM_MIM_OPEN && message <= MM_MOM_POSITIONCB) {
        auto* log = reinterpret_cast<NotificationLog*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        log->add({message, static_cast<DWORD_PTR>(lParam), 0});
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

HWND createCallbackWindow(NotificationLog& log) {
    static ATOM registered = [] {
        WNDCLASSW windowClassRecord{};
        windowClassRecord.lpfnWndProc = callbackWindowProc;
        windowClassRecord.hInstance = GetModuleHandleW(nullptr);
        windowClassRecord.lpszClassName = windowClass;
        return RegisterClassW(&windowClassRecord);
    }();
    if (registered == 0) {
        return nullptr;
    }
    HWND window = CreateWindowW(windowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
    if (window != nullptr) {
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&log));
    }
    return window;
}

void CALLBACK recordOutput(HMIDIOUT, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                           DWORD_PTR param2) {
    reinterpret_cast<NotificationLog*>(instance)->add({message, param1, param2});
}

// The log that thread callbacks of the current thread go to.
thread_local NotificationLog* threadLog = nullptr;

} // namespace

std::ostream& operator<<(std::ostream& out, const Notification& notification) {
    char text[80];
    std::snprintf(text, sizeof text, "{0x%X, 0x%llX, 0x%llX}", notification.message,
                  static_cast<unsigned long long>(notification.param1),
                  static_cast<unsigned long long>(notification.param2));
    return out << text;
}

NotificationLog::NotificationLog() : arrived_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
    InitializeCriticalSection(&lock_);
}

NotificationLog::~NotificationLog() {
    if (threadLog == this) {
        threadLog = nullptr;
    }
    CloseHandle(arrived_);
    DeleteCriticalSection(&lock_);
}

void NotificationLog::add(const Notification& notification) {
    EnterCriticalSection(&lock_);
    notifications_.push_back(notification);
    LeaveCriticalSection(&lock_);
    SetEvent(arrived_);
}

Notifications NotificationLog::takeNow() {
    pumpMessages(threadLog);
    EnterCriticalSection(&lock_);
    Notifications taken;
    taken.swap(notifications_);
    LeaveCriticalSection(&lock_);
    return taken;
}

Notifications NotificationLog::take(size_t count) {
    auto waitFor = [&](DWORD windowMs, bool stopWhenCounted) {
        DWORD start = GetTickCount();
        for (;;) {
            pumpMessages(threadLog);
            EnterCriticalSection(&lock_);
            size_t have = notifications_.size();
            LeaveCriticalSection(&lock_);
            DWORD elapsed = GetTickCount() - start;
            if ((stopWhenCounted && have >= count) || elapsed >= windowMs) {
                return;
            }
            MsgWaitForMultipleObjects(1, &arrived_, FALSE, windowMs - elapsed, QS_ALLINPUT);
        }
    };
    waitFor(notificationDeadlineMs, true);
    waitFor(quietWindowMs, false);
    return takeNow();
}

void pumpMessages(NotificationLog* log) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.hwnd == nullptr && message.message >= MM_MIM_OPEN &&
            message.message <= MM_MOM_POSITIONCB && log != nullptr) {
            log->add({message.message, static_cast<DWORD_PTR>(message.lParam), 0});
            continue;
        }
        DispatchMessageW(&message);
    }
}

const char* callbackName(CallbackKind kind) {
    switch (kind) {
    case CallbackKind::Function:
        return "Function";
    case CallbackKind::Window:
        return "Window";
    case CallbackKind::Thread:
        return "Thread";
    case CallbackKind::Event:
        return "Event";
    }
    return "?";
}

ClientCallback::ClientCallback(CallbackKind kind, NotificationLog& log) : kind_(kind), log_(log) {
    if (kind == CallbackKind::Window) {
        window_ = createCallbackWindow(log);
    } else if (kind == CallbackKind::Thread) {
        threadLog = &log;
    } else if (kind == CallbackKind::Event) {
        event_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    }
}

ClientCallback::~ClientCallback() {
    if (window_ != nullptr) {
        DestroyWindow(window_);
    }
    if (event_ != nullptr) {
        CloseHandle(event_);
    }
    if (threadLog == &log_) {
        threadLog = nullptr;
    }
}

DWORD_PTR ClientCallback::callback() const {
    switch (kind_) {
    case CallbackKind::Function:
        return reinterpret_cast<DWORD_PTR>(recordOutput);
    case CallbackKind::Window:
        return reinterpret_cast<DWORD_PTR>(window_);
    case CallbackKind::Thread:
        return GetCurrentThreadId();
    case CallbackKind::Event:
        return reinterpret_cast<DWORD_PTR>(event_);
    }
    return 0;
}

DWORD_PTR ClientCallback::instance() const {
    return kind_ == CallbackKind::Function ? reinterpret_cast<DWORD_PTR>(&log_) : 0;
}

DWORD ClientCallback::flags() const {
    switch (kind_) {
    case CallbackKind::Function:
        return CALLBACK_FUNCTION;
    case CallbackKind::Window:
        return CALLBACK_WINDOW;
    case CallbackKind::Thread:
        return CALLBACK_THREAD;
    case CallbackKind::Event:
        return CALLBACK_EVENT;
    }
    return CALLBACK_NULL;
}

bool ClientCallback::eventSet() const {
    return WaitForSingleObject(event_, notificationDeadlineMs) == WAIT_OBJECT_0;
}

bool ClientCallback::eventSetAgain() const {
    return WaitForSingleObject(event_, quietWindowMs) == WAIT_OBJECT_0;
}

std::ostream& operator<<(std::ostream& out, const WireMessage& message) {
    return out << "{" << message.destination << ": " << message.bytes << "}";
}

WireMessage onOutput(int destination, const std::string& bytes) {
    return {destination, bytes};
}

WireMessages panicMessages() {
    WireMessages messages;
    for (int destination = 0; destination < 4; ++destination) {
        for (int channel = 0; channel < 16; ++channel) {
            char status[3];
            std::snprintf(status, sizeof status, "%X", 0xB0 | channel);
            messages.push_back(onOutput(destination, std::string(status) + " 7B 00"));
            messages.push_back(onOutput(destination, std::string(status) + " 40 00"));
        }
    }
    return messages;
}

WireMessages decodeWire(const std::string& wireHex, bool stillArriving) {
    std::vector<uint8_t> bytes;
    for (size_t at = 0; at + 1 < wireHex.size(); at += 3) {
        bytes.push_back(static_cast<uint8_t>(std::stoul(wireHex.substr(at, 2), nullptr, 16)));
    }
    WireDecoder decoder;
    resetWireDecoder(decoder);
    std::vector<WireEvent> events;
    feedWireBytes(decoder, bytes.data(), bytes.size(), 0, events);
    if (!stillArriving) {
        finishWire(decoder, 0, events);
    }
    WireMessages messages;
    for (const WireEvent& event : events) {
        messages.push_back({event.problem == WireProblem::None ? event.destination : -2,
                            hexBytes(event.bytes.data(), event.bytes.size())});
    }
    return messages;
}

bool startToolbox(const std::wstring& arguments, PROCESS_INFORMATION& process) {
    std::wstring toolbox = besideProgram(L"..\\toolbox\\melv-toolbox.exe");
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    return startProcess(toolbox.c_str(), L"\"" + toolbox + L"\" " + arguments, false, startup,
                        process);
}

DWORD toolboxExitCode(PROCESS_INFORMATION& process, DWORD limitMs) {
    DWORD exitCode = STILL_ACTIVE;
    WaitForSingleObject(process.hProcess, limitMs);
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return exitCode;
}
