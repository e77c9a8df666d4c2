#include "pty.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>

bool OpenPtyPair(PtyPair& pty) {
  UniqueFd master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!master.Valid() || grantpt(master.Get()) != 0 || unlockpt(master.Get()) != 0) return false;
  char name[128];
  if (ptsname_r(master.Get(), name, sizeof name) != 0) return false;
  UniqueFd slave(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!slave.Valid()) return false;
  // Raw from the start: an echoing line would hand the loader its own bytes.
  termios tio{};
  if (tcgetattr(slave.Get(), &tio) != 0) return false;
  cfmakeraw(&tio);
  if (tcsetattr(slave.Get(), TCSANOW, &tio) != 0) return false;
  pty.master = std::move(master);
  pty.slave = std::move(slave);
  pty.slavePath = name;
  return true;
}
