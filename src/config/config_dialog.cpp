#include "config/config_dialog.h"

#include "config/settings.h"
#include "line/port.h"

#include <iterator>

namespace {

constexpr uint16_t alwaysSetBit = 1; // bit 0 carries no meaning and is written as 1

bool maskBit(uint16_t mask, uint32_t bit) {
    return (mask >> bit & 1u) != 0;
}

// A group's box for the message kind: the group's id plus the kind's number.
constexpr uint32_t kindBox(uint32_t group, MessageKind kind) {
    return group + static_cast<uint32_t>(kind);
}
static_assert(kindBox(control::synthGroup, firstMessageKind) == control::synthProgramChange &&
              kindBox(control::synthGroup, lastMessageKind) == control::synthExclusive);
static_assert(kindBox(control::midiGroup, firstMessageKind) == control::midiProgramChange &&
              kindBox(control::midiGroup, lastMessageKind) == control::midiExclusive);

// A port's button is COM1's id - 1 + the port number.
constexpr uint32_t firstPortButton = control::com1;
constexpr uint32_t lastPortButton = control::com4;
static_assert(lastPortButton - firstPortButton == lastButtonPort - firstPort);

constexpr uint32_t listSelectionChanged = 1; // CBN_SELCHANGE, in the high 16 bits of wParam

void enableSynthGroup(platform::Handle dialog, bool enabled) {
    platform::enableControl(dialog, control::synthGroup, enabled);
    for (MessageKind kind = firstMessageKind; kind <= lastMessageKind;
         kind = nextMessageKind(kind)) {
        platform::enableControl(dialog, kindBox(control::synthGroup, kind), enabled);
    }
}

// The ports are looked for when the dialog opens, its only reader, and never when the driver is
// loaded. A port that opens for writing, exclusively, is present; one that does not (missing, or
// in another program's use at this moment) keeps whatever an earlier look found.
void probePorts(SharedState& shared) {
    for (uint16_t port = firstPort; port <= lastButtonPort; ++port) {
        char16_t name[portNameLength];
        formatPortName(port, name);
        if (platform::probeSerialPort(name)) {
            markPortPresent(shared, port);
        }
    }
}

// Checks the port's button: its own for COM1 to COM4, the other port's for any above.
void showChosenPort(platform::Handle dialog, uint16_t port) {
    bool other = port > lastButtonPort;
    platform::checkRadioButton(dialog, firstPortButton, lastPortButton,
                               other ? control::otherPort : firstPortButton - 1 + port);
    platform::checkButton(dialog, control::otherPort, other);
}

// The ports above COM4 come from the system's list of the machine's ports, which opens none of
// them (a USB adapter may have any number). The configured one is shown even when it is absent
// right now, marked so, and selected: opening the dialog and pressing OK never loses it. Without
// a configured one the first port is preselected, ready for the other port's button.
void fillOtherPorts(ConfigDialogState& state, platform::Handle dialog) {
    constexpr uint32_t capacity = sizeof state.otherPorts / sizeof state.otherPorts[0];
    state.otherPortCount =
        listSerialPorts(lastButtonPort + 1, lastPort, state.otherPorts, capacity);
    uint32_t listed = state.otherPortCount;
    uint16_t configured = state.shared->portNumber;
    if (configured > lastButtonPort) {
        state.otherPortCount = addPortNumber(state.otherPorts, state.otherPortCount, configured);
    }
    bool configuredAbsent = state.otherPortCount > listed;
    int32_t selected = state.otherPortCount == 0 ? platform::noListItem : 0;
    for (uint32_t item = 0; item < state.otherPortCount; ++item) {
        uint16_t port = state.otherPorts[item];
        char16_t label[portLabelLength];
        labelPort(port, !(configuredAbsent && port == configured), label);
        platform::addListItem(dialog, control::otherPortList, label);
        if (port == configured) {
            selected = static_cast<int32_t>(item);
        }
    }
    platform::selectListItem(dialog, control::otherPortList, selected);
    bool any = state.otherPortCount != 0;
    platform::enableControl(dialog, control::otherPort, any);
    platform::enableControl(dialog, control::otherPortList, any);
}

// The port selected in the other ports' list becomes the choice.
void chooseOtherPort(ConfigDialogState& state, platform::Handle dialog) {
    int32_t item = platform::selectedListItem(dialog, control::otherPortList);
    if (item < 0 || static_cast<uint32_t>(item) >= state.otherPortCount) {
        return;
    }
    state.pendingPort = state.otherPorts[item];
    showChosenPort(dialog, state.pendingPort);
}

// Names the program that holds the instrument, so that a user who is told it is in use knows
// which program to close.
void showHolder(const SharedState& shared, platform::Handle dialog) {
    OwnerToken owner = shared.owner;
    char16_t name[64];
    if (!portIsHeld(shared) || !platform::processFileName(owner, name, std::size(name))) {
        platform::setControlText(dialog, control::holder, u"No program is using the instrument.");
        return;
    }
    char16_t id[numberTextLength];
    formatNumber(owner.id, id);
    char16_t line[128];
    size_t at = 0;
    for (const char16_t* part : {u"In use by ", static_cast<const char16_t*>(name), u" (process ",
                                 static_cast<const char16_t*>(id), u")."}) {
        at += copyText(part, line + at, std::size(line) - at);
    }
    platform::setControlText(dialog, control::holder, line);
}

void initDialog(ConfigDialogState& state, platform::Handle dialog) {
    SharedState& shared = *state.shared;
    showHolder(shared, dialog);
    probePorts(shared);
    state.pendingPort = shared.portNumber;
    fillOtherPorts(state, dialog);
    showChosenPort(dialog, shared.portNumber);
    // An absent port cannot be chosen; the one configured stays checked even when absent.
    for (uint16_t port = firstPort; port <= lastButtonPort; ++port) {
        if (!maskBit(shared.presentPorts, port)) {
            platform::enableControl(dialog, firstPortButton - 1 + port, false);
        }
    }
    platform::checkButton(dialog, control::share, shared.sharing != 0);
    bool independent = independentMode(shared);
    platform::checkButton(dialog, control::independentMode, independent);
    for (MessageKind kind = firstMessageKind; kind <= lastMessageKind;
         kind = nextMessageKind(kind)) {
        if (maskBit(messageMask(shared), messageBit(kind, midiKindsAt))) {
            platform::checkButton(dialog, kindBox(control::midiGroup, kind), true);
        }
        if (maskBit(messageMask(shared), messageBit(kind, synthKindsAt))) {
            platform::checkButton(dialog, kindBox(control::synthGroup, kind), true);
        }
    }
    if (!independent) {
        enableSynthGroup(dialog, false);
    }
}

// The mask as the dialog shows it; a disabled box still counts with its check mark.
uint16_t maskFromDialog(platform::Handle dialog) {
    uint16_t mask = alwaysSetBit;
    for (MessageKind kind = firstMessageKind; kind <= lastMessageKind;
         kind = nextMessageKind(kind)) {
        if (platform::buttonChecked(dialog, kindBox(control::midiGroup, kind))) {
            mask = static_cast<uint16_t>(mask | 1u << messageBit(kind, midiKindsAt));
        }
        if (platform::buttonChecked(dialog, kindBox(control::synthGroup, kind))) {
            mask = static_cast<uint16_t>(mask | 1u << messageBit(kind, synthKindsAt));
        }
    }
    if (platform::buttonChecked(dialog, control::independentMode)) {
        mask |= independentModeBit;
    }
    return mask;
}

// The registry first: settings that cannot be stored are not applied either, since they would
// look saved to every program and be gone once the last of them unloads the driver. The port
// number before the mask: other processes see a mask only once everything is stored.
bool save(ConfigDialogState& state, platform::Handle dialog) {
    SharedState& shared = *state.shared;
    uint16_t mask = maskFromDialog(dialog);
    bool sharing = platform::buttonChecked(dialog, control::share);
    if (!saveSettings(state.pendingPort, mask, sharing)) {
        return false;
    }
    shared.portNumber = state.pendingPort;
    shared.sharing = sharing ? 1 : 0;
    setMessageMask(shared, mask);
    return true;
}

constexpr char16_t notSavedTitle[] = u"MELV PC I/F MIDI Driver settings";
constexpr char16_t notSavedText[] =
    u"The settings cannot be saved: changing them needs administrator rights, which this "
    u"program does not have. Nothing was changed.\n\n"
    u"To change them, open \"MELV PC I/F MIDI Driver settings\" in the Start menu and let "
    u"Windows give it those rights when it asks.";

intptr_t command(ConfigDialogState& state, platform::Handle dialog, uint32_t id,
                 uint32_t notification) {
    if (id == control::ok) {
        // Unsaved, the dialog stays open with the choices the user made, until Cancel.
        if (save(state, dialog)) {
            platform::endDialog(dialog, 1);
        } else {
            platform::showMessage(dialog, notSavedText, notSavedTitle);
        }
    } else if (id == control::cancel) {
        platform::endDialog(dialog, 0);
    } else if (id >= firstPortButton && id <= lastPortButton) {
        // The radio buttons are not automatic: the check mark moves here.
        state.pendingPort = static_cast<uint16_t>(id - (firstPortButton - 1));
        showChosenPort(dialog, state.pendingPort);
    } else if (id == control::otherPort ||
               (id == control::otherPortList && notification == listSelectionChanged)) {
        chooseOtherPort(state, dialog);
    } else if (id == control::independentMode) {
        enableSynthGroup(dialog, platform::buttonChecked(dialog, control::independentMode));
    } else {
        return 0; // the other boxes toggle themselves and are read at OK
    }
    return 1;
}

intptr_t handleDialogMessage(void* context, platform::Handle dialog, uint32_t message,
                             uintptr_t wParam, intptr_t lParam) {
    return configDialogProc(*static_cast<ConfigDialogState*>(context), dialog, message, wParam,
                            lParam);
}

} // namespace

intptr_t runConfigDialog(SharedState& shared, uintptr_t moduleHandle, platform::Handle owner) {
    ConfigDialogState state = {.shared = &shared, .pendingPort = 0, .otherPortCount = 0};
    return platform::runDialog(moduleHandle, configDialogTemplate, owner, handleDialogMessage,
                               &state);
}

intptr_t configDialogProc(ConfigDialogState& state, platform::Handle dialog, uint32_t message,
                          uintptr_t wParam, intptr_t) {
    switch (message) {
    case WM_INITDIALOG:
        initDialog(state, dialog);
        return 1; // the dialog manager sets the initial focus
    case WM_COMMAND:
        return command(state, dialog, static_cast<uint32_t>(wParam & 0xFFFF),
                       static_cast<uint32_t>(wParam >> 16 & 0xFFFF));
    default:
        return 0;
    }
}
