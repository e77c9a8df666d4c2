#include <gtest/gtest.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <thread>

#include "app/port.h"
#include "support.h"

namespace {

using Clock = std::chrono::steady_clock;

long MillisecondsSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// A pseudo-terminal whose program end is COM3.
class SerialOnPty : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(OpenPtyPair(pty_));
    com3_.emplace("RXFLASH_COM3", pty_.slavePath);
  }

  void OpenCom3() {
    port_.Open("COM3:115200,N,8,1");
    ASSERT_TRUE(port_.IsOpen());
    ASSERT_TRUE(messages_.texts.empty());
  }

  void PeerSends(const void* data, std::size_t n) {
    ASSERT_EQ(write(pty_.master.Get(), data, n), static_cast<ssize_t>(n));
    usleep(20'000);  // the pseudo-terminal hands bytes over asynchronously
  }

  PtyPair pty_;
  std::optional<ScopedEnv> com3_;
  CapturedMessages messages_;
  CSerial port_;
};

TEST_F(SerialOnPty, OpenAppliesTheLoaderLineSettings) {
  OpenCom3();
  termios tio{};
  ASSERT_EQ(tcgetattr(pty_.slave.Get(), &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), B115200);
  EXPECT_EQ(cfgetispeed(&tio), B115200);
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);
  EXPECT_EQ(tio.c_cc[VMIN], 0);
  EXPECT_EQ(tio.c_cc[VTIME], 0);
}

TEST_F(SerialOnPty, ReadOfNothingWaitsOutTheDeadlineAndLeaves0xFF) {
  OpenCom3();
  std::uint8_t buffer[16];
  std::memset(buffer, 0x11, sizeof buffer);
  const auto start = Clock::now();
  EXPECT_EQ(port_.Read(buffer, 12, 300), 0u);
  EXPECT_GE(MillisecondsSince(start), 299);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(buffer[i], 0xFF) << i;
  EXPECT_EQ(buffer[12], 0x11) << "wrote past count";
}

TEST_F(SerialOnPty, CompleteReadReturnsAtOnce) {
  OpenCom3();
  PeerSends("MoonDuSt\x00\x04\x00\x00", 12);
  std::uint8_t buffer[12];
  const auto start = Clock::now();
  EXPECT_EQ(port_.Read(buffer, 12, 5000), 12u);
  EXPECT_LT(MillisecondsSince(start), 1000);
  EXPECT_EQ(std::memcmp(buffer, "MoonDuSt\x00\x04\x00\x00", 12), 0);
}

TEST_F(SerialOnPty, ShortReadKeeps0xFFBehindWhatArrived) {
  OpenCom3();
  PeerSends("Moon", 4);
  std::uint8_t buffer[12];
  EXPECT_EQ(port_.Read(buffer, 12, 200), 4u);
  EXPECT_EQ(std::memcmp(buffer, "Moon", 4), 0);
  for (int i = 4; i < 12; ++i) EXPECT_EQ(buffer[i], 0xFF) << i;
}

