// The two windows on a real X display, driven in this process: through the
// form layer, through real X input, and with a modal hook standing in for the
// person who answers boxes and the file dialog.

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "app/forms/forms.h"
#include "app/main_form.h"
#include "app/port.h"
#include "app/settings_form.h"
#include "support.h"
#include "upload/packet.h"
#include "windows.h"
#include "x_display.h"

namespace {

using Kind = forms::ModalShowing::Kind;


// A modal showing as the hook saw it.
struct Seen {
  Kind kind;
  std::string text;
  std::string filter, fileName;  // an open dialog's set-up
  std::vector<std::string> log;  // Log's lines at that moment
};

// Handles the application's events until done() holds or the time is up.
bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    forms::App().ProcessMessages();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void Pump(int ms) {
  PumpUntil([] { return false; }, ms);
}

// A real click on the middle of a control.
bool Click(const forms::Form& form, const forms::Control& control) {
  const forms::Rect client = form.ClientBounds();
  const forms::Rect r = control.Bounds();
  return ClickAt(client.left + r.left + r.width / 2, client.top + r.top + r.height / 2);
}

// Runs action on the GUI thread once the window with this title is on the
// screen, looking again at each round of events meanwhile.
void WhenShown(const std::string& title, std::function<void(unsigned long)> action) {
  forms::App().Post([title, action = std::move(action)] {
    if (unsigned long window = FindWindow(title, 0))
      action(window);
    else
      WhenShown(title, action);
  });
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previousHook_ = forms::SetModalHook(
        [this](const forms::ModalShowing& showing) { return Answer(showing); });
    ShowPortMessagesInBoxes();
    forms::App().CreateForm(FMain);
    FMain->Show();
    mainWindow_ = FindWindow(kMainTitle, 5000, [] { forms::App().ProcessMessages(); });
    ASSERT_NE(mainWindow_, 0u);
    Pump(50);
  }

  void TearDown() override {
    forms::App().DestroyForms();
    EXPECT_EQ(FMain, nullptr);
    EXPECT_EQ(FSettings, nullptr);
    SerialPort.Close();
    SetMessageSink({});
    forms::SetModalHook(std::move(previousHook_));
  }

  std::optional<bool> Answer(const forms::ModalShowing& showing) {
    Seen seen{showing.kind, showing.text, {}, {}, FMain->Log.Lines()};
    if (showing.dialog) {
      seen.filter = showing.dialog->Filter;
      seen.fileName = showing.dialog->FileName;
    }
    seen_.push_back(seen);
    if (answer_) return answer_(showing);
    // OK to every box and form; the file dialog is cancelled.
    return showing.kind != Kind::OpenDialog;
  }

  // The file dialog is answered with this file.
  void ChooseImage(const std::string& path) {
    answer_ = [path](const forms::ModalShowing& showing) {
      if (showing.dialog) showing.dialog->FileName = path;
      return true;
    };
  }

  std::vector<std::string> BoxTexts() const {
    std::vector<std::string> texts;
    for (const auto& seen : seen_)
      if (seen.kind == Kind::MessageBox) texts.push_back(seen.text);
    return texts;
  }

  // No COM port reaches a real device; a test maps COM3 to its emulator.
  ScopedEnv com1_{"RXFLASH_COM1", "/nonexistent/COM1"};
  ScopedEnv com2_{"RXFLASH_COM2", "/nonexistent/COM2"};
  ScopedEnv com3_{"RXFLASH_COM3", "/nonexistent/COM3"};
  ScopedEnv com4_{"RXFLASH_COM4", "/nonexistent/COM4"};
  std::vector<Seen> seen_;
  std::function<std::optional<bool>(const forms::ModalShowing&)> answer_;
  unsigned long mainWindow_ = 0;
  forms::ModalHook previousHook_;
};

TEST_F(WindowTest, StartsWithTheTitleAnEmptyLogAndCom3) {
  EXPECT_EQ(FMain->Caption(), kMainTitle);
  EXPECT_EQ(WindowTitle(mainWindow_), kMainTitle);
  const WindowBox box = Geometry(mainWindow_);
  EXPECT_EQ(box.left, 317);
  EXPECT_EQ(box.top, 136);
  EXPECT_EQ(box.width, 385);
  EXPECT_EQ(box.height, 156);
  const WindowHints hints = Hints(mainWindow_);
  EXPECT_TRUE(hints.fixedSize);
  EXPECT_EQ(hints.functions, kMotifMove | kMotifMinimize | kMotifClose);  // no maximise, no resize
  EXPECT_TRUE(FMain->Log.Lines().empty());
  EXPECT_EQ(PortIndex, 2);
  EXPECT_EQ(FSettings->rComm.ItemIndex(), 2);
  EXPECT_FALSE(FSettings->Visible());
  EXPECT_FALSE(SerialPort.IsOpen());
  EXPECT_TRUE(seen_.empty());
  EXPECT_TRUE(Screenshot(mainWindow_, ScreenshotPath("main.png")));
}

