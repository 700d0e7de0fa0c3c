// The configuration dialog's template and control ids, in one place for the dialog template
// (resources/config_dialog.rc), the dialog's logic, the simulated dialog manager and the tests.
// The resource compiler reads this header too and understands only the macros; C++ code uses the
// typed names below them. It sits with the platform, below the dialog's logic, since the simulated
// dialog manager stands in for the template and needs the same ids.
#pragma once

#define CONFIG_DIALOG_TEMPLATE 100

#define CONFIG_OK 1     // the dialog manager's IDOK
#define CONFIG_CANCEL 2 // the dialog manager's IDCANCEL
// "Serial Port": the group box and one radio button per port, COM1 to COM4 in order.
#define CONFIG_SERIAL_PORT_GROUP 120
#define CONFIG_COM1 101
#define CONFIG_COM2 102
#define CONFIG_COM3 103
#define CONFIG_COM4 104
// A port above COM4: its radio button, and the drop-down list of those the machine has.
#define CONFIG_OTHER_PORT 121
#define CONFIG_OTHER_PORT_LIST 122
// "Synth Out Messages" (destinations 2 and 3): the group box, then one box per kind of message,
// each at the group's id + the kind (kindProgramChange 1 to kindExclusive 6).
#define CONFIG_SYNTH_GROUP 105
#define CONFIG_SYNTH_PROGRAM_CHANGE 106
#define CONFIG_SYNTH_CONTROL_CHANGE 107
#define CONFIG_SYNTH_BANK_SELECT 108
#define CONFIG_SYNTH_CHANNEL_PRESSURE 109
#define CONFIG_SYNTH_POLY_KEY_PRESSURE 110
#define CONFIG_SYNTH_EXCLUSIVE 111
// "MIDI Out Messages" (destinations 0 and 1), laid out as the synth group.
#define CONFIG_MIDI_GROUP 112
#define CONFIG_MIDI_PROGRAM_CHANGE 113
#define CONFIG_MIDI_CONTROL_CHANGE 114
#define CONFIG_MIDI_BANK_SELECT 115
#define CONFIG_MIDI_CHANNEL_PRESSURE 116
#define CONFIG_MIDI_POLY_KEY_PRESSURE 117
#define CONFIG_MIDI_EXCLUSIVE 118
// "Independent Synth / MIDI Out".
#define CONFIG_INDEPENDENT_MODE 119
// The line that names the program holding the instrument.
#define CONFIG_HOLDER 123
// "Let several programs use the instrument at once".
#define CONFIG_SHARE 124

#ifndef RC_INVOKED

#include <cstdint>

constexpr uint32_t configDialogTemplate = CONFIG_DIALOG_TEMPLATE;

// The dialog's controls by id.
namespace control {
constexpr uint32_t ok = CONFIG_OK;
constexpr uint32_t cancel = CONFIG_CANCEL;
constexpr uint32_t serialPortGroup = CONFIG_SERIAL_PORT_GROUP;
constexpr uint32_t com1 = CONFIG_COM1;
constexpr uint32_t com2 = CONFIG_COM2;
constexpr uint32_t com3 = CONFIG_COM3;
constexpr uint32_t com4 = CONFIG_COM4;
constexpr uint32_t otherPort = CONFIG_OTHER_PORT;
constexpr uint32_t otherPortList = CONFIG_OTHER_PORT_LIST;
constexpr uint32_t synthGroup = CONFIG_SYNTH_GROUP;
constexpr uint32_t synthProgramChange = CONFIG_SYNTH_PROGRAM_CHANGE;
constexpr uint32_t synthControlChange = CONFIG_SYNTH_CONTROL_CHANGE;
constexpr uint32_t synthBankSelect = CONFIG_SYNTH_BANK_SELECT;
constexpr uint32_t synthChannelPressure = CONFIG_SYNTH_CHANNEL_PRESSURE;
constexpr uint32_t synthPolyKeyPressure = CONFIG_SYNTH_POLY_KEY_PRESSURE;
constexpr uint32_t synthExclusive = CONFIG_SYNTH_EXCLUSIVE;
constexpr uint32_t midiGroup = CONFIG_MIDI_GROUP;
constexpr uint32_t midiProgramChange = CONFIG_MIDI_PROGRAM_CHANGE;
constexpr uint32_t midiControlChange = CONFIG_MIDI_CONTROL_CHANGE;
constexpr uint32_t midiBankSelect = CONFIG_MIDI_BANK_SELECT;
constexpr uint32_t midiChannelPressure = CONFIG_MIDI_CHANNEL_PRESSURE;
constexpr uint32_t midiPolyKeyPressure = CONFIG_MIDI_POLY_KEY_PRESSURE;
constexpr uint32_t midiExclusive = CONFIG_MIDI_EXCLUSIVE;
constexpr uint32_t independentMode = CONFIG_INDEPENDENT_MODE;
constexpr uint32_t holder = CONFIG_HOLDER;
constexpr uint32_t share = CONFIG_SHARE;
} // namespace control

#endif
