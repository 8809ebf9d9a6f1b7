#include "platform/desktop/x11/events_x11.h"

#include <X11/XKBlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <array>
#include <cmath>
#include <map>
#include <optional>
#include <set>
#include <utility>

#include "platform/desktop/CoreGraphics.h"
#include "platform/desktop/x11/x11_connection.h"

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
  std::shared_ptr<XConnection> connection;
  bool xtest = false;
  int minKeycode = 8;
  int maxKeycode = 255;
  std::map<int, bool> heldKeys;  // X keycode → its auto-repeat was on before we turned it off
  std::set<int> heldButtons;
  int32_t verticalRemainder = 0;
  int32_t horizontalRemainder = 0;
  // Where moveCursorToPoint just put the pointer, until the next posted event: the input path
  // moves the cursor and then posts the mouse-moved event at the same point, whose motion
  // would be a second, empty one.
  std::optional<std::pair<int, int>> warpedTo;

  Display* dpy() const { return connection->display(); }

  bool pointerAt(long x, long y) {
    Window root, child;
    int rx, ry, wx, wy;
    unsigned int mask;
    if (!XQueryPointer(dpy(), connection->root(), &root, &child, &rx, &ry, &wx, &wy, &mask)) {
      return false;
    }
    return rx == x && ry == y;
  }

  static std::pair<int, int> Rounded(CGPoint p) {
    return {int(std::lround(p.x)), int(std::lround(p.y))};
  }

  void moveTo(CGPoint p) {
    auto [x, y] = Rounded(p);
    XTestFakeMotionEvent(dpy(), -1, x, y, CurrentTime);
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
      case kCGEventMouseMoved:
        if (warpedTo == Rounded(e.location)) return;  // the warp was this motion
        moveTo(e.location);
        return;
      case kCGEventLeftMouseDragged:
      case kCGEventRightMouseDragged:
      case kCGEventOtherMouseDragged:
        moveTo(e.location);
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
    if (!pointerAt(std::lround(e.location.x), std::lround(e.location.y))) moveTo(e.location);
    button(xButton, press);
  }

  // Whole notches of `delta` after adding it to `remainder`, which keeps the rest.
  static int32_t takeNotches(int32_t delta, int32_t& remainder) {
    int64_t total = int64_t{remainder} + delta;
    int64_t notches = total / 120;  // toward zero: the remainder keeps the sign of the motion
    remainder = static_cast<int32_t>(total - notches * 120);
    return static_cast<int32_t>(notches);
  }

  void scroll(const CGEvent& e) {
    int32_t vertical = e.wheel1, horizontal = e.wheel2;
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
    setCapsLock((e.flags & kCGEventFlagMaskAlphaShift) != 0);
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
  impl_->moveTo(point);
  impl_->warpedTo = Impl::Rounded(point);
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
  return CGPoint{double(rx), double(ry)};
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
