#pragma once

// The application's single serial line and the user's port choice, shared by
// the window program and the command-line program.

#include <cstdint>

#include "serial/serie.h"

constexpr int LineBaud = 115200;

extern CSerial SerialPort;
extern std::uint8_t PortIndex;  // 0..3 for COM1..COM4
extern char ModeString[256];    // e.g. "COM3:115200,N,8,1"

// Writes "COM<n>:<baud>,N,8,1" into ModeString.
void FormatModeString(std::uint8_t portNumber, int baud);

// Opens the port that PortIndex names with the loader's line settings,
// closing any line that is open first.
void ActivatePort();

// Opens SerialPort with the mode text (closing any open line first) and
// discards whatever was pending on a line that opened.
void OpenLine(const char* mode);
