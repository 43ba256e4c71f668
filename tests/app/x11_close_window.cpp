// Asks an X11 window to close the way a window manager does when its close button is clicked:
// a WM_PROTOCOLS client message carrying WM_DELETE_WINDOW, sent to the window itself.
// Usage: x11_close_window TITLE   (exit 0 when the message was sent, 1 when no such window)
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

bool HasTitle(Display* display, Window window, const char* title) {
  XTextProperty text;
  if (XGetWMName(display, window, &text) == 0 || text.value == nullptr) return false;
  const bool match = std::strcmp(reinterpret_cast<const char*>(text.value), title) == 0;
  XFree(text.value);
  return match;
}

Window FindByTitle(Display* display, Window top, const char* title) {
  if (HasTitle(display, top, title)) return top;
  Window root = 0;
  Window parent = 0;
  Window* children = nullptr;
  unsigned count = 0;
  if (XQueryTree(display, top, &root, &parent, &children, &count) == 0) return 0;
  Window found = 0;
  for (unsigned i = 0; i < count && found == 0; ++i) {
    found = FindByTitle(display, children[i], title);
  }
  if (children != nullptr) XFree(children);
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: x11_close_window TITLE\n");
    return 2;
  }
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    std::fprintf(stderr, "x11_close_window: cannot open the display\n");
    return 2;
  }
  const Window window = FindByTitle(display, DefaultRootWindow(display), argv[1]);
  if (window == 0) {
    std::fprintf(stderr, "x11_close_window: no window titled %s\n", argv[1]);
    XCloseDisplay(display);
    return 1;
  }
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(display, window, False, NoEventMask, &event);
  XFlush(display);
  XCloseDisplay(display);
  return 0;
}
