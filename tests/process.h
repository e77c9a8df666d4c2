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
// The same, for at most timeoutMs; then the child is killed and -2 returned.
int WaitFor(pid_t pid, int timeoutMs);

// Runs argv to its end and collects what it printed.
ProcessOutput RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});

std::string ReadAll(int fd);

// rxflash-loader in the background, its line published as a symlink "line"
// in dir, the image it receives written to "received.bin" there. It gives up
// after 4 seconds without a byte.
class LoaderProcess {
 public:
  LoaderProcess(const std::string& program, const std::string& dir, std::vector<std::string> args);
  ~LoaderProcess();
  LoaderProcess(const LoaderProcess&) = delete;
  LoaderProcess& operator=(const LoaderProcess&) = delete;

  const std::string& Link() const { return link_; }
  const std::string& Output() const { return output_; }
  int Wait();
  std::string Report() const;  // what it printed on stderr

 private:
  std::string link_, output_, err_;
  pid_t pid_ = -1;
};
