#pragma once

#include <string>

#include "unique_fd.h"

// A pseudo-terminal in raw mode: the loader's end (master) and the path of
// the end a serial program opens. The slave end is held open too, so that
// the line survives the program closing and reopening it.
struct PtyPair {
  UniqueFd master;
  UniqueFd slave;
  std::string slavePath;
};

bool OpenPtyPair(PtyPair& pty);
