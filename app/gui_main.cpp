// rxflash, the window program. It takes no arguments.

#include <cstdio>

#include "forms/forms.h"
#include "main_form.h"
#include "serial/message.h"

int main(int argc, char** argv) {
  forms::Application application(argc, argv);
  if (!application.Initialized()) {
    std::fputs("rxflash: no display to show the window on\n", stderr);
    return 1;
  }
  ShowPortMessagesInBoxes();
  application.CreateForm(FMain);
  application.Run();
  SetMessageSink({});
  return 0;
}
