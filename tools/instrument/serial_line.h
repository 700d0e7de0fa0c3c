// The instrument's end of the serial line: a pseudo-terminal whose other end the driver's COM port
// is mapped to, or a real serial device, either way at 38400 baud 8N1 with no line processing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct SerialLine {
    int fd;
    bool pseudoTerminal;
    std::string peerPath; // the pseudo-terminal's other end, or the device path
    std::string linkPath; // the symbolic link made to the other end; removed on close
};

// Creates a pseudo-terminal; when `linkPath` is not empty, points a symbolic link there at the
// other end, replacing an earlier link but never a regular file. False with `error` set on
// failure.
bool openPseudoTerminal(SerialLine& line, const std::string& linkPath, std::string& error);

bool openSerialDevice(SerialLine& line, const std::string& path, std::string& error);

// Whether someone holds the other end: a pseudo-terminal is up only while its other end is open
// (the driver has the COM port open); a real device is always up.
bool lineIsUp(const SerialLine& line);

// Reads what has arrived, without waiting. Returns the byte count, 0 when nothing is there or the
// other end has gone, -1 on a real error.
long readLine(SerialLine& line, uint8_t* bytes, size_t capacity);

// Writes what the line takes now, without waiting. Returns the byte count, 0 when it takes
// nothing yet, -1 on a real error.
long writeLine(SerialLine& line, const uint8_t* bytes, size_t count);

void closeLine(SerialLine& line);
