// rxflash-loader: plays the receiver's serial loader on a pseudo-terminal (or
// a given serial device), for tests and for trying rxflash without a receiver.

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "loader.h"
#include "pty.h"

namespace {

constexpr const char* kUsage =
    "usage: rxflash-loader [options]\n"
    "  --device PATH       serve on this serial device instead of a new pseudo-terminal\n"
    "  --link PATH         also publish the line's path as a symlink at PATH\n"
    "  --output FILE       write the received image here once it is complete\n"
    "  --answer-probe K    stay silent until the K-th probe (default 1; 0: never answer)\n"
    "  --info-length L     body length of the information block, 0..65535 (default 16)\n"
    "  --fault STEP:HOW    misbehave at STEP (probe, start, ready, frameN with N = 0 for the\n"
    "                      first frame) in the way HOW (silent, wrong, badarg, garbage, hangup)\n"
    "  --baud B            pace both directions like an 8N1 line at B baud\n"
    "  --frame-delay MS    wait MS per frame before acknowledging it\n"
    "  --idle-timeout S    give up after S seconds without a byte\n"
    "The line's path is printed on the first line of stdout. Exit status: 0 after a\n"
    "complete, CRC-valid image and the closing packet; 1 after a protocol violation;\n"
    "2 when the upload did not complete; 64 for a usage error.\n";

int stopPipe[2] = {-1, -1};

void OnSignal(int) {
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = write(stopPipe[1], &byte, 1);
}

bool ParseNumber(const char* text, long low, long high, long& out) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < low || value > high) return false;
  out = value;
  return true;
}

bool OpenDevice(const std::string& path, LoaderLine& line) {
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
  termios tio{};
  if (!fd.Valid() || tcgetattr(fd.Get(), &tio) != 0) return false;
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  cfsetspeed(&tio, B115200);
  if (tcsetattr(fd.Get(), TCSANOW, &tio) != 0) return false;
  line.fd = std::move(fd);
  return true;
}

bool WriteImage(const std::string& path, const std::vector<std::uint8_t>& image) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  const bool written = std::fwrite(image.data(), 1, image.size(), file) == image.size();
  return std::fclose(file) == 0 && written;
}

}  // namespace

int main(int argc, char** argv) {
  LoaderConfig config;
  std::string device, link, output;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    long number = 0;
    bool ok = value != nullptr;
    if (arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--device" && ok) {
      device = value;
    } else if (arg == "--link" && ok) {
      link = value;
    } else if (arg == "--output" && ok) {
      output = value;
    } else if (arg == "--answer-probe" && ok && (ok = ParseNumber(value, 0, 1000, number))) {
      config.answerProbe = static_cast<int>(number);
    } else if (arg == "--info-length" && ok && (ok = ParseNumber(value, 0, 65535, number))) {
      config.infoLength = static_cast<std::uint16_t>(number);
    } else if (arg == "--fault" && ok && (ok = ParseFault(value, config.fault))) {
    } else if (arg == "--baud" && ok && (ok = ParseNumber(value, 1, 100'000'000, number))) {
      config.baud = number;
    } else if (arg == "--frame-delay" && ok && (ok = ParseNumber(value, 0, 60'000, number))) {
      config.frameDelayMs = static_cast<int>(number);
    } else if (arg == "--idle-timeout" && ok && (ok = ParseNumber(value, 1, 86'400, number))) {
      config.idleTimeoutMs = static_cast<int>(number * 1000);
    } else {
      ok = false;
    }
    if (!ok) {
      std::fprintf(stderr, "rxflash-loader: bad argument '%s'\n%s", arg.c_str(), kUsage);
      return 64;
    }
    ++i;
  }

  LoaderLine line;
  std::string path = device;
  if (device.empty()) {
    PtyPair pty;
    if (!OpenPtyPair(pty)) {
      std::perror("rxflash-loader: pseudo-terminal");
      return 2;
    }
    line.fd = std::move(pty.master);
    line.held = std::move(pty.slave);
    path = pty.slavePath;
  } else if (!OpenDevice(device, line)) {
    std::perror(("rxflash-loader: " + device).c_str());
    return 2;
  }
  if (!link.empty()) {
    ::unlink(link.c_str());
    if (::symlink(path.c_str(), link.c_str()) != 0) {
      std::perror(("rxflash-loader: " + link).c_str());
      return 2;
    }
  }

  if (pipe2(stopPipe, O_CLOEXEC) != 0) return 2;
  config.stopFd = stopPipe[0];
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);

  std::printf("%s\n", path.c_str());
  std::fflush(stdout);

  const LoaderReport report = RunLoader(line, config);
  if (!link.empty()) ::unlink(link.c_str());

  std::fprintf(stderr, "rxflash-loader: %d probes, %d frames, %zu image bytes, %llu bytes after stopping\n",
               report.probes, report.frames, report.image.size(),
               static_cast<unsigned long long>(report.bytesAfterStop));
  for (const std::string& violation : report.violations)
    std::fprintf(stderr, "rxflash-loader: violation: %s\n", violation.c_str());
  if (!report.complete) {
    std::fprintf(stderr, "rxflash-loader: upload incomplete\n");
    return report.violations.empty() ? 2 : 1;
  }
  if (!output.empty() && !WriteImage(output, report.image)) {
    std::perror(("rxflash-loader: " + output).c_str());
    return 2;
  }
  std::fprintf(stderr, "rxflash-loader: image complete\n");
  return 0;
}
