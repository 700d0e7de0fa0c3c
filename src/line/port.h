// Who holds the one serial port, under the owner rule (only one process at a time), and what a
// holder that died left sounding: opening, joining, losing and releasing the port. Writing to it
// is port_write.h's.
#pragma once

#include "line/line.h"
#include "line/outputs.h"
#include "line/port_names.h"

#include <cstdint>

constexpr uint32_t readWriteAccess = 0xC0000000; // GENERIC_READ | GENERIC_WRITE

// OS errors that the driver tells apart.
constexpr uint32_t ERROR_SUCCESS = 0;
constexpr uint32_t ERROR_INVALID_FUNCTION = 1;
constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
constexpr uint32_t ERROR_ACCESS_DENIED = 5;
constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr uint32_t ERROR_NOT_SUPPORTED = 50;
constexpr uint32_t ERROR_INSUFFICIENT_BUFFER = 122;
constexpr uint32_t ERROR_BUSY = 170;
constexpr uint32_t ERROR_OPERATION_ABORTED = 995;
constexpr uint32_t ERROR_IO_PENDING = 997;

// How the line is set up at every opening: 38400 baud, no parity, 8 data bits, 1 stop bit. A port
// keeps its other settings from the program that used it last, so every one that could keep MIDI
// from passing is set too: no flow control (the line runs without handshake, and XON/XOFF would
// take 0x11 and 0x13 out of the music), no DSR sensitivity, no replacement of bad or null
// bytes (0 is a common data byte), no abort after a line error (one framing error would stop all
// reading), DTR and RTS held high, and reads that take what has arrived: a read waits for the
// first byte instead of coming back empty at once and being issued again in a loop, and takes a
// backlog in one go instead of a byte per read, which a busy machine cannot keep up with.
constexpr platform::LineSetup lineSetup = {
    .mode = u"baud=38400 parity=N data=8 stop=1",
    .handling = {.outxCtsFlow = false,
                 .outxDsrFlow = false,
                 .dtrControl = platform::lineHigh,
                 .dsrSensitivity = false,
                 .outX = false,
                 .inX = false,
                 .errorChar = false,
                 .null = false,
                 .rtsControl = platform::lineHigh,
                 .abortOnError = false},
    .timeouts = platform::readsTakeWhatHasArrived,
};

// The longest an open or a close waits for another program's change of who holds the port. A
// change takes a few ms; a program stopped in the middle of one (in a debugger, or hung in a serial
// driver's close of a pulled adapter) must not stop every other program's opens for good. An open
// that waited this long is answered as if the device were in use; a close lets go of its own all
// the same.
constexpr uint32_t ownerLockWaitMs = 5000;

// Gives the stream a hold on the port: opens and configures the port, or joins it when this
// process holds it already. `portHold` holds nothing after every failure.
uint32_t attachPort(PortLine& line, DeviceKind kind, uint32_t index, PortHold& portHold);
// Releases the hold of the device `kind`, `index` and closes the port when no device slot holds
// it any longer.
void detachPort(PortLine& line, DeviceKind kind, uint32_t index, PortHold& portHold);
// True when the hold is on the opening of the port that is current.
bool holdsOpenPort(const PortLine& line, PortHold portHold);
// How often a line that was lost is tried again: a few times a second.
constexpr uint32_t reopenIntervalMs = 250;
// An I/O on the line's opening `opening` failed without being cancelled by the driver: the device
// is taken for gone. Its handle is closed, which ends every other I/O on it, and the port is tried
// again at once if it was not tried within reopenIntervalMs. Called with sendLock held.
void lineFailed(PortLine& line, uint32_t opening);
// Whether the process has a line to use now; a lost one is tried again when due. Called with
// sendLock held.
bool lineIsUp(PortLine& line);
// What a monitor is told of the line: `event`, counted as `count`.
void tellOfLine(const PortLine& line, TraceEvent event, Count count);
// Translates the calling thread's last OS error into a driver status.
uint32_t mapOsError();
// The same for a call known to have failed: never a success, whatever the last error says.
uint32_t mapFailure();
