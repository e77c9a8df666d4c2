// CSerial on a POSIX terminal device (termios).

#include "serie.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "message.h"

namespace {

constexpr const char* kOpenFailed = "Could not create handle";

struct LineSettings {
  speed_t speed = 0;
  tcflag_t size = CS8;
  tcflag_t parity = 0;
  bool twoStopBits = false;
};

bool SpeedFor(long baud, speed_t& speed) {
  static constexpr struct {
    long baud;
    speed_t speed;
  } kSpeeds[] = {
      {1200, B1200},       {2400, B2400},       {4800, B4800},
      {9600, B9600},       {19200, B19200},     {38400, B38400},
      {57600, B57600},     {115200, B115200},   {230400, B230400},
      {460800, B460800},   {500000, B500000},   {576000, B576000},
      {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
      {1500000, B1500000}, {2000000, B2000000}, {3000000, B3000000},
  };
  for (const auto& entry : kSpeeds) {
    if (entry.baud == baud) {
      speed = entry.speed;
      return true;
    }
  }
  return false;
}

// Parses "115200,N,8,1": baud, parity (N, E or O), data bits (5 to 8), stop
// bits (1 or 2).
bool ParseSettings(const char* text, LineSettings& out) {
  char* end = nullptr;
  errno = 0;
  const long baud = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || !SpeedFor(baud, out.speed)) return false;
  char parity = 0;
  int data = 0;
  int stop = 0;
  char extra = 0;
  if (std::sscanf(end, ",%c,%d,%d%c", &parity, &data, &stop, &extra) != 3) return false;
  switch (parity) {
    case 'N': case 'n': out.parity = 0; break;
    case 'E': case 'e': out.parity = PARENB; break;
    case 'O': case 'o': out.parity = PARENB | PARODD; break;
    default: return false;
  }
  switch (data) {
    case 5: out.size = CS5; break;
    case 6: out.size = CS6; break;
    case 7: out.size = CS7; break;
    case 8: out.size = CS8; break;
    default: return false;
  }
  if (stop != 1 && stop != 2) return false;
  out.twoStopBits = stop == 2;
  return true;
}

// Splits a mode text into port name and settings. The port name is the first
// four characters ("COM1".."COM4"); a text that starts with '/' names a host
// device directly ("/dev/ttyUSB0:115200,N,8,1").
bool SplitMode(const char* mode, std::string& port, std::string& settings) {
  const std::string text = mode ? mode : "";
  std::size_t colon = 0;
  if (!text.empty() && text[0] == '/') {
    colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    port = text.substr(0, colon);
  } else {
    port = text.substr(0, 4);
    colon = text.find(':');
    if (colon == std::string::npos) return false;
  }
  settings = text.substr(colon + 1);
  return true;
}

constexpr tcflag_t kFramingBits = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS;

// Applies the line settings; returns the message of the step that failed, or
// nullptr.
const char* Configure(int fd, const std::string& settingsText) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return "GetCommState failed";
  LineSettings settings;
  if (!ParseSettings(settingsText.c_str(), settings)) return "BuildCommDCB failed";
  cfmakeraw(&tio);
  tio.c_iflag &= ~(IXON | IXOFF | IXANY);
  tio.c_cflag &= ~kFramingBits;
  tio.c_cflag |= CLOCAL | CREAD | settings.size | settings.parity |
                 (settings.twoStopBits ? CSTOPB : 0);
  tio.c_cc[VMIN] = 0;  // reads return at once with what has arrived
  tio.c_cc[VTIME] = 0;
  if (cfsetispeed(&tio, settings.speed) != 0 || cfsetospeed(&tio, settings.speed) != 0)
    return "BuildCommDCB failed";
  if (tcsetattr(fd, TCSANOW, &tio) != 0) return "SetCommState failed";
  // tcsetattr succeeds when any part of the change took; read back to be sure.
  termios applied{};
  if (tcgetattr(fd, &applied) != 0 || cfgetospeed(&applied) != settings.speed ||
      (applied.c_cflag & kFramingBits) != (tio.c_cflag & kFramingBits))
    return "SetCommState failed";
  // RTS inactive. A pseudo-terminal has no modem lines and refuses the call.
  int rts = TIOCM_RTS;
  if (ioctl(fd, TIOCMBIC, &rts) != 0 && errno != ENOTTY && errno != EINVAL)
    return "SetCommState failed";
  return nullptr;
}

