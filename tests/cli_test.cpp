// rxflash-cli and rxflash-loader as separate programs, as a user runs them.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <thread>

#include "emulator/pty.h"
#include "process.h"
#include "support.h"
#include "upload/packet.h"

namespace {

const std::string kCli = RXFLASH_CLI_PATH;
const std::string kLoader = RXFLASH_LOADER_PATH;


std::string FullUploadOutput() {
  std::string text;
  for (const auto& line : kFullUpload) text += line + "\n";
  return text;
}

std::string LastLine(const std::string& text) {
  const std::size_t end = text.size() > 0 && text.back() == '\n' ? text.size() - 1 : text.size();
  const std::size_t start = text.rfind('\n', end - 1);
  return text.substr(start == std::string::npos ? 0 : start + 1, end - (start == std::string::npos ? 0 : start + 1));
}

class CliTest : public testing::Test {
 protected:
  void SetUp() override {
    image_ = MakeImage(ImageSize, 11);
    imagePath_ = dir_.File("rom_S.bin");
    WriteFile(imagePath_, image_);
  }
  TempDir dir_;
  std::vector<std::uint8_t> image_;
  std::string imagePath_;
};

TEST_F(CliTest, UploadsThroughCom3MappedToTheEmulatorByteForByte) {
  LoaderProcess loader(kLoader, dir_.Path(), {});
  const ProcessOutput cli = RunProgram({kCli, imagePath_}, {"RXFLASH_COM3=" + loader.Link()});
  EXPECT_EQ(cli.exitCode, 0) << cli.err;
  EXPECT_EQ(cli.out, FullUploadOutput());
  EXPECT_EQ(cli.err, "");
  EXPECT_EQ(loader.Wait(), 0) << loader.Report();
  EXPECT_TRUE(ReadFile(loader.Output()) == image_);
}

struct ExitCase {
  std::string fault;
  int exitCode;
  std::string lastLine;
};

void PrintTo(const ExitCase& c, std::ostream* out) { *out << c.fault; }

class CliExitCodes : public CliTest, public testing::WithParamInterface<ExitCase> {};

TEST_P(CliExitCodes, TellTheKindOfFailure) {
  const ExitCase& c = GetParam();
  LoaderProcess loader(kLoader, dir_.Path(), {"--fault", c.fault});
  const ProcessOutput cli = RunProgram({kCli, "--port", loader.Link(), imagePath_});
  EXPECT_EQ(cli.exitCode, c.exitCode) << cli.out << cli.err;
  EXPECT_EQ(LastLine(cli.out), c.lastLine);
  EXPECT_EQ(loader.Wait(), 2) << "the loader saw no complete upload";
  EXPECT_NE(loader.Report().find("0 bytes after stopping"), std::string::npos) << loader.Report();
}

INSTANTIATE_TEST_SUITE_P(Faults, CliExitCodes,
                         testing::Values(ExitCase{"probe:wrong", 4, "Verbindungsfehler  "},
                                         ExitCase{"start:wrong", 5, "Verbindungsfehler   1."},
                                         ExitCase{"ready:garbage", 5, "Verbindugsfehler    2."},
                                         ExitCase{"frame0:badarg", 6, "Berbindungsfehler   3."},
                                         ExitCase{"frame3:wrong", 6, "Verbindungsfehler   4."}));

TEST_F(CliTest, WrongSizeImageExitsWithTwoAndSendsNothing) {
  WriteFile(imagePath_, MakeImage(ImageSize - 1));
  LoaderProcess loader(kLoader, dir_.Path(), {});
  const ProcessOutput cli = RunProgram({kCli, "--port", loader.Link(), imagePath_});
  EXPECT_EQ(cli.exitCode, 2);
  EXPECT_EQ(cli.out, "Tamaño erroneo.!\n");
  EXPECT_EQ(loader.Wait(), 2);
  EXPECT_NE(loader.Report().find("0 probes, 0 frames"), std::string::npos) << loader.Report();
}

TEST_F(CliTest, MissingPortExitsWithThreeAfterThePortsMessage) {
  const ProcessOutput cli = RunProgram({kCli, "--port", "/dev/rxflash-no-such-device", imagePath_});
  EXPECT_EQ(cli.exitCode, 3);
  EXPECT_EQ(cli.out, "");
  EXPECT_EQ(cli.err, "Could not create handle\nPort Error.\n");
}

TEST_F(CliTest, ComPortMappedToAMissingDeviceExitsWithThree) {
  const ProcessOutput cli =
      RunProgram({kCli, "--port", "COM4", imagePath_}, {"RXFLASH_COM4=/dev/rxflash-no-such-device"});
  EXPECT_EQ(cli.exitCode, 3);
  EXPECT_EQ(cli.err, "Could not create handle\nPort Error.\n");
}

struct UsageCase {
  std::vector<std::string> args;
  int exitCode;
  std::string inOutput;
};

void PrintTo(const UsageCase& c, std::ostream* out) {
  *out << "rxflash-cli";
  for (const std::string& arg : c.args) *out << ' ' << arg;
}

class CliUsage : public testing::TestWithParam<UsageCase> {};

TEST_P(CliUsage, AnswersWithTheRightStatus) {
  std::vector<std::string> argv = {kCli};
  argv.insert(argv.end(), GetParam().args.begin(), GetParam().args.end());
  const ProcessOutput cli = RunProgram(argv);
  EXPECT_EQ(cli.exitCode, GetParam().exitCode);
  EXPECT_NE((cli.out + cli.err).find(GetParam().inOutput), std::string::npos) << cli.out << cli.err;
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, CliUsage,
    testing::Values(UsageCase{{}, 1, "no image given"},
                    UsageCase{{"--port", "COM5", "x.bin"}, 1, "PORT is COM1..COM4"},
                    UsageCase{{"a.bin", "b.bin"}, 1, "bad argument 'b.bin'"},
                    UsageCase{{"--frobnicate"}, 1, "usage:"},
                    UsageCase{{"--help"}, 0, "  6  a frame was not acknowledged"},
                    UsageCase{{"--version"}, 0, "rxflash-cli 0.1.0"}));

TEST_F(CliTest, OnATerminalTheBlockLinesBecomeOneProgressLine) {
  LoaderProcess loader(kLoader, dir_.Path(), {});
  PtyPair terminal;
  ASSERT_TRUE(OpenPtyPair(terminal));
  UniqueFd err(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  const pid_t pid = Spawn({kCli, "--port", loader.Link(), imagePath_}, {}, terminal.slave.Get(), err.Get());
  terminal.slave.Reset();
  std::string screen;
  std::thread reader([&] { screen = ReadAll(terminal.master.Get()); });
  EXPECT_EQ(WaitFor(pid), 0);
  reader.join();
  EXPECT_EQ(loader.Wait(), 0);
  EXPECT_NE(screen.find("Verbindung hergestellt:  "), std::string::npos);
  EXPECT_NE(screen.find("\r\033[KBlock 514/514  100%"), std::string::npos) << screen.substr(0, 400);
  EXPECT_EQ(screen.find("Block 2\n"), std::string::npos) << "block lines scrolled";
  EXPECT_EQ(screen.find("Block 2\r\n"), std::string::npos) << "block lines scrolled";
  EXPECT_NE(screen.find(kClosingMessage), std::string::npos);
}

}  // namespace
