// The configuration dialog: the serial port, the message kinds that pass to each group of
// destinations, and independent mode. It shows the shared working copies when it opens; OK stores
// the choices there and in the registry, Cancel changes nothing.
#pragma once

#include "config/settings.h"
#include "line/shared_state.h"
#include "platform/config_dialog_ids.h"

#include <cstdint>

constexpr uint32_t WM_INITDIALOG = 0x110;
constexpr uint32_t WM_COMMAND = 0x111;

// One showing of the dialog: the shared record it shows and stores to, the port chosen while it
// is open, and the ports above COM4 its list offers, item by item.
struct ConfigDialogState {
    SharedState* shared;
    uint16_t pendingPort;
    uint32_t otherPortCount;
    uint16_t otherPorts[lastPort - lastButtonPort];
};

// Runs the dialog, from the module `moduleHandle`'s resources, modally over `owner`: 1 after OK, 0
// after Cancel, or the platform's failure value when it cannot be shown.
intptr_t runConfigDialog(SharedState& shared, uintptr_t moduleHandle, platform::Handle owner);
intptr_t configDialogProc(ConfigDialogState& state, platform::Handle dialog, uint32_t message,
                          uintptr_t wParam, intptr_t lParam);
