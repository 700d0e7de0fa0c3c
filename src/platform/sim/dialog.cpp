#include "platform/config_dialog_ids.h"
#include "platform/sim/sim.h"

namespace {

constexpr uint32_t initDialogMessage = 0x110; // WM_INITDIALOG
constexpr uint32_t commandMessage = 0x111;    // WM_COMMAND
constexpr intptr_t dialogFailure = -1;
constexpr uint32_t listSelectionChanged = 1; // CBN_SELCHANGE

// The controls of the configuration dialog's template, with the automatic check boxes marked.
std::map<uint32_t, sim::Control> templateControls() {
    using namespace control;
    std::map<uint32_t, sim::Control> controls;
    for (uint32_t id : {ok, cancel, com1, com2, com3, com4, otherPort, otherPortList, synthGroup,
                        midiGroup, serialPortGroup, holder}) {
        controls[id] = {};
    }
    for (uint32_t id : {synthProgramChange, synthControlChange, synthBankSelect,
                        synthChannelPressure, synthPolyKeyPressure, synthExclusive,
                        midiProgramChange, midiControlChange, midiBankSelect, midiChannelPressure,
                        midiPolyKeyPressure, midiExclusive, independentMode, share}) {
        controls[id] = {.checked = false, .enabled = true, .toggles = true};
    }
    return controls;
}

sim::Dialog& shown() {
    return sim::world().dialog;
}

} // namespace

namespace sim {

bool click(uint32_t id) {
    Control& control = shown().controls.at(id);
    if (!control.enabled || shown().ended) {
        return false;
    }
    if (control.toggles) {
        control.checked = !control.checked;
    }
    shown().handler(shown().context, shown().handle, commandMessage, id, 0);
    return true;
}

const Control& control(uint32_t id) {
    return shown().controls.at(id);
}

bool choose(uint32_t id, int32_t item) {
    Control& list = shown().controls.at(id);
    if (!list.enabled || shown().ended || item < 0 ||
        static_cast<size_t>(item) >= list.items.size()) {
        return false;
    }
    list.selected = item;
    shown().handler(shown().context, shown().handle, commandMessage,
                    static_cast<uintptr_t>(listSelectionChanged) << 16 | id, 0);
    return true;
}

} // namespace sim

namespace platform {

intptr_t runDialog(uintptr_t, uint32_t templateId, Handle owner, DialogHandler handler,
                   void* context) {
    if (sim::world().dialogFails) {
        return dialogFailure;
    }
    shown() = {.handle = 0xD1A1,
               .templateId = templateId,
               .owner = owner,
               .handler = handler,
               .context = context,
               .controls = templateControls(),
               .messages = {},
               .ended = false,
               .result = 0};
    handler(context, shown().handle, initDialogMessage, 0, 0);
    if (sim::world().dialogUser) {
        sim::world().dialogUser();
    }
    if (!shown().ended) {
        sim::click(control::cancel);
    }
    return shown().result;
}

void endDialog(Handle, intptr_t result) {
    shown().ended = true;
    shown().result = result;
}

void checkRadioButton(Handle, uint32_t first, uint32_t last, uint32_t id) {
    for (uint32_t button = first; button <= last; ++button) {
        shown().controls.at(button).checked = button == id;
    }
}

void checkButton(Handle, uint32_t id, bool checked) {
    shown().controls.at(id).checked = checked;
}

bool buttonChecked(Handle, uint32_t id) {
    return shown().controls.at(id).checked;
}

void enableControl(Handle, uint32_t id, bool enabled) {
    shown().controls.at(id).enabled = enabled;
}

void setControlText(Handle, uint32_t id, const char16_t* text) {
    shown().controls.at(id).text = text;
}

void addListItem(Handle, uint32_t id, const char16_t* text) {
    shown().controls.at(id).items.emplace_back(text);
}

void selectListItem(Handle, uint32_t id, int32_t item) {
    sim::Control& list = shown().controls.at(id);
    list.selected = item >= 0 && static_cast<size_t>(item) < list.items.size() ? item : noListItem;
}

void showMessage(Handle, const char16_t* text, const char16_t*) {
    shown().messages.emplace_back(text);
}

int32_t selectedListItem(Handle, uint32_t id) {
    return shown().controls.at(id).selected;
}

} // namespace platform
