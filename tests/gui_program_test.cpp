// The window program rxflash as a person uses it: started as a program of its
// own on an X display, driven only by clicks and keys, uploading into
// rxflash-loader on COM3.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "process.h"
#include "support.h"
#include "upload/packet.h"
#include "windows.h"
#include "x_display.h"

namespace {

const std::string kFileDialogTitle = "Load";

// Where the controls are: the layout's places, relative to the window.
struct Spot {
  int x, y;
};
constexpr Spot kBtnSet{6 + 65, 2 + 15};
constexpr Spot kBtnSend{6 + 65, 37 + 15};
constexpr Spot kBtnOK{12 + 37, 124 + 12};

bool ClickIn(unsigned long window, Spot spot) {
  const WindowBox box = Geometry(window);
  return ClickAt(box.left + spot.x, box.top + spot.y);
}

bool WaitUntilGone(const std::string& title) {
  for (int i = 0; i < 500; ++i) {
    if (!WindowShown(title)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// rxflash started in dir, so that its file dialog opens there, with COM3
// mapped to line, and with arguments it is to ignore.
class WindowProgram {
 public:
  WindowProgram(const TempDir& dir, const std::string& line) {
    const std::string err = dir.File("rxflash.err");
    UniqueFd out(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    UniqueFd errFd(::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    pid_ = Spawn({"/bin/sh", "-c", "cd \"$1\" && exec \"$2\" --port COM1 other.bin", "sh",
                  dir.Path(), RXFLASH_GUI_PATH},
                 {"RXFLASH_COM3=" + line}, out.Get(), errFd.Get());
  }
  ~WindowProgram() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      WaitFor(pid_);
    }
  }
  int Wait(int timeoutMs) {
    const int code = WaitFor(pid_, timeoutMs);
    pid_ = -1;
    return code;
  }

 private:
  pid_t pid_ = -1;
};

class WindowProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = MakeImage(ImageSize, 5);
    WriteFile(dir_.File("rom_S.bin"), image_);
  }

  // Port dialog, OK, upload button, and the file dialog's Open on the
  // offered rom_S.bin, all by mouse and keyboard.
  void StartUploadByHand(unsigned long main, bool takeScreenshots) {
    ASSERT_TRUE(ClickIn(main, kBtnSet));
    const unsigned long settings = FindWindow(kSettingsTitle, 10'000);
    ASSERT_NE(settings, 0u);
    if (takeScreenshots) {
      EXPECT_TRUE(Screenshot(settings, ScreenshotPath("program-settings.png")));
    }
    ASSERT_TRUE(ClickIn(settings, kBtnOK));
    ASSERT_TRUE(WaitUntilGone(kSettingsTitle));

    ASSERT_TRUE(ClickIn(main, kBtnSend));
    const unsigned long fileDialog = FindWindow(kFileDialogTitle, 10'000);
    ASSERT_NE(fileDialog, 0u);
    if (takeScreenshots) {
      EXPECT_TRUE(Screenshot(fileDialog, ScreenshotPath("program-file-dialog.png")));
    }
    // A person looks at the folder before choosing. GTK reads the folder in
    // meanwhile; chosen sooner, it goes on reading after the dialog has
    // closed and the window repaints only a second or two later.
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    ASSERT_TRUE(PressKey("Return"));
    ASSERT_TRUE(WaitUntilGone(kFileDialogTitle));
  }

  TempDir dir_;
  std::vector<std::uint8_t> image_;
};

TEST_F(WindowProgramTest, APersonUploadsTheImageThroughTheWindow) {
  LoaderProcess loader(RXFLASH_LOADER_PATH, dir_.Path(), {});
  WindowProgram program(dir_, loader.Link());
  const unsigned long main = FindWindow(kMainTitle, 20'000);
  ASSERT_NE(main, 0u);
  EXPECT_TRUE(Screenshot(main, ScreenshotPath("program-main.png")));

  StartUploadByHand(main, true);

  EXPECT_EQ(loader.Wait(), 0) << loader.Report();
  EXPECT_TRUE(ReadFile(loader.Output()) == image_);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the last lines are drawn
  EXPECT_TRUE(Screenshot(main, ScreenshotPath("program-main-after-upload.png")));
  ASSERT_TRUE(RequestClose(main));
  EXPECT_EQ(program.Wait(10'000), 0);
}

TEST_F(WindowProgramTest, ClosingTheWindowMidUploadEndsTheProgramNormally) {
  LoaderProcess loader(RXFLASH_LOADER_PATH, dir_.Path(), {"--frame-delay", "20"});
  WindowProgram program(dir_, loader.Link());
  const unsigned long main = FindWindow(kMainTitle, 20'000);
  ASSERT_NE(main, 0u);
  StartUploadByHand(main, false);
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // some 50 frames

  ASSERT_TRUE(RequestClose(main));
  EXPECT_EQ(program.Wait(5'000), 0);
  // The loader waits out its idle time and finds whole frames only.
  EXPECT_EQ(loader.Wait(), 2) << loader.Report();
  const std::string report = loader.Report();
  EXPECT_NE(report.find("upload incomplete"), std::string::npos) << report;
  EXPECT_EQ(report.find("violation"), std::string::npos) << report;
}

TEST(WindowProgramWithoutDisplay, SaysSoAndEnds) {
  const ProcessOutput run = RunProgram({RXFLASH_GUI_PATH}, {"DISPLAY=", "WAYLAND_DISPLAY="});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("rxflash: no display to show the window on"), std::string::npos) << run.err;
}

}  // namespace
