// The loader emulator must catch an uploader that breaks the protocol, or the
// upload tests would prove nothing.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <functional>

#include "support.h"
#include "upload/packet.h"

namespace {

// Plays a faulty uploader against the emulator, byte by byte.
class FakeUploader {
 public:
  explicit FakeUploader(const std::string& path)
      : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {}

  void Send(const void* data, std::size_t n) {
    ASSERT_EQ(write(fd_.Get(), data, n), static_cast<ssize_t>(n));
  }
  void Send(const Packet& packet) { Send(packet.data(), packet.size()); }

  // Reads count bytes, or fewer when none come for a second.
  std::vector<std::uint8_t> Receive(std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    std::size_t got = 0;
    while (got < count) {
      pollfd p{fd_.Get(), POLLIN, 0};
      if (poll(&p, 1, 1000) != 1) break;
      const ssize_t n = read(fd_.Get(), bytes.data() + got, count - got);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);
    return bytes;
  }

  // Everything up to the first frame, as the real uploader does it.
  void OpeningExchange(std::uint16_t infoLength) {
    Send(PacketProbe);
    ASSERT_EQ(Receive(12), std::vector<std::uint8_t>(PacketProbeReply.begin(), PacketProbeReply.end()));
    Send(PacketProbe);
    Send(PacketStart);
    ASSERT_EQ(Receive(12 + 12 + infoLength).size(), 24u + infoLength);
    Send(PacketAck);
    ASSERT_EQ(Receive(12), std::vector<std::uint8_t>(PacketReady.begin(), PacketReady.end()));
    Send(PacketAck);
    Send(PacketPrepare);
    Send(PacketPrepare);
  }

  // A frame of payload bytes with its announcement; crcFlip spoils the CRC.
  void Frame(std::vector<std::uint8_t> payload, std::uint32_t crcFlip = 0, int lengthDelta = 0) {
    const std::uint32_t crc = Crc32(payload.data(), static_cast<std::int32_t>(payload.size())) ^ crcFlip;
    payload.resize(payload.size() + 4);
    PutBigEndian32(payload.data() + payload.size() - 4, crc);
    Send(FrameAnnouncement(static_cast<std::uint16_t>(static_cast<int>(payload.size()) + lengthDelta)));
    Send(payload.data(), payload.size());
  }

 private:
  UniqueFd fd_;
};

std::vector<std::uint8_t> FirstPayload() {
  std::vector<std::uint8_t> payload = {0x00, 0x20, 0x00, 0x00};
  const auto image = MakeImage(BlockPayload);
  payload.insert(payload.end(), image.begin(), image.end());
  return payload;
}

struct ViolationCase {
  const char* name;
  std::function<void(FakeUploader&)> play;
  const char* violation;
};

void PrintTo(const ViolationCase& c, std::ostream* out) { *out << c.name; }

class EmulatorChecks : public testing::TestWithParam<ViolationCase> {};

TEST_P(EmulatorChecks, ReportAViolationAndNeverCompleteTheImage) {
  EmulatedLoader loader;
  ASSERT_TRUE(loader.Running());
  FakeUploader uploader(loader.Path());
  GetParam().play(uploader);
  const LoaderReport& report = loader.Finish();
  EXPECT_FALSE(report.complete);
  ASSERT_EQ(report.violations.size(), 1u);
  EXPECT_NE(report.violations[0].find(GetParam().violation), std::string::npos) << report.violations[0];
}

INSTANTIATE_TEST_SUITE_P(
    Uploaders, EmulatorChecks,
    testing::Values(
        ViolationCase{"no opening probe",
                      [](FakeUploader& u) {
                        u.Send(PacketProbe);
                        u.Receive(12);
                        u.Send(PacketStart);
                      },
                      "expected the probe that opens the exchange"},
        ViolationCase{"bad CRC",
                      [](FakeUploader& u) {
                        u.OpeningExchange(16);
                        u.Frame(FirstPayload(), 1);
                      },
                      "frame 0 has a bad CRC"},
        ViolationCase{"wrong announced length",
                      [](FakeUploader& u) {
                        u.OpeningExchange(16);
                        u.Frame(FirstPayload(), 0, -1);
                      },
                      "frame 0 announced with 4087 bytes, expected 4088"},
        ViolationCase{"no size prefix",
                      [](FakeUploader& u) {
                        u.OpeningExchange(16);
                        auto payload = FirstPayload();
                        payload[1] = 0x10;
                        u.Frame(payload);
                      },
                      "does not begin with the image size"},
        ViolationCase{"closing before the image is complete",
                      [](FakeUploader& u) {
                        u.OpeningExchange(16);
                        u.Frame(FirstPayload());
                        u.Receive(12);
                        u.Send(PacketClose);
                      },
                      "0x0013 with 2093072 image bytes missing"},
        ViolationCase{"garbage instead of a packet",
                      [](FakeUploader& u) { u.Send("not a packet", 12); },
                      "expected a probe, got 12 bytes that are no packet"}));

}  // namespace
