// The settings that outlive every process: the serial port number and the message mask, kept in
// the registry and loaded into the shared state when a process loads the driver.
#pragma once

#include "line/shared_state.h"

#include <cstdint>

constexpr char16_t settingsKeyPath[] = u"Software\\MELV\\MELV PC I/F MIDI Driver";
constexpr char16_t portNumberValue[] = u"COM";
constexpr char16_t messageMaskValue[] = u"Messages";
// 1 shares the instrument between programs; absent, 0 or anything else lets one program at a time
// have it.
constexpr char16_t shareValue[] = u"Share";
// 1 in the value, or in the environment variable for one program, asks for the developer trace: a
// line for a debug viewer per call into the driver (and per connection the sharing service
// turns away). Off otherwise.
constexpr char16_t traceValue[] = u"Trace";
constexpr char16_t traceVariable[] = u"MELV_PCIF_TRACE";

// The port is COM1 to COM256. COM1 to COM4 have a button each in the dialog, which looks for them
// by opening them; a port above is chosen from the system's list of the machine's ports.
constexpr uint16_t firstPort = 1;
constexpr uint16_t lastButtonPort = 4;
constexpr uint16_t lastPort = 256;

// Loads the port number, the mask and whether the instrument is shared from the registry into
// `shared`, and writes the port number and the mask back. It
// touches no serial port: every program that looks at MIDI devices loads the driver, and opening
// a port there would take it from its user for a moment and raise its modem lines.
void loadSettings(SharedState& shared);
// Stores the port number, the mask and the sharing as "COM", "Messages" and "Share" under the
// settings key; false, with nothing written, when the process may not change the key (it lacks
// administrator rights).
bool saveSettings(uint16_t portNumber, uint16_t mask, bool sharing);
// Whether the developer trace is asked for, by the "Trace" value or the environment.
bool developerTraceWanted();
