#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include "serial/serie.h"
#include "support.h"
#include "upload/packet.h"
#include "upload/upload.h"

namespace {

long CountOf(const std::vector<std::uint16_t>& codes, std::uint16_t code) {
  return std::count(codes.begin(), codes.end(), code);
}

struct Outcome {
  UploadResult result = UploadResult::Done;
  std::vector<std::string> lines;
  LoaderReport loader;
  int eventCalls = 0;
};

// One upload of the image file through a CSerial on COM3 into the emulated
// loader.
class UploadTest : public testing::Test {
 protected:
  void SetUp() override {
    image_ = MakeImage(ImageSize);
    imagePath_ = dir_.File("rom_S.bin");
    WriteFile(imagePath_, image_);
  }

  Outcome Upload(const LoaderConfig& config, const std::string& path,
                 const std::function<void(const std::string&)>& onLine = {},
                 const std::function<bool(int)>& onEvents = {}) {
    Outcome outcome;
    EmulatedLoader loader(config);
    EXPECT_TRUE(loader.Running());
    ScopedEnv com3("RXFLASH_COM3", loader.Path());
    CSerial line;
    line.Open("COM3:115200,N,8,1");
    EXPECT_TRUE(line.IsOpen());
    outcome.result = UploadImage(
        line, path,
        [&](const std::string& text) {
          outcome.lines.push_back(text);
          if (onLine) onLine(text);
        },
        [&] {
          ++outcome.eventCalls;
          return !onEvents || onEvents(outcome.eventCalls);
        });
    EXPECT_FALSE(IsOpenInThisProcess(path)) << "the upload left the image open";
    EXPECT_TRUE(line.IsOpen()) << "the line stays open whatever the outcome";
    outcome.loader = loader.Finish();
    return outcome;
  }

  Outcome Upload(const LoaderConfig& config = {}) { return Upload(config, imagePath_); }

  TempDir dir_;
  std::vector<std::uint8_t> image_;
  std::string imagePath_;
};

TEST_F(UploadTest, FullImageArrivesByteIdenticalWithEveryLine) {
  bool heldWhileSending = false;
  const Outcome outcome = Upload({}, imagePath_, [&](const std::string& line) {
    if (line == "Block 1") heldWhileSending = IsOpenInThisProcess(imagePath_);
  });
  EXPECT_TRUE(heldWhileSending) << "the open-image check cannot see the image";
  EXPECT_EQ(outcome.result, UploadResult::Done);
  EXPECT_EQ(outcome.lines, kFullUpload);
  EXPECT_TRUE(outcome.loader.complete);
  EXPECT_TRUE(outcome.loader.violations.empty()) << outcome.loader.violations.front();
  EXPECT_EQ(outcome.loader.frames, 515);
  EXPECT_TRUE(outcome.loader.image == image_);
  EXPECT_EQ(outcome.eventCalls, 514);
  std::vector<std::uint16_t> expectedCodes = {0x12, 0x12, 0x28, 0x00, 0x00, 0x01, 0x01};
  expectedCodes.insert(expectedCodes.end(), 515, 0x30);
  expectedCodes.push_back(0x13);
  EXPECT_EQ(outcome.loader.codes, expectedCodes);
}

TEST_F(UploadTest, LoaderAnsweringTheThirdProbeIsFoundWithoutAnErrorLine) {
  LoaderConfig config;
  config.answerProbe = 3;
  const Outcome outcome = Upload(config);
  EXPECT_EQ(outcome.result, UploadResult::Done);
  EXPECT_EQ(outcome.loader.probes, 3);
  EXPECT_EQ(outcome.lines, kFullUpload);
  EXPECT_TRUE(outcome.loader.complete);
}

TEST_F(UploadTest, SilentLoaderGetsElevenProbesThenTheHandshakeGivesUp) {
  LoaderConfig config;
  config.answerProbe = 0;
  const Outcome outcome = Upload(config);
  EXPECT_EQ(outcome.result, UploadResult::LoaderNotFound);
  EXPECT_EQ(outcome.lines, (std::vector<std::string>{kSwitchOn, "Verbindungsfehler  "}));
  EXPECT_EQ(outcome.loader.probes, 11);
  EXPECT_EQ(outcome.loader.codes, std::vector<std::uint16_t>(11, 0x12));
}

class InformationBlock : public UploadTest, public testing::WithParamInterface<int> {};

TEST_P(InformationBlock, OfAnyLengthIsSkippedAndTheUploadCompletes) {
  LoaderConfig config;
  config.infoLength = static_cast<std::uint16_t>(GetParam());
  const Outcome outcome = Upload(config);
  EXPECT_EQ(outcome.result, UploadResult::Done);
  EXPECT_EQ(outcome.lines, kFullUpload);
  EXPECT_TRUE(outcome.loader.complete);
}

INSTANTIATE_TEST_SUITE_P(Lengths, InformationBlock, testing::Values(0, 1, 1024, 1025, 65535));

// A loader that misbehaves where the uploader waits for a reply.
struct FaultCase {
  std::string fault;
  UploadResult result;
  std::vector<std::string> lines;
  int framesReceived;
};

std::vector<FaultCase> FaultCases() {
  const std::vector<std::string> connected = {kSwitchOn, kConnected};
  const struct {
    const char* step;
    UploadResult result;
    std::vector<std::string> lines;
    int frames;
  } steps[] = {
      {"probe", UploadResult::LoaderNotFound, {kSwitchOn, "Verbindungsfehler  "}, 0},
      {"start", UploadResult::ExchangeFailed, Join(connected, {"Verbindungsfehler   1."}), 0},
      {"ready", UploadResult::ExchangeFailed, Join(connected, {"Verbindugsfehler    2."}), 0},
      {"frame0", UploadResult::TransferFailed, Join(connected, {"Berbindungsfehler   3."}), 1},
      // the acknowledgement after the line Block 7
      {"frame8", UploadResult::TransferFailed,
       Join(Join(connected, Blocks(7)), {"Verbindungsfehler   4."}), 9},
      // the last frame, 32 image bytes
      {"frame514", UploadResult::TransferFailed,
       Join(Join(connected, Blocks(513)), {"Verbindungsfehler   4."}), 515},
  };
  std::vector<FaultCase> cases;
  for (const auto& step : steps) {
    for (const char* how : {"silent", "wrong", "badarg", "garbage", "hangup"}) {
      // A loader silent at the probes has its own test; one that hangs up
      // there would only repeat it, twenty seconds longer.
      if (std::string(step.step) == "probe" && std::string(how) != "wrong" &&
          std::string(how) != "badarg" && std::string(how) != "garbage")
        continue;
      cases.push_back({std::string(step.step) + ":" + how, step.result, step.lines, step.frames});
    }
  }
  return cases;
}

void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.fault; }

