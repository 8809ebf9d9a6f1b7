#include "platform/desktop/x11/X11Desktop.h"

#include <X11/XKBlib.h>

#include "platform/desktop/x11/display_x11.h"
#include "platform/desktop/x11/events_x11.h"
#include "platform/desktop/x11/input_sources_x11.h"
#include "platform/desktop/x11/power_x11.h"
#include "platform/desktop/x11/system_x11.h"
#include "platform/desktop/x11/x11_connection.h"

namespace desktop::x11 {

std::shared_ptr<Desktop> CreateX11Desktop(const std::string& displayName, std::string* error) {
  // Two connections: the capture thread's (image, cursor) and the platform thread's (input,
  // windows, screens, layouts, power). Each is used under its own mutex only, so a grab never
  // waits for input and Xlib needs no XInitThreads.
  auto control = XConnection::Open(displayName, error);
  if (!control) return nullptr;
  {
    std::lock_guard lock(control->mutex());
    int opcode, eventBase, errorBase, major = XkbMajorVersion, minor = XkbMinorVersion;
    if (!XkbQueryExtension(control->display(), &opcode, &eventBase, &errorBase, &major, &minor)) {
      if (error) *error = "X display \"" + control->name() + "\" lacks the XKEYBOARD extension";
      return nullptr;
    }
  }
  auto capture = XConnection::Open(displayName, error);
  if (!capture) return nullptr;

  auto display = std::make_shared<DisplayX11>(capture, DisplayX11::Options{});
  auto events = std::make_shared<EventsX11>(control);
  auto desktop = std::make_shared<Desktop>();
  desktop->display = display;
  desktop->cursor = display;
  desktop->events = events;
  desktop->system = std::make_shared<SystemX11>(control, events->hasXTest());
  desktop->inputSources = std::make_shared<InputSourcesX11>(control);
  desktop->power = std::make_shared<PowerX11>(control);
  return desktop;
}

}  // namespace desktop::x11