TEST_F(SerialOnPty, ReadCollectsBytesThatTrickleInBeforeTheDeadline) {
  OpenCom3();
  std::thread peer([this] {
    for (const char* piece : {"Moon", "DuSt", "\x00\x29\x00\x00"}) {
      usleep(60'000);
      [[maybe_unused]] ssize_t n = write(pty_.master.Get(), piece, 4);
    }
  });
  std::uint8_t buffer[12];
  const auto start = Clock::now();
  const unsigned got = port_.Read(buffer, 12, 3000);
  const long elapsed = MillisecondsSince(start);
  peer.join();
  EXPECT_EQ(got, 12u);
  EXPECT_LT(elapsed, 2000) << "should return as soon as the count is complete";
  EXPECT_EQ(std::memcmp(buffer, "MoonDuSt\x00\x29\x00\x00", 12), 0);
}

TEST_F(SerialOnPty, WriteSendsAWholeBufferLargerThanTheLineBuffers) {
  OpenCom3();
  const auto data = MakeImage(200'000, 3);
  std::vector<std::uint8_t> received;
  std::thread peer([&] {
    std::uint8_t chunk[8192];
    while (received.size() < data.size()) {
      const ssize_t n = read(pty_.master.Get(), chunk, sizeof chunk);
      if (n <= 0) break;
      received.insert(received.end(), chunk, chunk + n);
    }
  });
  EXPECT_EQ(port_.Write(data.data(), static_cast<unsigned>(data.size())), data.size());
  peer.join();
  EXPECT_EQ(received, data);
}

TEST_F(SerialOnPty, PurgeDiscardsWhatIsPending) {
  OpenCom3();
  PeerSends("stale reply.", 12);
  port_.Purge();
  std::uint8_t buffer[12];
  EXPECT_EQ(port_.Read(buffer, 12, 100), 0u);
}

TEST_F(SerialOnPty, ASecondOpenOfAHeldLineFailsUntilTheFirstCloses) {
  OpenCom3();
  CSerial second;
  second.Open("COM3:115200,N,8,1");
  EXPECT_FALSE(second.IsOpen());
  EXPECT_EQ(messages_.texts, std::vector<std::string>{"Could not create handle"});
  port_.Close();
  EXPECT_FALSE(port_.IsOpen());
  second.Open("COM3:115200,N,8,1");
  EXPECT_TRUE(second.IsOpen());
}

TEST_F(SerialOnPty, CloseOnAClosedPortShowsNothing) {
  port_.Close();
  OpenCom3();
  port_.Close();
  port_.Close();
  EXPECT_FALSE(port_.IsOpen());
  EXPECT_TRUE(messages_.texts.empty());
  std::uint8_t buffer[4];
  EXPECT_EQ(port_.Read(buffer, 4, 10), 0u);
  EXPECT_EQ(port_.Write(buffer, 4), 0u);
}

struct BadMode {
  const char* mode;
  const char* message;
};

void PrintTo(const BadMode& c, std::ostream* out) { *out << c.mode; }

class SerialBadMode : public SerialOnPty, public testing::WithParamInterface<BadMode> {};

TEST_P(SerialBadMode, ShowsTheFailingStepAndLeavesThePortClosed) {
  port_.Open(GetParam().mode);
  EXPECT_FALSE(port_.IsOpen());
  EXPECT_EQ(messages_.texts, std::vector<std::string>{GetParam().message});
  // The device was let go: a proper open works right after.
  messages_.texts.clear();
  OpenCom3();
}

INSTANTIATE_TEST_SUITE_P(
    Modes, SerialBadMode,
    testing::Values(BadMode{"COM3:12345,N,8,1", "BuildCommDCB failed"},
                    BadMode{"COM3:115200,X,8,1", "BuildCommDCB failed"},
                    BadMode{"COM3:115200,N,9,1", "BuildCommDCB failed"},
                    BadMode{"COM3:115200,N,8,3", "BuildCommDCB failed"},
                    BadMode{"COM3:115200,N,8,1,x", "BuildCommDCB failed"},
                    BadMode{"COM3:", "BuildCommDCB failed"},
                    BadMode{"COM3", "BuildCommDCB failed"}));

class SerialUnopenable : public testing::TestWithParam<std::string> {};

TEST_P(SerialUnopenable, ShowsCouldNotCreateHandle) {
  TempDir dir;
  std::string device = GetParam();
  if (device == "regular file") {
    device = dir.File("not-a-tty");
    WriteFile(device, {1, 2, 3});
  } else if (device == "directory") {
    device = dir.Path();
  }
  ScopedEnv com1("RXFLASH_COM1", device);
  CapturedMessages messages;
  CSerial port;
  port.Open("COM1:115200,N,8,1");
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(messages.texts, std::vector<std::string>{"Could not create handle"});
}

INSTANTIATE_TEST_SUITE_P(Devices, SerialUnopenable,
                         testing::Values("/dev/rxflash-no-such-device", "regular file",
                                         "directory"));

TEST(HostDeviceName, MapsComPortsThroughTheEnvironmentOrToTtyS) {
  unsetenv("RXFLASH_COM2");
  EXPECT_EQ(HostDeviceName("COM1"), "/dev/ttyS0");
  EXPECT_EQ(HostDeviceName("COM2"), "/dev/ttyS1");
  EXPECT_EQ(HostDeviceName("COM4"), "/dev/ttyS3");
  ScopedEnv com2("RXFLASH_COM2", "/dev/ttyUSB0");
  EXPECT_EQ(HostDeviceName("COM2"), "/dev/ttyUSB0");
  EXPECT_EQ(HostDeviceName("/dev/ttyACM1"), "/dev/ttyACM1");
}

TEST(ModeString, NamesComOneToFourWithTheLoaderSettings) {
  const char* expected[] = {"COM1:115200,N,8,1", "COM2:115200,N,8,1", "COM3:115200,N,8,1",
                            "COM4:115200,N,8,1"};
  for (std::uint8_t index = 0; index < 4; ++index) {
    FormatModeString(static_cast<std::uint8_t>(index + 1), LineBaud);
    EXPECT_STREQ(ModeString, expected[index]);
  }
}

TEST(ActivatePort, OpensThePortThatPortIndexNames) {
  PtyPair pty;
  ASSERT_TRUE(OpenPtyPair(pty));
  ScopedEnv com4("RXFLASH_COM4", pty.slavePath);
  CapturedMessages messages;
  PortIndex = 3;
  ActivatePort();
  EXPECT_STREQ(ModeString, "COM4:115200,N,8,1");
  EXPECT_TRUE(SerialPort.IsOpen());
  EXPECT_TRUE(messages.texts.empty());
  // The line answers: bytes from the peer reach SerialPort.
  ASSERT_EQ(write(pty.master.Get(), "ok", 2), 2);
  std::uint8_t buffer[2];
  EXPECT_EQ(SerialPort.Read(buffer, 2, 1000), 2u);
  SerialPort.Close();
  PortIndex = 2;
}

TEST(ActivatePort, LeavesThePortClosedWhenTheDeviceIsMissing) {
  ScopedEnv com1("RXFLASH_COM1", "/dev/rxflash-no-such-device");
  CapturedMessages messages;
  PortIndex = 0;
  ActivatePort();
  EXPECT_FALSE(SerialPort.IsOpen());
  EXPECT_EQ(messages.texts, std::vector<std::string>{"Could not create handle"});
  PortIndex = 2;
}

}  // namespace
