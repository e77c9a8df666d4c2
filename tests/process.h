#pragma once

// Starting the project's programs from tests.

#include <sys/types.h>

#include <string>
#include <vector>

struct ProcessOutput {
  int exitCode = -1;  // 128 + signal number when it was killed
  std::string out;
  std::string err;
};

// Starts argv with the extra environment ("NAME=value") on top of this
// process's own. Its stdin is /dev/null; stdout and stderr go to the given
// descriptors.
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, int outFd,
            int errFd);

// Waits for the child; its exit code, or 128 + signal.
int WaitFor(pid_t pid);

// Runs argv to its end and collects what it printed.
ProcessOutput RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});

std::string ReadAll(int fd);
