#pragma once

// Shared pieces of the tests: temporary files, images, a captured message
// sink, and the loader emulator running on a pseudo-terminal in this process.

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "emulator/loader.h"
#include "emulator/pty.h"
#include "serial/message.h"

// A directory that is removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Bytes that differ from frame to frame, so that a swapped or repeated frame
// shows.
std::vector<std::uint8_t> MakeImage(std::size_t size, std::uint32_t seed = 1);
void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> ReadFile(const std::string& path);

// Collects what the port shows while it lives; restores the previous sink.
class CapturedMessages {
 public:
  CapturedMessages();
  ~CapturedMessages();
  std::vector<std::string> texts;

 private:
  MessageSink previous_;
};

// Sets an environment variable for the lifetime of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value);
  ~ScopedEnv();

 private:
  std::string name_;
  std::string old_;
  bool hadOld_;
};

// The loader emulator on a new pseudo-terminal, on its own thread.
class EmulatedLoader {
 public:
  explicit EmulatedLoader(const LoaderConfig& config = {});
  ~EmulatedLoader();
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
  bool finished_ = false;
};

// Whether this process holds a descriptor on the file at path.
bool IsOpenInThisProcess(const std::string& path);
