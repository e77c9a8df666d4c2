#pragma once

#include <string>
#include <thread>

#include "loader.h"

// The loader emulator on a new pseudo-terminal, on a thread of this process:
// for tests and benchmarks that drive a real serial line against it.
class EmulatedLoader {
 public:
  explicit EmulatedLoader(const LoaderConfig& config = {});
  ~EmulatedLoader();
  EmulatedLoader(const EmulatedLoader&) = delete;
  EmulatedLoader& operator=(const EmulatedLoader&) = delete;

  // False when no pseudo-terminal could be had.
  bool Running() const { return thread_.joinable(); }
  // The path a serial program opens.
  const std::string& Path() const { return path_; }
  // Tells the loader to stop listening once what is on the line is read,
  // and returns what it saw.
  const LoaderReport& Finish();

 private:
  LoaderConfig config_;
  LoaderLine line_;
  std::string path_;
  UniqueFd stopRead_, stopWrite_;
  LoaderReport report_;
  std::thread thread_;
};