class LoaderFaults : public UploadTest, public testing::WithParamInterface<FaultCase> {};

TEST_P(LoaderFaults, EndTheUploadWithTheStepsLineAndNothingMoreOnTheLine) {
  const FaultCase& c = GetParam();
  LoaderConfig config;
  ASSERT_TRUE(ParseFault(c.fault, config.fault));
  const Outcome outcome = Upload(config);
  EXPECT_EQ(outcome.result, c.result);
  EXPECT_EQ(outcome.lines, c.lines);
  EXPECT_TRUE(outcome.loader.misbehaved);
  EXPECT_FALSE(outcome.loader.complete);
  EXPECT_TRUE(outcome.loader.violations.empty()) << outcome.loader.violations.front();
  EXPECT_EQ(outcome.loader.frames, c.framesReceived);
  if (c.fault.rfind("probe", 0) == 0) {
    EXPECT_EQ(outcome.loader.codes, std::vector<std::uint16_t>(11, 0x12));
  } else {
    EXPECT_EQ(outcome.loader.bytesAfterStop, 0u) << "the uploader went on after the failure";
  }
}

INSTANTIATE_TEST_SUITE_P(Steps, LoaderFaults, testing::ValuesIn(FaultCases()),
                         [](const testing::TestParamInfo<FaultCase>& info) {
                           std::string name = info.param.fault;
                           std::replace(name.begin(), name.end(), ':', '_');
                           return name;
                         });

struct BadImage {
  std::string name;
  std::string line;
};

void PrintTo(const BadImage& c, std::ostream* out) { *out << c.name; }

class BadImages : public UploadTest, public testing::WithParamInterface<BadImage> {};

TEST_P(BadImages, AreRefusedWithOneLineAndNoTraffic) {
  const std::string& kind = GetParam().name;
  std::string path = dir_.File("image.bin");
  if (kind == "empty") {
    WriteFile(path, {});
  } else if (kind == "one byte short") {
    WriteFile(path, MakeImage(ImageSize - 1));
  } else if (kind == "one byte long") {
    WriteFile(path, MakeImage(ImageSize + 1));
  } else if (kind == "directory") {
    path = dir_.Path();
  } else if (kind == "device") {
    path = "/dev/zero";
  } else if (kind == "fifo") {
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  }  // "missing": nothing at path
  const Outcome outcome = Upload({}, path);
  EXPECT_EQ(outcome.lines, std::vector<std::string>{GetParam().line});
  EXPECT_EQ(outcome.loader.bytesReceived, 0u);
  EXPECT_EQ(outcome.result, GetParam().line == "No puede abrirlo." ? UploadResult::ImageNotOpened
                                                                   : UploadResult::WrongSize);
}

