#include "message.h"

#include <cstdio>
#include <utility>

namespace {

void PrintOnStderr(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
}

MessageSink& CurrentSink() {
  static MessageSink sink = PrintOnStderr;
  return sink;
}

}  // namespace

MessageSink SetMessageSink(MessageSink sink) {
  if (!sink) sink = PrintOnStderr;
  return std::exchange(CurrentSink(), std::move(sink));
}

void ShowMessage(const std::string& text) { CurrentSink()(text); }
