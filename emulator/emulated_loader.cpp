#include "emulated_loader.h"

#include <fcntl.h>
#include <unistd.h>

#include "pty.h"

EmulatedLoader::EmulatedLoader(const LoaderConfig& config) : config_(config) {
  PtyPair pty;
  int stop[2];
  if (!OpenPtyPair(pty) || pipe2(stop, O_CLOEXEC) != 0) return;
  stopRead_.Reset(stop[0]);
  stopWrite_.Reset(stop[1]);
  line_.fd = std::move(pty.master);
  line_.held = std::move(pty.slave);
  path_ = pty.slavePath;
  config_.stopFd = stopRead_.Get();
  thread_ = std::thread([this] { report_ = RunLoader(line_, config_); });
}

EmulatedLoader::~EmulatedLoader() { Finish(); }

const LoaderReport& EmulatedLoader::Finish() {
  if (thread_.joinable()) {
    // What the uploader wrote last is on its way through the pseudo-terminal;
    // give the loader a moment to take it in before it is told to stop.
    usleep(50'000);
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(stopWrite_.Get(), &byte, 1);
    thread_.join();
  }
  return report_;
}
