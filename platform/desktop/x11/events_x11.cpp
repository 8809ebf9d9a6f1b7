#include "platform/desktop/x11/events_x11.h"

#include <X11/XKBlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <optional>
#include <set>
#include <utility>

#include "platform/desktop/CoreGraphics.h"
#include "platform/desktop/x11/system_x11.h"
#include "platform/desktop/x11/x11_connection.h"
#include "platform/foundation/Clock.h"

namespace desktop::x11 {
namespace {

struct KeyRow {
  uint16_t mac;
  uint8_t x;
};
constexpr KeyRow kKeyTable[] = {
#include "platform/desktop/x11/keycode_table.inc"
};

constexpr uint16_t kMacCapsLock = 57;
constexpr int32_t kCGErrorFailure = 1000;

// Moves and warps use the screen layout read at most this long ago (seconds); presses read it
// afresh, and a RandR notification makes it stale at once. Monitors set with RandR 1.5 alone
// (xrandr --setmonitor) send no notification, so the age bound is what picks those up.
constexpr double kLayoutMaxAge = 1.0;

}  // namespace

int XKeycodeForMacKey(uint16_t macKeyCode) {
  for (const auto& row : kKeyTable) {
    if (row.mac == macKeyCode) return row.x;
  }
  return 0;
}

int XButtonForMouseButton(uint32_t button) {
  static constexpr std::array<int, 5> kButtons = {1, 3, 2, 8, 9};
  return button < kButtons.size() ? kButtons[button] : 0;
}

struct EventsX11::Impl {
  // Where global display points sit on the root window, and the root's size.
  struct Layout {
    int originX = 0, originY = 0;  // the primary monitor's top-left corner on the root
    int width = 1, height = 1;     // the root window
  };

  std::shared_ptr<XConnection> connection;
  bool xtest = false;
  bool randrMonitors = false;
  int randrEventBase = -1;
  int minKeycode = 8;
  int maxKeycode = 255;
  std::map<int, bool> heldKeys;  // X keycode → its auto-repeat was on before we turned it off
  std::set<int> heldButtons;
  int32_t verticalRemainder = 0;
  int32_t horizontalRemainder = 0;
  // The remote side's caps-lock state as its events last carried it (alpha-shift).
  bool remoteCapsLock = false;
  // Where moveCursorToPoint just put the pointer (root coordinates), until the next posted
  // event: the input path moves the cursor and then posts the mouse-moved event at the same
  // point, whose motion would be a second, empty one.
  std::optional<std::pair<int, int>> warpedTo;
  Layout layout;
  std::optional<double> layoutReadAt;  // media time of the last read; none: read before use

  Display* dpy() const { return connection->display(); }

  // The layout, read again when a RandR notification came, when `fresh` asks for it or when
  // the last read is older than kLayoutMaxAge.
  const Layout& currentLayout(bool fresh) {
    Display* d = dpy();
    while (XPending(d) > 0) {
      XEvent event;
      XNextEvent(d, &event);
      if (randrEventBase >= 0 && event.type >= randrEventBase &&
          event.type <= randrEventBase + RRNotify) {
        layoutReadAt.reset();
      }
    }
    const double now = CACurrentMediaTime();
    if (!fresh && layoutReadAt && now - *layoutReadAt < kLayoutMaxAge) return layout;
    Layout read;
    Window root;
    int x, y;
    unsigned int w = 0, h = 0, border, depth;
    if (XGetGeometry(d, connection->root(), &root, &x, &y, &w, &h, &border, &depth)) {
      read.width = std::max(1, int(w));
      read.height = std::max(1, int(h));
    }
    if (randrMonitors) {
      MonitorLayout monitors = ReadMonitorLayout(*connection);
      if (monitors.primary < monitors.monitors.size()) {
        const CGPoint& origin = monitors.monitors[monitors.primary].origin;
        read.originX = int(origin.x);
        read.originY = int(origin.y);
      }
    }
    layout = read;
    layoutReadAt = now;
    return layout;
  }

  // A point of the global display space (origin at the primary monitor's top-left corner) on
  // the root window: moved by the primary's origin, rounded, and clamped to the root, because
  // XTest carries 16-bit coordinates and a point beyond them would wrap around to an arbitrary
  // place on the screen.
  std::pair<int, int> toRoot(CGPoint p, bool fresh) {
    const Layout& l = currentLayout(fresh);
    auto axis = [](double v, int origin, int size) {
      double r = std::isnan(v) ? double(origin) : v + origin;
      return int(std::lround(std::clamp(r, 0.0, double(size - 1))));
    };
    return {axis(p.x, l.originX, l.width), axis(p.y, l.originY, l.height)};
  }

  bool pointerAt(long x, long y) {
    Window root, child;
    int rx, ry, wx, wy;
    unsigned int mask;
    if (!XQueryPointer(dpy(), connection->root(), &root, &child, &rx, &ry, &wx, &wy, &mask)) {
      return false;
    }
    return rx == x && ry == y;
  }

  void moveTo(std::pair<int, int> root) {
    XTestFakeMotionEvent(dpy(), -1, root.first, root.second, CurrentTime);
  }

