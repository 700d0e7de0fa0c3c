// What the public-API tests share: a record of the notifications a client receives, whichever
// kind of callback it asked for, and the instrument's end of the line read as MIDI messages per
// destination.
#pragma once

#include "instrument/wire_decoder.h"

#include <windows.h>

#include <mmsystem.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

// One notification as the client saw it. A window or thread callback carries one parameter (the
// header or the message); the second is then 0.
struct Notification {
    UINT message;
    DWORD_PTR param1 = 0;
    DWORD_PTR param2 = 0;
    bool operator==(const Notification&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Notification& notification);
using Notifications = std::vector<Notification>;

// Collects notifications from any thread. For window and thread callbacks the test thread itself
// receives them, by pumping its message queue while it waits.
class NotificationLog {
  public:
    NotificationLog();
    ~NotificationLog();
    NotificationLog(const NotificationLog&) = delete;
    NotificationLog& operator=(const NotificationLog&) = delete;

    void add(const Notification& notification);
    // Waits (pumping this thread's messages) until at least `count` notifications are in, or a
    // deadline passes; then waits a short quiet window so that one too many shows up too.
    Notifications take(size_t count);
    // What came in so far, without waiting.
    Notifications takeNow();

  private:
    CRITICAL_SECTION lock_;
    HANDLE arrived_;
    Notifications notifications_;
};

// The callback kinds a client may ask winmm for, with what each needs to reach `log`.
enum class CallbackKind { Function, Window, Thread, Event };
const char* callbackName(CallbackKind kind);

class ClientCallback {
  public:
    ClientCallback(CallbackKind kind, NotificationLog& log);
    ~ClientCallback();
    ClientCallback(const ClientCallback&) = delete;
    ClientCallback& operator=(const ClientCallback&) = delete;

    DWORD_PTR callback() const;
    DWORD_PTR instance() const;
    DWORD flags() const; // CALLBACK_FUNCTION, CALLBACK_WINDOW ...
    // For an event callback: whether the event is set, or gets set before a deadline passes.
    bool eventSet() const;
    // For an event callback: whether it gets set within a short quiet window ("nothing further").
    bool eventSetAgain() const;

  private:
    CallbackKind kind_;
    NotificationLog& log_;
    HWND window_ = nullptr;
    HANDLE event_ = nullptr;
};

// Receives the messages of window and thread callbacks into the log of the window or thread.
void pumpMessages(NotificationLog* threadLog);

// The instrument's end of the line, decoded: each complete MIDI message with its destination.
struct WireMessage {
    int destination;
    std::string bytes; // hex, status first: "90 3C 40"
    bool operator==(const WireMessage&) const = default;
};
std::ostream& operator<<(std::ostream& out, const WireMessage& message);
using WireMessages = std::vector<WireMessage>;

// Decodes the hex of raw wire bytes ("F5 00 FF 90 3C 40") into messages; malformed data shows up
// as a message with destination -2 and the bytes concerned, so that a comparison fails on it.
// While the wire `stillArriving`, a message whose end has not come yet is left out instead.
WireMessages decodeWire(const std::string& wireHex, bool stillArriving = false);
WireMessage onOutput(int destination, const std::string& bytes);
// What the check program's --panic sends: All Notes Off and the sustain pedal up on every channel
// of each of the instrument's destinations, in order.
WireMessages panicMessages();

// The second program of the sharing tests, when the arguments ask for one of its parts
// (shared_api_tests.cpp): its exit code; -1 when they do not.
//   --play OUTPUT         plays its part on the output and ends
//   --sound OUTPUT EVENT  leaves a note sounding on the output, sets the event and waits
//   --listen COUNT EVENT  starts the input, sets the event, and ends 0 when it heard COUNT
//                         messages, the ones the test has the instrument send
int sharedProgram(int argc, char** argv);

// The toolbox of this build started with `arguments`, as a user or a script starts it.
bool startToolbox(const std::wstring& arguments, PROCESS_INFORMATION& process);
// Waits for the started toolbox to end, at most `limitMs`, and lets its handles go: its exit code.
DWORD toolboxExitCode(PROCESS_INFORMATION& process, DWORD limitMs);
