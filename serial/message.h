#pragma once

#include <functional>
#include <string>

// The port's way of telling the user something ("show a message"). The window
// program shows a modal box, the command-line program prints a line on stderr,
// tests capture the text. The default sink prints on stderr.
using MessageSink = std::function<void(const std::string& text)>;

// Replaces the sink and returns the previous one. An empty sink restores the
// default.
MessageSink SetMessageSink(MessageSink sink);

void ShowMessage(const std::string& text);
