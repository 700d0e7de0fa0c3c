// What the toolbox's jobs say of the instrument alike: the exit codes, the driver's settings in
// force, whether a device is the driver's, who holds the instrument, and why a device would not
// open, in plain words.
#pragma once

#include <windows.h>

#include <mmsystem.h>

#include <atomic>
#include <cstdint>
#include <string>

// Exit codes, for scripts that set up studio machines.
enum Outcome : int {
    allWell = 0,
    notInstalled = 3,
    portInUse = 4,
    portUnavailable = 5,
    nothingArrived = 6,
    registrationGone = 7,
    fileRefused = 8,    // a file to send is not exclusives, or a file cannot be read or written
    cancelled = 9,      // the user stopped a send before its end
    arrivedBroken = 10, // something the instrument sent arrived cut short: not saved
    badArguments = 2,
};

// The names of the driver's devices begin so.
constexpr wchar_t devicePrefix[] = L"MELV PC I/F";
bool isOurs(const std::wstring& deviceName);

constexpr uint16_t lastPortNumber = 256;
// The port the driver is set to use; 1 when nothing is saved.
DWORD configuredPort();
// Whether the driver's settings share the instrument between programs.
bool sharingConfigured();

// The program that holds the instrument, as the record the driver shares between the programs of
// this logon session names it: "file.exe (process 1234)"; empty when none does, or it cannot be
// looked at.
std::wstring instrumentHolder();
// Says in plain words why a device would not open; answers the exit code that goes with it.
int explainOpenFailure(const std::wstring& device, MMRESULT status);

// Set once the user asks the console to stop (Ctrl+C, Ctrl+Break, closing the window): a job
// under way ends as it would when done, rather than the process being ended in the middle.
const std::atomic<bool>& stopAskedAtConsole();

// The panic (panic.h) as the settings have the instrument: through the service while it is
// shared, on the port otherwise, unless another program holds it alone: then
// MMSYSERR_ALLOCATED, and nothing is sent.
uint32_t panicInEitherMode();
