#pragma once

// A stand-in for the receiver's serial loader: it plays the loader's side of
// the exchange on a line, checks everything the uploader sends, and can be
// told to misbehave at each step the uploader waits on.

#include <cstdint>
#include <string>
#include <vector>

#include "unique_fd.h"

// The replies the uploader waits for.
enum class LoaderStep {
  None,
  Probe,  // 0x0004 to a probe
  Start,  // 0x0000 to 0x0028
  Ready,  // 0x0029 to the first 0x0000
  Frame,  // 0x0000 to frame N (0 is the first frame)
};

enum class Misbehaviour {
  Silent,       // no reply at all
  Wrong,        // a packet with another code
  BadArgument,  // the right code with a wrong argument
  Garbage,      // twelve bytes that are no packet
  HangUp,       // closes the line instead of replying
};

struct LoaderFault {
  LoaderStep step = LoaderStep::None;
  Misbehaviour how = Misbehaviour::Silent;
  int frame = 0;  // with LoaderStep::Frame
};

struct LoaderConfig {
  int answerProbe = 1;              // answers the K-th probe; 0: never
  std::uint16_t infoLength = 16;    // L of the information block
  LoaderFault fault;
  long baud = 0;                    // paces both directions as an 8N1 line; 0: unpaced
  int frameDelayMs = 0;             // per frame, before its acknowledgement
  int stopFd = -1;                  // readable: stop listening
  int idleTimeoutMs = 0;            // stop after this long without a byte; 0: never
};

struct LoaderReport {
  bool complete = false;  // a whole CRC-valid image, then the closing packet
  bool misbehaved = false;
  int probes = 0;
  int frames = 0;  // frames received whole, the first included
  std::vector<std::uint16_t> codes;  // codes of the packets received, in order
  std::vector<std::string> violations;
  std::vector<std::uint8_t> image;
  std::uint64_t bytesReceived = 0;
  std::uint64_t bytesSent = 0;
  std::uint64_t bytesAfterStop = 0;  // received after a misbehaviour or violation
};

// The line the loader talks on; a hang-up closes both descriptors.
struct LoaderLine {
  UniqueFd fd;
  UniqueFd held;  // a pseudo-terminal's other end, if the loader holds it
};

LoaderReport RunLoader(LoaderLine& line, const LoaderConfig& config);

// Parses "probe:wrong", "frame7:hangup", "start:silent", ... into fault.
bool ParseFault(const std::string& text, LoaderFault& fault);
