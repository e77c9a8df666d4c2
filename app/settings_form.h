#pragma once

// The port selection dialog: which of COM1..COM4 the receiver hangs on.

#include "forms/forms.h"

class TFSettings : public forms::Form {
 public:
  TFSettings();

  forms::RadioGroup rComm;  // item index 0..3 is PortIndex
  forms::Button btnOK;

  void rCommClick(forms::Component* sender);
  void btnOKClick(forms::Component* sender);
};

extern TFSettings* FSettings;
