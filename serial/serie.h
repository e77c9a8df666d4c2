#pragma once

#include <cstdint>
#include <string>

// One serial line with the loader's settings. Open takes a mode text such as
// "COM3:115200,N,8,1": the first four characters name the port, the rest are
// the line settings. Failures are shown through ShowMessage (message.h) and
// leave the port closed; callers learn the outcome from IsOpen.
//
// The members are implemented once per platform (serie_posix.cpp here); this
// header is the seam and holds nothing platform-specific.
class CSerial {
 public:
  // The operating-system handle of the line; all bits set when none is open.
  using NativeHandle = std::intptr_t;
  static constexpr NativeHandle InvalidHandle = -1;

  CSerial() = default;
  virtual ~CSerial();
  CSerial(const CSerial&) = delete;
  CSerial& operator=(const CSerial&) = delete;

  void Open(const char* mode);
  void Close();
  void Purge();
  bool IsOpen() const { return Handle != InvalidHandle; }

  // Fills the first count bytes of buffer with 0xFF, then with what arrives
  // until count bytes are in or deadline milliseconds have passed. Returns the
  // number of bytes received.
  unsigned Read(void* buffer, unsigned count, unsigned deadline);

  // Sends count bytes, giving up after 200 ms plus 200 ms per byte. Returns
  // the number of bytes written.
  unsigned Write(const void* buffer, unsigned count);

 private:
  NativeHandle Handle = InvalidHandle;
};

// The host device that a port name ("COM1".."COM4") stands for.
std::string HostDeviceName(const std::string& port);

// Milliseconds of a monotonic clock; wraps, so compare differences unsigned.
std::uint32_t TickCount();