INSTANTIATE_TEST_SUITE_P(
    Files, BadImages,
    testing::Values(BadImage{"empty", "Tamaño erroneo.!"},
                    BadImage{"one byte short", "Tamaño erroneo.!"},
                    BadImage{"one byte long", "Tamaño erroneo.!"},
                    BadImage{"missing", "No puede abrirlo."},
                    BadImage{"directory", "No puede abrirlo."},
                    BadImage{"device", "No puede abrirlo."}, BadImage{"fifo", "No puede abrirlo."}),
    [](const testing::TestParamInfo<BadImage>& info) {
      std::string name = info.param.name;
      std::replace(name.begin(), name.end(), ' ', '_');
      return name;
    });

// The image shrinks after its size was checked: the frame it can no longer
// fill is never announced, let alone sent with a valid checksum.
struct ShrinkCase {
  std::string when;  // the log line after which the file shrinks
  std::vector<std::string> lines;
  int framesSent;
};

void PrintTo(const ShrinkCase& c, std::ostream* out) { *out << "after '" << c.when << "'"; }

class ShrinkingImage : public UploadTest, public testing::WithParamInterface<ShrinkCase> {};

TEST_P(ShrinkingImage, EndsWithLesefehlerAndSendsNoStaleFrame) {
  const ShrinkCase& c = GetParam();
  const off_t keep = static_cast<off_t>(c.framesSent) * BlockPayload + 100;
  const Outcome outcome = Upload({}, imagePath_, [&](const std::string& line) {
    if (line == c.when) {
      ASSERT_EQ(truncate(imagePath_.c_str(), keep), 0);
    }
  });
  EXPECT_EQ(outcome.result, UploadResult::ImageReadError);
  EXPECT_EQ(outcome.lines, c.lines);
  EXPECT_EQ(outcome.loader.frames, c.framesSent);
  EXPECT_EQ(CountOf(outcome.loader.codes, 0x30), c.framesSent) << "a frame was announced";
  EXPECT_EQ(outcome.loader.bytesAfterStop, 0u);
  EXPECT_TRUE(outcome.loader.violations.empty()) << outcome.loader.violations.front();
}

INSTANTIATE_TEST_SUITE_P(
    Moments, ShrinkingImage,
    testing::Values(ShrinkCase{kSwitchOn, {kSwitchOn, kConnected, "Lesefehler."}, 0},
                    ShrinkCase{"Block 3", Join(Join({kSwitchOn, kConnected}, Blocks(3)), {"Lesefehler."}), 4}));

TEST_F(UploadTest, EventsHookThatAsksToStopEndsTheUploadBeforeTheNextFrame) {
  const Outcome outcome = Upload({}, imagePath_, {}, [](int calls) { return calls < 5; });
  EXPECT_EQ(outcome.result, UploadResult::Stopped);
  EXPECT_EQ(outcome.lines, Join({kSwitchOn, kConnected}, Blocks(5)));
  EXPECT_EQ(outcome.loader.frames, 6);
  EXPECT_EQ(outcome.loader.codes.back(), 0x30);
  EXPECT_EQ(outcome.loader.bytesAfterStop, 0u);
}

TEST_F(UploadTest, StopAskedAfterTheLastFrameStillClosesTheTransfer) {
  const Outcome outcome = Upload({}, imagePath_, {}, [](int calls) { return calls < 514; });
  EXPECT_EQ(outcome.result, UploadResult::Done);
  EXPECT_EQ(outcome.lines, kFullUpload);
  EXPECT_TRUE(outcome.loader.complete);
}

TEST(FileLength, GivesTheLengthAndKeepsThePosition) {
  TempDir dir;
  const std::string path = dir.File("f");
  WriteFile(path, MakeImage(5000));
  std::FILE* file = std::fopen(path.c_str(), "rb");
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(std::fseek(file, 123, SEEK_SET), 0);
  EXPECT_EQ(FileLength(file), 5000);
  EXPECT_EQ(std::ftell(file), 123);
  std::fclose(file);
}

}  // namespace
