#include "x_display.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>

#include "process.h"

namespace {

struct DisplayCloser {
  void operator()(Display* display) const { XCloseDisplay(display); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

DisplayPtr OpenDisplay() { return DisplayPtr(XOpenDisplay(nullptr)); }

std::string Utf8Property(Display* display, Window window, const char* name, Atom type) {
  Atom actualType;
  int format;
  unsigned long count, after;
  unsigned char* data = nullptr;
  std::string text;
  if (XGetWindowProperty(display, window, XInternAtom(display, name, False), 0, 1024, False, type,
                         &actualType, &format, &count, &after, &data) == Success &&
      data != nullptr) {
    if (format == 8) text.assign(reinterpret_cast<char*>(data), count);
    XFree(data);
  }
  return text;
}

std::string TitleOf(Display* display, Window window) {
  std::string title =
      Utf8Property(display, window, "_NET_WM_NAME", XInternAtom(display, "UTF8_STRING", False));
  if (title.empty()) title = Utf8Property(display, window, "WM_NAME", XA_STRING);
  return title;
}

Window FindNow(Display* display, const std::string& title) {
  Window root, parent, *children = nullptr;
  unsigned int count = 0;
  Window found = 0;
  if (!XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count)) return 0;
  for (unsigned int i = 0; i < count && found == 0; ++i) {
    XWindowAttributes attributes;
    if (XGetWindowAttributes(display, children[i], &attributes) &&
        attributes.map_state == IsViewable && TitleOf(display, children[i]) == title)
      found = children[i];
  }
  if (children) XFree(children);
  return found;
}

bool RunQuietly(const std::vector<std::string>& argv) { return RunProgram(argv).exitCode == 0; }

}  // namespace

unsigned long FindWindow(const std::string& title, int timeoutMs,
                         const std::function<void()>& idle) {
  DisplayPtr display = OpenDisplay();
  if (!display) return 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (Window window = FindNow(display.get(), title)) return window;
    if (std::chrono::steady_clock::now() >= deadline) return 0;
    if (idle) idle();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool WindowShown(const std::string& title) { return FindWindow(title, 0) != 0; }

WindowBox Geometry(unsigned long window) {
  DisplayPtr display = OpenDisplay();
  WindowBox box;
  XWindowAttributes attributes;
  Window child;
  if (!display || !XGetWindowAttributes(display.get(), window, &attributes)) return box;
  XTranslateCoordinates(display.get(), window, DefaultRootWindow(display.get()), 0, 0, &box.left,
                        &box.top, &child);
  box.width = attributes.width;
  box.height = attributes.height;
  return box;
}

std::string WindowTitle(unsigned long window) {
  DisplayPtr display = OpenDisplay();
  return display ? TitleOf(display.get(), window) : std::string();
}

WindowHints Hints(unsigned long window) {
  WindowHints hints;
  DisplayPtr display = OpenDisplay();
  if (!display) return hints;
  XSizeHints size{};
  long supplied = 0;
  if (XGetWMNormalHints(display.get(), window, &size, &supplied) &&
      (size.flags & PMinSize) && (size.flags & PMaxSize))
    hints.fixedSize = size.min_width == size.max_width && size.min_height == size.max_height;
  const Atom motif = XInternAtom(display.get(), "_MOTIF_WM_HINTS", False);
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(display.get(), window, motif, 0, 5, False, motif, &type, &format, &count,
                         &after, &data) == Success && data != nullptr) {
    const long* fields = reinterpret_cast<const long*>(data);
    if (format == 32 && count >= 2 && (fields[0] & 1)) hints.functions = fields[1];
    XFree(data);
  }
  return hints;
}

bool RequestClose(unsigned long window) {
  DisplayPtr display = OpenDisplay();
  if (!display) return false;
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display.get(), "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(display.get(), "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  const bool sent = XSendEvent(display.get(), window, False, NoEventMask, &event) != 0;
  XSync(display.get(), False);
  return sent;
}

bool ClickAt(int x, int y) {
  return RunQuietly({"xdotool", "mousemove", "--sync", std::to_string(x), std::to_string(y),
                     "click", "1"});
}

bool PressKey(const std::string& key) { return RunQuietly({"xdotool", "key", key}); }

bool Screenshot(unsigned long window, const std::string& path) {
  return RunQuietly({"import", "-window", std::to_string(window), path});
}
