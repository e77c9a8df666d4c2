#pragma once

// Shared pieces of the tests: temporary files, images, a captured message
// sink, the loader's closing message.

#include <cstdint>
#include <string>
#include <vector>

#include "emulator/emulated_loader.h"
#include "emulator/pty.h"
#include "serial/message.h"

// The last line of a complete upload.
inline const std::string kClosingMessage =
    "Fertig! Receiver erst neu starten, wenn \"GOOD\" im Display steht. Bei Geraeten ohne "
    "Displayanzeige etwa 1 Minute bis zum Neustart warten.";

const std::string kSwitchOn = "Receiver einschalten  ";
const std::string kConnected = "Verbindung hergestellt:  ";

// "Block 1" .. "Block <last>".
std::vector<std::string> Blocks(int last);
std::vector<std::string> Join(std::vector<std::string> head, const std::vector<std::string>& tail);

// The log of a complete upload.
const std::vector<std::string> kFullUpload =
    Join(Join({kSwitchOn, kConnected}, Blocks(514)), {kClosingMessage});

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

// Whether this process holds a descriptor on the file at path.
bool IsOpenInThisProcess(const std::string& path);