struct Placed {
  const char* name;
  const forms::Form* form;
  const forms::Control* control;
  forms::Rect layout;  // width 0: sized to its text
  std::string text;    // what the control shows, as the toolkit has it
};

TEST_F(WindowTest, ControlsSitAtTheirPlacesAndShowTheirTextsWhole) {
  const forms::Form* main = FMain;
  const forms::Form* settings = FSettings;
  const std::vector<Placed> controls = {
      {"btnSet", main, &FMain->btnSet, {6, 2, 130, 30}, "1º  COM Auswahl  "},
      {"btnSend", main, &FMain->btnSend, {6, 37, 130, 30}, "2º   Firmware laden   "},
      {"Label2", main, &FMain->Label2, {140, 2}, "ANLEITUNG: Receiver hinten ausschalten.       "},
      {"Label3", main, &FMain->Label3, {140, 17}, "1º Richtigen COM-Port einstellen.  ."},
      {"Label4", main, &FMain->Label4, {140, 32}, "2º Firmware auswaehlen und laden.              ."},
      {"Label5", main, &FMain->Label5, {140, 47}, "3º Receiver hinten wieder einschalten.         ."},
      {"Label6", main, &FMain->Label6, {140, 62}, "Geraet neu starten, wenn GOOD im Display steht."},
      {"Label1", main, &FMain->Label1, {2, 70}, "Dialogfenster       "},
      {"Log", main, &FMain->Log, {2, 84, 378, 70}, ""},
      {"rComm", settings, &FSettings->rComm, {10, 8, 251, 109}, ""},
      {"btnOK", settings, &FSettings->btnOK, {12, 124, 75, 25}, "OK"},
  };
  for (const auto& placed : controls) {
    SCOPED_TRACE(placed.name);
    const forms::Rect bounds = placed.control->Bounds();
    EXPECT_EQ(bounds.left, placed.layout.left);
    EXPECT_EQ(bounds.top, placed.layout.top);
    if (placed.layout.width != 0) {
      EXPECT_EQ(bounds.width, placed.layout.width);
      EXPECT_EQ(bounds.height, placed.layout.height);
    }
    const forms::Size needed = placed.control->PreferredSize();
    EXPECT_LE(needed.width, bounds.width);
    EXPECT_LE(needed.height, bounds.height);
    const forms::Rect client = placed.form->ClientBounds();
    EXPECT_LE(bounds.left + bounds.width, client.width);
    EXPECT_LE(bounds.top + bounds.height, client.height);
    if (auto* button = dynamic_cast<const forms::Button*>(placed.control)) {
      EXPECT_EQ(button->Text(), placed.text);
    }
    if (auto* label = dynamic_cast<const forms::Label*>(placed.control)) {
      EXPECT_EQ(label->Text(), placed.text);
    }
  }
  // The instruction lines stack without overlapping, and the label above
  // Log ends where Log begins.
  const forms::Label* lines[] = {&FMain->Label2, &FMain->Label3, &FMain->Label4, &FMain->Label5,
                                 &FMain->Label6};
  for (int i = 0; i + 1 < 5; ++i) {
    const forms::Rect r = lines[i]->Bounds();
    EXPECT_LE(r.top + r.height, lines[i + 1]->Bounds().top + 2) << "line " << i;
  }
  const forms::Rect label1 = FMain->Label1.Bounds();
  EXPECT_LE(label1.top + label1.height, FMain->Log.Bounds().top);
}

enum class CloseBy { OkButton, TitleBar };

void PrintTo(CloseBy by, std::ostream* out) { *out << (by == CloseBy::OkButton ? "OK" : "title bar"); }

class PortChoiceTest : public WindowTest, public ::testing::WithParamInterface<CloseBy> {};

