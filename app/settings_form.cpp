#include "settings_form.h"

TFSettings* FSettings = nullptr;

TFSettings::TFSettings()
    : Form({forms::FormKind::Dialog, 390, 204, 270, 153}),
      rComm(*this, {10, 8, 251, 109}, "Selecciona el Puerto", {"COM1", "COM2", "COM3", "COM4"}),
      btnOK(*this, {12, 124, 75, 25}, "OK") {
  SetCaption("Comunicación Puerto");
  rComm.MoveAfterInTabOrder(btnOK);
  rComm.OnClick = [this](forms::Component* sender) { rCommClick(sender); };
  btnOK.OnClick = [this](forms::Component* sender) { btnOKClick(sender); };
}

// A click on an item only moves the selection; the choice is taken when the
// dialog closes.
void TFSettings::rCommClick(forms::Component*) {}

void TFSettings::btnOKClick(forms::Component*) { Close(); }
