// rxflash-cli: headless and scripted flashing through the same line settings
// and upload as the window program.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/port.h"
#include "serial/message.h"
#include "upload/packet.h"
#include "upload/upload.h"

#ifndef RXFLASH_VERSION
#define RXFLASH_VERSION "unknown"
#endif

namespace {

enum ExitCode {
  ExitDone = 0,
  ExitUsage = 1,
  ExitBadImage = 2,
  ExitPort = 3,
  ExitLoaderNotFound = 4,
  ExitExchange = 5,
  ExitTransfer = 6,
};

constexpr const char* kUsage =
    "usage: rxflash-cli [--port PORT] IMAGE\n"
    "Writes the 2 MiB firmware IMAGE into the receiver's loader on PORT.\n"
    "\n"
    "  --port PORT   COM1..COM4 (default COM3) or a device path such as /dev/ttyUSB0.\n"
    "                COMn is the device in $RXFLASH_COMn, else /dev/ttyS0../dev/ttyS3.\n"
    "  --help        this text\n"
    "  --version     the program's version\n"
    "\n"
    "Every log line goes to stdout, port messages to stderr.\n"
    "Exit status:\n"
    "  0  the image was sent and the closing message reached\n"
    "  1  bad arguments\n"
    "  2  bad image: cannot be opened, not 2,097,152 bytes, or a read error\n"
    "  3  the port could not be opened\n"
    "  4  the loader did not answer the probes\n"
    "  5  the loader's opening exchange failed\n"
    "  6  a frame was not acknowledged\n";

int ExitCodeFor(UploadResult result) {
  switch (result) {
    case UploadResult::Done: return ExitDone;
    case UploadResult::ImageNotOpened:
    case UploadResult::WrongSize:
    case UploadResult::ImageReadError: return ExitBadImage;
    case UploadResult::LoaderNotFound: return ExitLoaderNotFound;
    case UploadResult::ExchangeFailed: return ExitExchange;
    case UploadResult::TransferFailed:
    case UploadResult::Stopped: return ExitTransfer;
  }
  return ExitTransfer;
}

// Prints the log on stdout. On a terminal the "Block %d" lines become one
// progress line redrawn in place; elsewhere every line is printed as it is.
class ConsoleLog {
 public:
  explicit ConsoleLog(bool live) : live_(live) {}

  void Append(const std::string& line) {
    int block = 0;
    if (live_ && std::sscanf(line.c_str(), "Block %d", &block) == 1) {
      block_ = block;
      return;
    }
    EndProgress();
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    since_ = Clock::now();
  }

  void DrawProgress() {
    if (!live_ || block_ == 0) return;
    const double seconds = std::chrono::duration<double>(Clock::now() - since_).count();
    const double sent = static_cast<double>(block_ + 1) * BlockPayload;
    const double rate = seconds > 0 ? sent / seconds : 0;
    const double left = rate > 0 ? (ImageSize - sent) / rate : 0;
    const int leftSeconds = left > 0 ? static_cast<int>(left + 0.5) : 0;
    std::printf("\r\033[KBlock %d/%d  %3d%%  %.1f KiB/s  %d:%02d left", block_, LaterFrameCount,
                block_ * 100 / LaterFrameCount, rate / 1024, leftSeconds / 60, leftSeconds % 60);
    std::fflush(stdout);
    progressShown_ = true;
  }

  void EndProgress() {
    if (!progressShown_) return;
    std::printf("\n");
    progressShown_ = false;
  }

 private:
  using Clock = std::chrono::steady_clock;
  bool live_;
  bool progressShown_ = false;
  int block_ = 0;
  Clock::time_point since_ = Clock::now();
};

bool IsComName(const std::string& port) {
  return port.size() == 4 && port.compare(0, 3, "COM") == 0 && port[3] >= '1' && port[3] <= '4';
}

// Opens the line that --port names, with the loader's line settings.
bool OpenPort(const std::string& port) {
  if (IsComName(port)) {
    PortIndex = static_cast<std::uint8_t>(port[3] - '1');
    ActivatePort();
  } else {
    std::snprintf(ModeString, sizeof ModeString, "%s:%d,N,8,1", port.c_str(), LineBaud);
    OpenLine(ModeString);
  }
  return SerialPort.IsOpen();
}

bool ValidPort(const std::string& port) {
  return IsComName(port) || (!port.empty() && port[0] == '/' && port.size() < sizeof ModeString - 20);
}

}  // namespace

int main(int argc, char** argv) {
  std::string port = "COM3";
  std::string image;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help") {
      std::fputs(kUsage, stdout);
      return ExitDone;
    }
    if (arg == "--version") {
      std::printf("rxflash-cli %s\n", RXFLASH_VERSION);
      return ExitDone;
    }
    if (arg == "--port" && i + 1 < argc) {
      port = argv[++i];
    } else if (!arg.empty() && arg[0] != '-' && image.empty()) {
      image = arg;
    } else {
      std::fprintf(stderr, "rxflash-cli: bad argument '%s'\n%s", arg.c_str(), kUsage);
      return ExitUsage;
    }
  }
  if (image.empty() || !ValidPort(port)) {
    std::fprintf(stderr, "rxflash-cli: %s\n%s",
                 image.empty() ? "no image given" : "PORT is COM1..COM4 or a device path", kUsage);
    return ExitUsage;
  }

  SetMessageSink([](const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); });
  if (!OpenPort(port)) {
    std::fprintf(stderr, "Port Error.\n");
    return ExitPort;
  }

  ConsoleLog console(isatty(STDOUT_FILENO) == 1);
  const UploadResult result = UploadImage(
      SerialPort, image, [&](const std::string& line) { console.Append(line); },
      [&] {
        console.DrawProgress();
        return true;
      });
  console.EndProgress();
  return ExitCodeFor(result);
}