  void button(int xButton, bool down) {
    if (xButton == 0) return;
    if (down) {
      if (!heldButtons.insert(xButton).second) return;  // already held by us
    } else {
      heldButtons.erase(xButton);
    }
    XTestFakeButtonEvent(dpy(), xButton, down ? True : False, CurrentTime);
  }

  void click(int xButton) {
    XTestFakeButtonEvent(dpy(), xButton, True, CurrentTime);
    XTestFakeButtonEvent(dpy(), xButton, False, CurrentTime);
  }

  void mouse(const CGEvent& e) {
    int xButton = 0;
    bool press = false;
    switch (e.type) {
      case kCGEventMouseMoved: {
        auto root = toRoot(e.location, false);
        if (warpedTo == root) return;  // the warp was this motion
        moveTo(root);
        return;
      }
      case kCGEventLeftMouseDragged:
      case kCGEventRightMouseDragged:
      case kCGEventOtherMouseDragged:
        moveTo(toRoot(e.location, false));
        return;
      case kCGEventLeftMouseDown:
        press = true;
        [[fallthrough]];
      case kCGEventLeftMouseUp:
        xButton = 1;
        break;
      case kCGEventRightMouseDown:
        press = true;
        [[fallthrough]];
      case kCGEventRightMouseUp:
        xButton = 3;
        break;
      case kCGEventOtherMouseDown:
        press = true;
        [[fallthrough]];
      case kCGEventOtherMouseUp:
        xButton = XButtonForMouseButton(e.mouseButton);
        break;
      default:
        return;
    }
    auto root = toRoot(e.location, true);
    if (!pointerAt(root.first, root.second)) moveTo(root);
    button(xButton, press);
  }

  // Whole notches of `delta` after adding it to `remainder`, which keeps the rest (less than a
  // notch). At most kMaxWheelNotches a wheel per event; notches beyond it are dropped, not
  // carried over.
  static int32_t takeNotches(int32_t delta, int32_t& remainder) {
    int64_t total = int64_t{remainder} + delta;
    int64_t notches = total / 120;  // toward zero: the remainder keeps the sign of the motion
    remainder = static_cast<int32_t>(total - notches * 120);
    return static_cast<int32_t>(std::clamp<int64_t>(notches, -kMaxWheelNotches, kMaxWheelNotches));
  }

  void scroll(const CGEvent& e) {
    int32_t vertical = std::clamp(e.wheel1, -kMaxWheelNotches, kMaxWheelNotches);
    int32_t horizontal = std::clamp(e.wheel2, -kMaxWheelNotches, kMaxWheelNotches);
    if (e.scrollUnits == kCGScrollEventUnitPixel) {
      vertical = takeNotches(e.wheel1, verticalRemainder);
      horizontal = takeNotches(e.wheel2, horizontalRemainder);
    }
    for (int32_t i = 0; i < std::abs(vertical); ++i) click(vertical > 0 ? 4 : 5);
    for (int32_t i = 0; i < std::abs(horizontal); ++i) click(horizontal > 0 ? 6 : 7);
  }

  void setCapsLock(bool on) {
    XkbStateRec state{};
    if (XkbGetState(dpy(), XkbUseCoreKbd, &state) != Success) return;
    bool locked = (state.locked_mods & LockMask) != 0;
    if (locked != on) XkbLockModifiers(dpy(), XkbUseCoreKbd, LockMask, on ? LockMask : 0);
  }

  bool isModifierKey(int keycode) {
    KeySym sym = XkbKeycodeToKeysym(dpy(), KeyCode(keycode), 0, 0);
    return IsModifierKey(sym) || sym == XK_ISO_Level3_Shift || sym == XK_ISO_Level5_Shift;
  }

  bool autoRepeatOn(int keycode) {
    XKeyboardState state{};
    XGetKeyboardControl(dpy(), &state);
    return state.global_auto_repeat == AutoRepeatModeOn &&
           (state.auto_repeats[keycode / 8] & (1 << (keycode % 8))) != 0;
  }

  void setAutoRepeat(int keycode, bool on) {
    XKeyboardControl control{};
    control.key = keycode;
    control.auto_repeat_mode = on ? AutoRepeatModeOn : AutoRepeatModeOff;
    XChangeKeyboardControl(dpy(), KBKey | KBAutoRepeatMode, &control);
  }