TEST_P(PortChoiceTest, TheItemSelectedWhenTheDialogClosesBecomesThePort) {
  EmulatedLoader loader;
  ScopedEnv com3("RXFLASH_COM3", loader.Path());
  ActivatePort();  // a line open on COM3 stays open on COM3
  ASSERT_TRUE(SerialPort.IsOpen());
  FSettings->rComm.SetItemIndex(1);  // a stale selection is replaced by PortIndex

  struct {
    bool shown = false;
    int item = -1;
    WindowBox box;
    WindowHints hints;
    std::string title;
  } dialog;
  answer_ = [&](const forms::ModalShowing& showing) -> std::optional<bool> {
    if (showing.kind != Kind::Form) return true;
    WhenShown(kSettingsTitle, [&](unsigned long window) {
      dialog.shown = true;
      dialog.item = FSettings->rComm.ItemIndex();
      dialog.box = Geometry(window);
      dialog.hints = Hints(window);
      dialog.title = WindowTitle(window);
      if (GetParam() == CloseBy::OkButton) Screenshot(window, ScreenshotPath("settings.png"));
      // "COM1" is the first line under the group's caption.
      const forms::Rect client = FSettings->ClientBounds();
      const forms::Rect group = FSettings->rComm.Bounds();
      ClickAt(client.left + group.left + 40, client.top + group.top + 30);
      if (GetParam() == CloseBy::OkButton)
        Click(*FSettings, FSettings->btnOK);
      else
        RequestClose(window);
    });
    return std::nullopt;  // the dialog shows for real
  };
  FMain->btnSet.Click();

  EXPECT_TRUE(dialog.shown);
  EXPECT_EQ(dialog.item, 2);
  EXPECT_EQ(dialog.title, kSettingsTitle);
  EXPECT_EQ(dialog.box.left, 390);
  EXPECT_EQ(dialog.box.top, 204);
  EXPECT_EQ(dialog.box.width, 270);
  EXPECT_EQ(dialog.box.height, 153);
  EXPECT_TRUE(dialog.hints.fixedSize);
  EXPECT_EQ(dialog.hints.functions, kMotifMove | kMotifClose);
  EXPECT_EQ(PortIndex, 0);
  EXPECT_FALSE(FSettings->Visible());
  EXPECT_TRUE(SerialPort.IsOpen());
  ASSERT_EQ(seen_.size(), 1u);
  EXPECT_EQ(seen_[0].text, kSettingsTitle);
}

INSTANTIATE_TEST_SUITE_P(Closing, PortChoiceTest,
                         ::testing::Values(CloseBy::OkButton, CloseBy::TitleBar),
                         [](const auto& info) {
                           return info.param == CloseBy::OkButton ? "ByOk" : "ByTitleBar";
                         });

TEST_F(WindowTest, WithNoPortToOpenThePortErrorFollowsThePortsOwnMessage) {
  FMain->Log.Append("from before");
  FMain->btnSend.Click();
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"Could not create handle", "Port Error."}));
  EXPECT_EQ(seen_.size(), 2u);  // and no file dialog
  EXPECT_TRUE(FMain->Log.Lines().empty());
  EXPECT_FALSE(SerialPort.IsOpen());
}

TEST_F(WindowTest, CancellingTheFileDialogEndsSilentlyWithTheLineOpen) {
  EmulatedLoader loader;
  ScopedEnv com3("RXFLASH_COM3", loader.Path());
  FMain->Log.Append("from before");
  answer_ = [](const forms::ModalShowing& showing) {
    if (showing.dialog) showing.dialog->FileName = "/somewhere/else.bin";
    return false;
  };
  FMain->btnSend.Click();
  FMain->btnSend.Click();

  ASSERT_EQ(seen_.size(), 2u);
  for (const auto& seen : seen_) {
    EXPECT_EQ(seen.kind, Kind::OpenDialog);
    EXPECT_EQ(seen.text, "Load");
    EXPECT_EQ(seen.filter, "File(*.bin)|*.bin");
    EXPECT_EQ(seen.fileName, "rom_S.bin");  // set again before every showing
    EXPECT_TRUE(seen.log.empty());
  }
  EXPECT_TRUE(FMain->Log.Lines().empty());
  EXPECT_TRUE(SerialPort.IsOpen());  // COM3: the other ports lead nowhere
  EXPECT_EQ(loader.Finish().bytesReceived, 0u);
}

// An image in the file dialog and a loader on COM3 that takes 2 ms a frame:
// time enough for clicks and closes to arrive mid-upload.
class PacedUploadTest : public WindowTest {
 protected:
  static LoaderConfig Paced() {
    LoaderConfig config;
    config.frameDelayMs = 2;
    return config;
  }
  void SetUp() override {
    WindowTest::SetUp();
    WriteFile(path, image);
    ChooseImage(path);
  }

  TempDir dir;
  const std::vector<std::uint8_t> image = MakeImage(ImageSize);
  const std::string path = dir.File("rom_S.bin");
  EmulatedLoader loader{Paced()};
  ScopedEnv com3{"RXFLASH_COM3", loader.Path()};
};

