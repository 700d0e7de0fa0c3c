// The serial ports by name: the device path the driver opens a port by, and the ports the machine
// has as the system lists them, found without opening any.
#pragma once

#include <cstddef>
#include <cstdint>

// Copies the zero-terminated `text` into `into`, cut to fit its `capacity`; answers the length
// copied.
size_t copyText(const char16_t* text, char16_t* into, size_t capacity);
// `number` in decimal digits, zero-terminated.
constexpr size_t numberTextLength = 11;
void formatNumber(uint32_t number, char16_t (&text)[numberTextLength]);

constexpr size_t portNameLength = 16;
// The port's device path, "\\.\COMn", as a zero-terminated wide string. Windows finds COM1 to COM9
// by their bare names too, but COM10 and above only by the device path, so every port is opened by
// it alike.
void formatPortName(uint16_t portNumber, char16_t (&name)[portNameLength]);
// "COMn" inside a device path made by formatPortName, the name a user knows the port by.
const char16_t* shortPortName(const char16_t (&name)[portNameLength]);
// The number of a port named "COMn" (letters in any case); false for any other name.
bool parsePortName(const char16_t* name, uint16_t& portNumber);

// What a user knows a port the machine has by: the name Windows shows for its device, such as
// "USB Serial Port (COM7)", or "COM7" when it has none; "COM7 (not present)" for one it lacks.
constexpr size_t portLabelLength = 128;
void labelPort(uint16_t portNumber, bool present, char16_t (&label)[portLabelLength]);
// Puts the port into the `count` port numbers in ascending order, unless it is there; answers how
// many there are now. `numbers` has room for one more.
uint32_t addPortNumber(uint16_t* numbers, uint32_t count, uint16_t portNumber);
// The numbers of the ports in the system's list from `first` to `last`, in order, at most
// `capacity` of them; answers how many. A port listed twice is counted once.
uint32_t listSerialPorts(uint16_t first, uint16_t last, uint16_t* numbers, uint32_t capacity);
