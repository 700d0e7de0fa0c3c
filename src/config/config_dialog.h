// The configuration dialog: the serial port, the message kinds that pass to each group of
// destinations, and independent mode. It shows the shared working copies when it opens; OK stores
// the choices there and in the registry, Cancel changes nothing.
#pragma once

#include "driver/process_context.h"

#include <cstdint>

constexpr uint32_t configDialogTemplate = 100;

constexpr uint32_t WM_INITDIALOG = 0x110;
constexpr uint32_t WM_COMMAND = 0x111;

// Control ids of the dialog template.
constexpr uint32_t okButton = 1;
constexpr uint32_t cancelButton = 2;
constexpr uint32_t firstPortButton = 101; // COM1; COM2 to COM4 follow
constexpr uint32_t lastPortButton = 104;
constexpr uint32_t synthGroup = 105; // "Synth Out Messages": box 105 + kind, destinations 2 and 3
constexpr uint32_t midiGroup = 112;  // "MIDI Out Messages": box 112 + kind, destinations 0 and 1
constexpr uint32_t independentBox = 119;

// Runs the dialog modally over `owner`: 1 after OK, 0 after Cancel, or the platform's failure
// value when it cannot be shown.
intptr_t runConfigDialog(ProcessContext& process, platform::Handle owner);
intptr_t configDialogProc(ProcessContext& process, platform::Handle dialog, uint32_t message,
                          uintptr_t wParam, intptr_t lParam);
