#include "main_form.h"

#include <cstdint>

#include "port.h"
#include "serial/message.h"
#include "settings_form.h"
#include "upload/upload.h"

TFMain* FMain = nullptr;
std::string FirmwarePath;

void ShowPortMessagesInBoxes() {
  SetMessageSink([](const std::string& text) { forms::MessageBox(text); });
}

TFMain::TFMain()
    : Form({forms::FormKind::MainWindow, 317, 136, 385, 156}),
      btnSet(*this, {6, 2, 130, 30}, "1º  COM Auswahl  "),
      btnSend(*this, {6, 37, 130, 30}, "2º   Firmware laden   "),
      Label2(*this, 140, 2, "ANLEITUNG: Receiver hinten ausschalten.       "),
      Label3(*this, 140, 17, "1º Richtigen COM-Port einstellen.  ."),
      Label4(*this, 140, 32, "2º Firmware auswaehlen und laden.              ."),
      Label5(*this, 140, 47, "3º Receiver hinten wieder einschalten.         ."),
      Label6(*this, 140, 62, "Geraet neu starten, wenn GOOD im Display steht."),
      Label1(*this, 2, 70, "Dialogfenster       "),
      Log(*this, {2, 84, 378, 70}),
      OpenDlg1(*this) {
  btnSet.MoveAfterInTabOrder(Log);
  btnSend.MoveAfterInTabOrder(btnSet);
  btnSet.OnClick = [this](forms::Component* sender) { btnSettingsClick(sender); };
  btnSend.OnClick = [this](forms::Component* sender) { btnSendClick(sender); };
  OnCreate = [this](forms::Component* sender) { FormCreate(sender); };
  // The creation handler sets the dialog's selection, so the dialog comes first.
  forms::App().CreateForm(FSettings);
}

void TFMain::FormCreate(forms::Component*) {
  PortIndex = 2;
  FSettings->rComm.SetItemIndex(2);
  SetCaption("Kestro B34 0 2d");
}

void TFMain::btnSettingsClick(forms::Component*) {
  FSettings->rComm.SetItemIndex(PortIndex);
  FSettings->ShowModal();
  PortIndex = static_cast<std::uint8_t>(FSettings->rComm.ItemIndex());
}

void TFMain::btnSendClick(forms::Component*) {
  Log.Clear();
  if (!SerialPort.IsOpen()) {
    ActivatePort();
    if (!SerialPort.IsOpen()) {
      forms::MessageBox("Port Error.");
      return;
    }
  }
  OpenDlg1.Filter = "File(*.bin)|*.bin";
  OpenDlg1.Title = "Load";
  OpenDlg1.FileName = "rom_S.bin";
  if (!OpenDlg1.Execute()) return;
  FirmwarePath = OpenDlg1.FileName;

  // The upload handles window events between frames: no second upload and no
  // port change may start meanwhile, and a close of the window ends the upload
  // before its next frame.
  btnSet.SetEnabled(false);
  btnSend.SetEnabled(false);
  UploadImage(
      SerialPort, FirmwarePath, [this](const std::string& line) { Log.Append(line); },
      [] {
        forms::App().ProcessMessages();
        return !forms::App().Terminated();
      });
  btnSet.SetEnabled(true);
  btnSend.SetEnabled(true);
}