TEST_F(PacedUploadTest, UploadsTheImageWithBothButtonsDisabledMeanwhile) {

  struct {
    bool ran = false, setEnabled = true, sendEnabled = true;
    std::string lastLine;
  } during;
  forms::App().Post([&] {
    during.ran = true;
    during.setEnabled = FMain->btnSet.Enabled();
    during.sendEnabled = FMain->btnSend.Enabled();
    during.lastLine = FMain->Log.Lines().back();
    // Presses in code and through X: none may start anything.
    FMain->btnSend.Click();
    FMain->btnSet.Click();
    Click(*FMain, FMain->btnSend);
    Click(*FMain, FMain->btnSet);
  });
  FMain->btnSend.Click();
  const LoaderReport& report = loader.Finish();

  EXPECT_TRUE(during.ran);
  EXPECT_FALSE(during.setEnabled);
  EXPECT_FALSE(during.sendEnabled);
  EXPECT_EQ(during.lastLine, "Block 1");  // lines show as they come
  EXPECT_EQ(FMain->Log.Lines(), kFullUpload);
  EXPECT_TRUE(report.complete);
  EXPECT_EQ(report.image, image);
  EXPECT_EQ(FirmwarePath, path);
  EXPECT_TRUE(FMain->btnSet.Enabled());
  EXPECT_TRUE(FMain->btnSend.Enabled());
  Pump(300);  // a click held back until now would show here
  ASSERT_EQ(seen_.size(), 1u);
  EXPECT_EQ(seen_[0].kind, Kind::OpenDialog);
  EXPECT_TRUE(Screenshot(mainWindow_, ScreenshotPath("main-after-upload.png")));

  // The same real click on the enabled button does start the command.
  answer_ = {};
  ASSERT_TRUE(Click(*FMain, FMain->btnSend));
  EXPECT_TRUE(PumpUntil([&] { return seen_.size() == 2; }));
  EXPECT_TRUE(FMain->Log.Lines().empty());
}

TEST_F(WindowTest, ASecondUploadClearsTheFailedOnesLinesFirst) {
  TempDir dir;
  WriteFile(dir.File("rom_S.bin"), MakeImage(ImageSize));
  WriteFile(dir.File("short.bin"), MakeImage(ImageSize - 1));
  LoaderConfig config;
  config.fault = {LoaderStep::Start, Misbehaviour::Wrong};
  EmulatedLoader loader(config);
  ScopedEnv com3("RXFLASH_COM3", loader.Path());

  ChooseImage(dir.File("rom_S.bin"));
  FMain->btnSend.Click();
  const auto failed = FMain->Log.Lines();
  ASSERT_EQ(failed.size(), 3u);
  EXPECT_EQ(failed.back(), "Verbindungsfehler   1.");

  ChooseImage(dir.File("short.bin"));
  FMain->btnSend.Click();
  ASSERT_EQ(seen_.size(), 2u);
  EXPECT_TRUE(seen_[1].log.empty());
  EXPECT_EQ(FMain->Log.Lines(), std::vector<std::string>{"Tamaño erroneo.!"});
}

TEST_F(PacedUploadTest, ClosingTheWindowDuringAnUploadEndsItBeforeTheNextFrame) {
  forms::App().Post([&] { RequestClose(mainWindow_); });  // the title bar's close button

  FMain->btnSend.Click();
  const LoaderReport& report = loader.Finish();

  EXPECT_TRUE(forms::App().Terminated());
  EXPECT_FALSE(FMain->Visible());
  const auto lines = FMain->Log.Lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines.back(), "Block " + std::to_string(report.frames - 1));
  EXPECT_LT(report.frames, 300);  // stopped well short of the end
  EXPECT_FALSE(report.complete);
  EXPECT_TRUE(report.violations.empty());
  ASSERT_LE(report.image.size(), image.size());
  EXPECT_TRUE(std::equal(report.image.begin(), report.image.end(), image.begin()));
  EXPECT_FALSE(IsOpenInThisProcess(path));
}

TEST_F(WindowTest, AnErrorEscapingAHandlerIsShownAndTheProgramGoesOn) {
  FMain->btnSet.OnClick = [](forms::Component*) { throw std::runtime_error("Zugriffsverletzung"); };
  FMain->btnSet.Click();
  ASSERT_TRUE(Click(*FMain, FMain->btnSet));
  ASSERT_TRUE(PumpUntil([&] { return seen_.size() == 2; }));
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"Zugriffsverletzung", "Zugriffsverletzung"}));

  FMain->btnSend.Click();  // the other command still runs
  EXPECT_EQ(BoxTexts().back(), "Port Error.");
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  forms::Application application(argc, argv);
  if (!application.Initialized()) {
    std::fputs("gui_test: no X display; run it through tests/run-in-xvfb\n", stderr);
    return 1;
  }
  return RUN_ALL_TESTS();
}
