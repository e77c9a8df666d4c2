#include "loader.h"

#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "upload/packet.h"

namespace {

using Nanos = std::int64_t;

Nanos Now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<Nanos>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

void SleepUntil(Nanos when) {
  const timespec at{static_cast<time_t>(when / 1'000'000'000), static_cast<long>(when % 1'000'000'000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
  }
}

// Wake-ups from a sleep come late by a tenth of a millisecond and more on a
// virtual machine: sleep to just short of the moment, then spin to it.
constexpr Nanos kSpinWindow = 500'000;

void WaitUntilPrecisely(Nanos when) {
  if (when - Now() > kSpinWindow) SleepUntil(when - kSpinWindow);
  while (Now() < when) {
  }
}

// The loader's end of the line. With a baud rate set, every byte takes ten
// bit times in each direction, as on an 8N1 line: a byte counts as received
// only once its time on the wire is over, and a reply goes out only after the
// bytes it answers have arrived and the wire in that direction is free.
class PacedLine {
 public:
  PacedLine(LoaderLine& line, const LoaderConfig& config, LoaderReport& report)
      : line_(line), config_(config), report_(report),
        byteTime_(config.baud > 0 ? 10'000'000'000 / config.baud : 0) {}

  // Reads exactly count bytes; false when stopped, hung up or idle too long.
  bool Receive(std::uint8_t* out, std::size_t count) {
    while (pending_.size() < count) {
      if (!Fill()) return false;
    }
    std::copy_n(pending_.begin(), count, out);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(count));
    consumed_ += count;
    notBefore_ = std::max(notBefore_, ArrivalOfLastConsumed());
    return true;
  }

  bool Send(const std::uint8_t* data, std::size_t count) {
    const Nanos start = std::max({txClock_, Now(), notBefore_});
    txClock_ = start + static_cast<Nanos>(count) * byteTime_;
    if (byteTime_ > 0) {
      WaitUntilPrecisely(txClock_);
    } else {
      SleepUntil(start);
    }
    for (std::size_t sent = 0; sent < count;) {
      const ssize_t n = ::write(line_.fd.Get(), data + sent, count - sent);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
      } else if (n < 0 && errno == EAGAIN) {
        pollfd p{line_.fd.Get(), POLLOUT, 0};
        poll(&p, 1, 100);
      } else if (!(n < 0 && errno == EINTR)) {
        return false;
      }
    }
    report_.bytesSent += count;
    return true;
  }
  bool Send(const Packet& packet) { return Send(packet.data(), packet.size()); }

  // Nothing goes out before ms have passed (a flash write, say).
  void Delay(int ms) { notBefore_ = std::max(notBefore_, Now()) + Nanos{ms} * 1'000'000; }

  void HangUp() {
    line_.fd.Reset();
    line_.held.Reset();
  }

  // Reads until stopped; returns the bytes that arrived.
  std::uint64_t Drain() {
    std::uint64_t drained = pending_.size();
    pending_.clear();
    while (Fill()) {
      drained += pending_.size();
      pending_.clear();
    }
    return drained;
  }

 private:
  struct Burst {
    std::uint64_t end;  // stream position after its last byte
    Nanos arrival;      // when its last byte is in
  };

  bool Fill() {
    if (!line_.fd.Valid()) return false;
    pollfd fds[2] = {{line_.fd.Get(), POLLIN, 0}, {config_.stopFd, POLLIN, 0}};
    const nfds_t count = config_.stopFd >= 0 ? 2 : 1;
    const int timeout = config_.idleTimeoutMs > 0 ? config_.idleTimeoutMs : -1;
    int ready = 0;
    do {
      ready = poll(fds, count, timeout);
    } while (ready < 0 && errno == EINTR);
    // What is on the line is taken before a stop request is heeded.
    if (ready <= 0 || !(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) return false;
    std::uint8_t buffer[65536];
    const ssize_t n = ::read(line_.fd.Get(), buffer, sizeof buffer);
    if (n <= 0) return false;
    pending_.insert(pending_.end(), buffer, buffer + n);
    report_.bytesReceived += static_cast<std::uint64_t>(n);
    received_ += static_cast<std::uint64_t>(n);
    rxClock_ = std::max(rxClock_, Now()) + n * byteTime_;
    bursts_.push_back({received_, rxClock_});
    return true;
  }

  Nanos ArrivalOfLastConsumed() {
    while (!bursts_.empty() && bursts_.front().end < consumed_) bursts_.pop_front();
    if (bursts_.empty()) return 0;
    const Burst& burst = bursts_.front();
    return burst.arrival - static_cast<Nanos>(burst.end - consumed_) * byteTime_;
  }

  LoaderLine& line_;
  const LoaderConfig& config_;
  LoaderReport& report_;
  const Nanos byteTime_;
  std::deque<std::uint8_t> pending_;
  std::deque<Burst> bursts_;
  std::uint64_t received_ = 0;
  std::uint64_t consumed_ = 0;
  Nanos rxClock_ = 0;
  Nanos txClock_ = 0;
  Nanos notBefore_ = 0;
};

std::uint16_t CodeOf(const Packet& packet) { return static_cast<std::uint16_t>(packet[8] << 8 | packet[9]); }
std::uint16_t ArgumentOf(const Packet& packet) { return static_cast<std::uint16_t>(packet[10] << 8 | packet[11]); }
bool HasMagic(const Packet& packet) { return std::equal(packet.begin(), packet.begin() + 8, PacketProbe.begin()); }

std::string Describe(const Packet& packet) {
  char text[64];
  if (HasMagic(packet)) {
    std::snprintf(text, sizeof text, "0x%04X (argument %u)", CodeOf(packet), ArgumentOf(packet));
  } else {
    std::snprintf(text, sizeof text, "%zu bytes that are no packet", packet.size());
  }
  return text;
}

class Loader {
 public:
  Loader(LoaderLine& line, const LoaderConfig& config, LoaderReport& report)
      : line_(line, config, report), config_(config), report_(report) {}

  void Run() {
    if (!AwaitProbes()) return;
    if (!Expect(PacketProbe, "the probe that opens the exchange") ||
        !Expect(PacketStart, "0x0028") || !Reply(LoaderStep::Start, PacketAck))
      return;
    SendInformationBlock();
    if (!Expect(PacketAck, "0x0000 after the information block") ||
        !Reply(LoaderStep::Ready, PacketReady) || !Expect(PacketAck, "the second 0x0000") ||
        !Expect(PacketPrepare, "the first 0x0001") || !Expect(PacketPrepare, "the second 0x0001"))
      return;
    ReceiveFrames();
  }

 private:
  bool ReadPacket(Packet& packet) {
    if (!line_.Receive(packet.data(), packet.size())) return false;
    report_.codes.push_back(HasMagic(packet) ? CodeOf(packet) : 0xFFFF);
    return true;
  }

  bool Violation(const std::string& text) {
    report_.violations.push_back(text);
    report_.bytesAfterStop += line_.Drain();
    return false;
  }

  bool Expect(const Packet& expected, const char* what) {
    Packet packet{};
    if (!ReadPacket(packet)) return false;
    if (packet == expected) return true;
    return Violation(std::string("expected ") + what + ", got " + Describe(packet));
  }

  // Silent until the K-th probe. A fault at the probe step repeats on every
  // probe from then on, as a wrong device on the line would.
  bool AwaitProbes() {
    Packet packet{};
    for (;;) {
      if (!ReadPacket(packet)) return false;
      if (packet != PacketProbe) return Violation("expected a probe, got " + Describe(packet));
      ++report_.probes;
      if (config_.answerProbe <= 0 || report_.probes < config_.answerProbe) continue;
      if (config_.fault.step != LoaderStep::Probe) return line_.Send(PacketProbeReply);
      if (!Misbehave(PacketProbeReply)) return false;
    }
  }

  // Sends the reply unless the fault names this step; then it misbehaves
  // instead, stops playing its part and returns false.
  bool Reply(LoaderStep step, const Packet& reply, int frame = 0) {
    const LoaderFault& fault = config_.fault;
    if (fault.step != step || (step == LoaderStep::Frame && fault.frame != frame))
      return line_.Send(reply);
    if (Misbehave(reply)) report_.bytesAfterStop += line_.Drain();
    return false;
  }

  // Sends what the fault says instead of reply; false when it hung up.
  bool Misbehave(const Packet& reply) {
    report_.misbehaved = true;
    const std::uint16_t code = CodeOf(reply);
    switch (config_.fault.how) {
      case Misbehaviour::Silent: return true;
      case Misbehaviour::Wrong: return line_.Send(MakePacket(code ^ 0x0001));
      case Misbehaviour::BadArgument: return line_.Send(MakePacket(code, 0x0001));
      case Misbehaviour::Garbage: {
        Packet garbage;
        garbage.fill(0xA5);
        return line_.Send(garbage);
      }
      case Misbehaviour::HangUp: line_.HangUp(); return false;
    }
    return true;
  }

  void SendInformationBlock() {
    std::vector<std::uint8_t> block(12 + config_.infoLength);
    std::memcpy(block.data(), "RXLOADER10", 10);
    block[10] = static_cast<std::uint8_t>(config_.infoLength >> 8);
    block[11] = static_cast<std::uint8_t>(config_.infoLength);
    for (std::size_t i = 12; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i);
    line_.Send(block.data(), block.size());
  }

  void ReceiveFrames() {
    std::vector<std::uint8_t> frame(MaxFrameLength);
    std::int32_t remaining = ImageSize;
    for (int n = 0;; ++n) {
      Packet packet{};
      if (!ReadPacket(packet)) return;
      if (packet == PacketClose) {
        if (remaining != 0) {
          Violation("0x0013 with " + std::to_string(remaining) + " image bytes missing");
          return;
        }
        line_.Send(PacketAck);
        report_.complete = report_.violations.empty();
        return;
      }
      if (!HasMagic(packet) || CodeOf(packet) != CodeFrame) {
        Violation("expected a frame announcement or 0x0013, got " + Describe(packet));
        return;
      }
      const std::int32_t expected =
          n == 0 ? MaxFrameLength : std::min(remaining, BlockPayload) + CrcSize;
      const std::int32_t length = ArgumentOf(packet);
      if (remaining == 0 || length != expected) {
        Violation("frame " + std::to_string(n) + " announced with " + std::to_string(length) +
                  " bytes, expected " + (remaining == 0 ? "none" : std::to_string(expected)));
        return;
      }
      if (!line_.Receive(frame.data(), static_cast<std::size_t>(length))) return;
      const std::int32_t payload = length - CrcSize;
      if (Crc32(frame.data(), payload) != GetBigEndian32(frame.data() + payload)) {
        Violation("frame " + std::to_string(n) + " has a bad CRC");
        return;
      }
      std::int32_t offset = 0;
      if (n == 0) {
        if (GetBigEndian32(frame.data()) != static_cast<std::uint32_t>(ImageSize)) {
          Violation("the first frame does not begin with the image size 00 20 00 00");
          return;
        }
        offset = SizePrefixSize;
      }
      report_.image.insert(report_.image.end(), frame.begin() + offset, frame.begin() + payload);
      remaining -= payload - offset;
      ++report_.frames;
      if (config_.frameDelayMs > 0) line_.Delay(config_.frameDelayMs);
      if (!Reply(LoaderStep::Frame, PacketAck, n)) return;
    }
  }

  PacedLine line_;
  const LoaderConfig& config_;
  LoaderReport& report_;
};

}  // namespace

LoaderReport RunLoader(LoaderLine& line, const LoaderConfig& config) {
  LoaderReport report;
  Loader(line, config, report).Run();
  return report;
}

bool ParseFault(const std::string& text, LoaderFault& fault) {
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  const std::string step = text.substr(0, colon);
  const std::string how = text.substr(colon + 1);
  LoaderFault parsed;
  if (step == "probe") {
    parsed.step = LoaderStep::Probe;
  } else if (step == "start") {
    parsed.step = LoaderStep::Start;
  } else if (step == "ready") {
    parsed.step = LoaderStep::Ready;
  } else if (step.rfind("frame", 0) == 0 && step.size() > 5 &&
             step.find_first_not_of("0123456789", 5) == std::string::npos && step.size() <= 9) {
    parsed.step = LoaderStep::Frame;
    parsed.frame = std::atoi(step.c_str() + 5);
  } else {
    return false;
  }
  static constexpr struct {
    const char* name;
    Misbehaviour how;
  } kKinds[] = {{"silent", Misbehaviour::Silent},
                {"wrong", Misbehaviour::Wrong},
                {"badarg", Misbehaviour::BadArgument},
                {"garbage", Misbehaviour::Garbage},
                {"hangup", Misbehaviour::HangUp}};
  for (const auto& kind : kKinds) {
    if (how == kind.name) {
      parsed.how = kind.how;
      fault = parsed;
      return true;
    }
  }
  return false;
}
