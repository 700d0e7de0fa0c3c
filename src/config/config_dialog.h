// The configuration dialog: the serial port, the message kinds that pass to each group of
// destinations, and independent mode. It shows the shared working copies when it opens; OK stores
// the choices there and in the registry, Cancel changes nothing.
#pragma once

#include "config/config_dialog_ids.h"
#include "driver/process_context.h"

#include <cstdint>

constexpr uint32_t WM_INITDIALOG = 0x110;
constexpr uint32_t WM_COMMAND = 0x111;

// Runs the dialog modally over `owner`: 1 after OK, 0 after Cancel, or the platform's failure
// value when it cannot be shown.
intptr_t runConfigDialog(ProcessContext& process, platform::Handle owner);
intptr_t configDialogProc(ProcessContext& process, platform::Handle dialog, uint32_t message,
                          uintptr_t wParam, intptr_t lParam);