// Waits up to timeoutMs for the events; returns poll's revents, 0 on timeout.
short WaitFor(int fd, short events, int timeoutMs) {
  pollfd p{fd, events, 0};
  const std::uint32_t start = TickCount();
  for (;;) {
    const int n = poll(&p, 1, timeoutMs);
    if (n > 0) return p.revents;
    if (n == 0 || errno != EINTR) return 0;
    const std::uint32_t spent = TickCount() - start;
    if (spent >= static_cast<std::uint32_t>(timeoutMs)) return 0;
    timeoutMs -= static_cast<int>(spent);
  }
}

int ClampMs(std::uint64_t ms) { return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms); }

}  // namespace

std::uint32_t TickCount() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                                    static_cast<std::uint64_t>(now.tv_nsec) / 1000000u);
}

std::string HostDeviceName(const std::string& port) {
  if (port.size() == 4 && port.compare(0, 3, "COM") == 0 && port[3] >= '1' && port[3] <= '4') {
    const std::string variable = "RXFLASH_" + port;
    if (const char* mapped = std::getenv(variable.c_str()); mapped && *mapped) return mapped;
    return std::string("/dev/ttyS") + static_cast<char>(port[3] - 1);
  }
  return port;
}

CSerial::~CSerial() { Close(); }

void CSerial::Open(const char* mode) {
  Close();
  std::string port;
  std::string settings;
  if (!SplitMode(mode, port, settings)) {
    ShowMessage("BuildCommDCB failed");
    return;
  }
  const int fd = ::open(HostDeviceName(port).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    ShowMessage(kOpenFailed);
    return;
  }
  // flock first: it also holds off root, whom TIOCEXCL does not stop. Only
  // then claim the tty, so that a failed attempt never clears the exclusive
  // flag of the program that owns the line.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
    ::close(fd);
    ShowMessage(kOpenFailed);
    return;
  }
  Handle = fd;
  if (const char* failure = Configure(fd, settings)) {
    ShowMessage(failure);
    Close();
  }
}

void CSerial::Close() {
  if (!IsOpen()) return;
  const int fd = static_cast<int>(Handle);
  tcflush(fd, TCIOFLUSH);
  ioctl(fd, TIOCNXCL);  // the tty may outlive us (a pseudo-terminal's peer)
  ::close(fd);
  Handle = InvalidHandle;
}

void CSerial::Purge() {
  if (IsOpen()) tcflush(static_cast<int>(Handle), TCIOFLUSH);
}

unsigned CSerial::Read(void* buffer, unsigned count, unsigned deadline) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  std::memset(bytes, 0xFF, count);
  if (!IsOpen()) return 0;
  const int fd = static_cast<int>(Handle);
  // Bytes read into the buffer at total; 0 when none are there, -1 when the
  // line is broken.
  auto readSome = [&](unsigned total) -> int {
    ssize_t n = 0;
    do {
      n = ::read(fd, bytes + total, count - total);
    } while (n < 0 && errno == EINTR);
    if (n >= 0) return static_cast<int>(n);
    return errno == EAGAIN ? 0 : -1;
  };
  unsigned total = count > 0 ? static_cast<unsigned>(std::max(readSome(0), 0)) : 0;
  const std::uint32_t start = TickCount();
  for (;;) {
    const std::uint32_t spent = TickCount() - start;
    if (spent >= deadline || total >= count) break;
    const int left = ClampMs(deadline - spent);
    const short events = WaitFor(fd, POLLIN, left);
    if (events == 0) continue;  // the deadline has passed
    const int got = (events & POLLIN) ? readSome(total) : 0;
    if (got > 0) {
      total += static_cast<unsigned>(got);
    } else if (got < 0 || (events & (POLLHUP | POLLERR | POLLNVAL))) {
      // Hung up or broken: nothing more can arrive. Let the deadline pass
      // without spinning on the line.
      const timespec rest{left / 1000, (left % 1000) * 1000000L};
      nanosleep(&rest, nullptr);
    }
  }
  return total;
}

unsigned CSerial::Write(const void* buffer, unsigned count) {
  if (!IsOpen()) return 0;
  const int fd = static_cast<int>(Handle);
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  const std::uint64_t limit = 200u + 200u * static_cast<std::uint64_t>(count);
  const std::uint32_t start = TickCount();
  unsigned written = 0;
  while (written < count) {
    const ssize_t n = ::write(fd, bytes + written, count - written);
    if (n > 0) {
      written += static_cast<unsigned>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) break;
    const std::uint32_t spent = TickCount() - start;
    if (spent >= limit) break;
    if (!(WaitFor(fd, POLLOUT, ClampMs(limit - spent)) & POLLOUT)) break;
  }
  return written;
}
