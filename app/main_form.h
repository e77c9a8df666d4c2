#pragma once

// The main window: the user's instructions, the two commands (choose the
// port, upload an image) and Log, where every upload writes its lines.

#include <string>

#include "forms/forms.h"

class TFMain : public forms::Form {
 public:
  TFMain();

  forms::Button btnSet;
  forms::Button btnSend;
  forms::Label Label2, Label3, Label4, Label5, Label6, Label1;
  forms::Memo Log;
  forms::OpenDialog OpenDlg1;

  void FormCreate(forms::Component* sender);
  void btnSettingsClick(forms::Component* sender);
  void btnSendClick(forms::Component* sender);
};

// The port's messages appear as modal boxes in the window program.
void ShowPortMessagesInBoxes();

extern TFMain* FMain;
extern std::string FirmwarePath;  // the image chosen last