  void key(const CGEvent& e) {
    // Only a change of the remote side's state touches the lock: a local user's Caps Lock stays
    // as it is through remote typing that does not change the remote state.
    const bool capsLock = (e.flags & kCGEventFlagMaskAlphaShift) != 0;
    if (capsLock != remoteCapsLock) {
      remoteCapsLock = capsLock;
      setCapsLock(capsLock);
    }
    if (e.keyCode == kMacCapsLock) return;
    int keycode = XKeycodeForMacKey(e.keyCode);
    if (keycode < minKeycode || keycode > maxKeycode) return;  // BadValue otherwise
    bool down = e.type == kCGEventKeyDown ? true : e.type == kCGEventKeyUp ? false : e.keyDown;
    auto held = heldKeys.find(keycode);
    if (down) {
      if (held != heldKeys.end()) {
        if (isModifierKey(keycode)) return;
        XTestFakeKeyEvent(dpy(), keycode, False, CurrentTime);  // the remote side's repeat
      } else {
        bool repeat = autoRepeatOn(keycode);
        if (repeat) setAutoRepeat(keycode, false);
        heldKeys[keycode] = repeat;
      }
      XTestFakeKeyEvent(dpy(), keycode, True, CurrentTime);
    } else if (held != heldKeys.end()) {
      XTestFakeKeyEvent(dpy(), keycode, False, CurrentTime);
      if (held->second) setAutoRepeat(keycode, true);
      heldKeys.erase(held);
    }
  }

  void releaseAll() {
    for (auto [keycode, repeat] : heldKeys) {
      XTestFakeKeyEvent(dpy(), keycode, False, CurrentTime);
      if (repeat) setAutoRepeat(keycode, true);
    }
    heldKeys.clear();
    for (int b : heldButtons) XTestFakeButtonEvent(dpy(), b, False, CurrentTime);
    forgetAll();
  }

  void forgetAll() {
    heldKeys.clear();
    heldButtons.clear();
    verticalRemainder = horizontalRemainder = 0;
    remoteCapsLock = false;  // the next remote side starts with caps lock off
  }
};

EventsX11::EventsX11(std::shared_ptr<XConnection> connection) : impl_(std::make_unique<Impl>()) {
  impl_->connection = std::move(connection);
  std::lock_guard lock(impl_->connection->mutex());
  Display* dpy = impl_->dpy();
  int eventBase, errorBase, major, minor;
  impl_->xtest = XTestQueryExtension(dpy, &eventBase, &errorBase, &major, &minor);
  // Injection goes on while another client holds a server grab.
  if (impl_->xtest) XTestGrabControl(dpy, True);
  XDisplayKeycodes(dpy, &impl_->minKeycode, &impl_->maxKeycode);
  impl_->randrMonitors = HasRandrMonitors(*impl_->connection);
  int randrErrorBase = 0;
  if (XRRQueryExtension(dpy, &eventBase, &randrErrorBase)) {
    impl_->randrEventBase = eventBase;
    XRRSelectInput(dpy, impl_->connection->root(),
                   RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
  }
}

EventsX11::~EventsX11() {
  releaseHeldInput();
}

bool EventsX11::hasXTest() const {
  return impl_->xtest;
}

bool EventsX11::createEventSource(int32_t) {
  return impl_->xtest;
}

void EventsX11::post(uint32_t, const CGEvent& event) {
  std::lock_guard lock(impl_->connection->mutex());
  if (!impl_->xtest || impl_->connection->lost()) return;
  const auto warpedTo = std::exchange(impl_->warpedTo, std::nullopt);
  if (event.kind == CGEventKind::kMouse && event.type == kCGEventMouseMoved) {
    // The hot path (a burst of moves): no round trip. XTest motion has no error case, and an
    // error would still be logged by the connection's handler.
    impl_->warpedTo = warpedTo;
    impl_->mouse(event);
    impl_->warpedTo.reset();
    XFlush(impl_->dpy());
    return;
  }
  XErrorTrap trap(impl_->dpy());
  switch (event.kind) {
    case CGEventKind::kMouse:
      impl_->mouse(event);
      break;
    case CGEventKind::kScrollWheel:
      impl_->scroll(event);
      break;
    case CGEventKind::kKeyboard:
      impl_->key(event);
      break;
  }
  trap.sync();
}

int32_t EventsX11::moveCursorToPoint(uint32_t, CGPoint point) {
  std::lock_guard lock(impl_->connection->mutex());
  if (!impl_->xtest || impl_->connection->lost()) return kCGErrorFailure;
  // Sent without waiting for the server, like a posted move (see post()).
  auto root = impl_->toRoot(point, false);
  impl_->moveTo(root);
  impl_->warpedTo = root;
  XFlush(impl_->dpy());
  return 0;
}

CGPoint EventsX11::cursorLocation() {
  std::lock_guard lock(impl_->connection->mutex());
  if (impl_->connection->lost()) return CGPoint{0, 0};
  Window root, child;
  int rx = 0, ry = 0, wx, wy;
  unsigned int mask;
  XQueryPointer(impl_->dpy(), impl_->connection->root(), &root, &child, &rx, &ry, &wx, &wy, &mask);
  const auto& layout = impl_->currentLayout(false);
  return CGPoint{double(rx - layout.originX), double(ry - layout.originY)};
}

void EventsX11::releaseHeldInput() {
  std::lock_guard lock(impl_->connection->mutex());
  if (!impl_->xtest) return;
  if (impl_->connection->lost()) {
    // The server and everything it held are gone: nothing to release.
    impl_->forgetAll();
    return;
  }
  XErrorTrap trap(impl_->dpy());
  impl_->releaseAll();
  trap.sync();
}

}  // namespace desktop::x11
