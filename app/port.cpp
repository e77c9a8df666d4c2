#include "port.h"

#include <cstdio>

CSerial SerialPort;
std::uint8_t PortIndex = 2;
char ModeString[256] = {};

void FormatModeString(std::uint8_t portNumber, int baud) {
  std::snprintf(ModeString, sizeof ModeString, "COM%c:%d,N,8,1", '0' + portNumber, baud);
}

void OpenLine(const char* mode) {
  if (SerialPort.IsOpen()) SerialPort.Close();
  SerialPort.Open(mode);
  if (SerialPort.IsOpen()) SerialPort.Purge();
}

void ActivatePort() {
  FormatModeString(static_cast<std::uint8_t>(PortIndex + 1), LineBaud);
  OpenLine(ModeString);
}
