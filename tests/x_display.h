#pragma once

// Looking at and driving windows on the X display as a person would: the
// tests find windows by title, click and type through the XTEST extension
// (xdotool), ask windows to close as a window manager's close button does,
// and take screenshots (ImageMagick's import).

#include <functional>
#include <string>

struct WindowBox {
  int left = 0, top = 0, width = 0, height = 0;
};

// The mapped top-level window with this title (UTF-8), waiting up to
// timeoutMs for it; 0 when there is none. Between looks it runs idle, so
// that a test can keep its own windows answering meanwhile.
unsigned long FindWindow(const std::string& title, int timeoutMs,
                         const std::function<void()>& idle = {});
bool WindowShown(const std::string& title);
WindowBox Geometry(unsigned long window);  // relative to the screen
std::string WindowTitle(unsigned long window);

// What a window asks of a window manager: its size limits, and which
// functions (_MOTIF_WM_HINTS) the title bar and menu may offer.
struct WindowHints {
  bool fixedSize = false;  // minimum size equals maximum size
  long functions = -1;     // -1 when the window sets none
};
constexpr long kMotifResize = 2, kMotifMove = 4, kMotifMinimize = 8, kMotifMaximize = 16,
               kMotifClose = 32;
WindowHints Hints(unsigned long window);

// Sends WM_DELETE_WINDOW, what a title bar's close button does.
bool RequestClose(unsigned long window);

// Real input through the X server.
bool ClickAt(int x, int y);
bool PressKey(const std::string& key);  // an xdotool key name: "Return"

// Saves a PNG of the window; false when import failed.
bool Screenshot(unsigned long window, const std::string& path);
