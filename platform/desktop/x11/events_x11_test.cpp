#include "platform/desktop/x11/events_x11.h"

// GoogleTest before Xlib: Xlib's macros (None, Bool) break gtest's headers.
#include <gtest/gtest.h>

#include <X11/XKBlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>

#include <future>
#include <thread>

#include "platform/desktop/CoreGraphics.h"
#include "platform/desktop/x11/test_support/X11TestFixture.h"

namespace desktop::x11 {
namespace {

using testing::CountEvents;
using testing::InputRecorder;
using testing::WaitFor;
using testing::X11Test;

constexpr uint16_t kMacA = 0, kMacS = 1, kMacCommand = 55, kMacShift = 56, kMacCapsLock = 57,
                   kMacOption = 58, kMacControl = 59;
constexpr int kXA = 38, kXCapsLock = 66, kXShiftL = 50;

CGEvent Mouse(CGEventType type, double x, double y, CGMouseButton button = 0) {
  CGEvent e;
  e.kind = CGEventKind::kMouse;
  e.type = type;
  e.location = {x, y};
  e.mouseButton = button;
  return e;
}

CGEvent Key(uint16_t code, bool down, CGEventFlags flags = 0) {
  CGEvent e;
  e.kind = CGEventKind::kKeyboard;
  e.type = down ? kCGEventKeyDown : kCGEventKeyUp;
  e.keyCode = code;
  e.keyDown = down;
  e.flags = flags;
  return e;
}

CGEvent Scroll(int32_t vertical, int32_t horizontal) {
  CGEvent e;
  e.kind = CGEventKind::kScrollWheel;
  e.type = kCGEventScrollWheel;
  e.scrollUnits = kCGScrollEventUnitPixel;
  e.wheelCount = 2;
  e.wheel1 = vertical;
  e.wheel2 = horizontal;
  return e;
}

bool HasType(const std::vector<XEvent>& events, int type, int detail, int count = 1) {
  return CountEvents(events, type, detail) >= count;
}

class EventsX11Test : public X11Test {
 protected:
  void post(const CGEvent& e) { desktop->events->post(kCGHIDEventTap, e); }

  unsigned lockedMods() {
    XkbStateRec state{};
    XkbGetState(observer, XkbUseCoreKbd, &state);
    return state.locked_mods;
  }
  bool keyDown(int keycode) {
    char keys[32];
    XQueryKeymap(observer, keys);
    return keys[keycode / 8] & (1 << (keycode % 8));
  }
  unsigned pointerMask(int* x = nullptr, int* y = nullptr) {
    Window root, child;
    int rx, ry, wx, wy;
    unsigned mask = 0;
    XQueryPointer(observer, DefaultRootWindow(observer), &root, &child, &rx, &ry, &wx, &wy, &mask);
    if (x) *x = rx;
    if (y) *y = ry;
    return mask;
  }
};

TEST(EventsTables, MacKeyCodesAndButtonsMapToX) {
  EXPECT_EQ(XKeycodeForMacKey(kMacA), kXA);
  EXPECT_EQ(XKeycodeForMacKey(kMacShift), kXShiftL);
  EXPECT_EQ(XKeycodeForMacKey(kMacCapsLock), kXCapsLock);
  EXPECT_EQ(XKeycodeForMacKey(36), 36);  // Return
  EXPECT_EQ(XKeycodeForMacKey(63), 0);   // Fn: beyond X's keycodes
  EXPECT_EQ(XKeycodeForMacKey(52), 0);   // no such macOS key
  EXPECT_EQ(XButtonForMouseButton(0), 1);
  EXPECT_EQ(XButtonForMouseButton(1), 3);
  EXPECT_EQ(XButtonForMouseButton(2), 2);
  EXPECT_EQ(XButtonForMouseButton(3), 8);
  EXPECT_EQ(XButtonForMouseButton(4), 9);
  EXPECT_EQ(XButtonForMouseButton(5), 0);
}

TEST_F(EventsX11Test, MovesPutThePointerAtThePoint) {
  InputRecorder recorder(observer);
  post(Mouse(kCGEventMouseMoved, 300.4, 199.6));
  auto events = recorder.collectUntil([](auto& ev) { return HasType(ev, MotionNotify, -1); });
  int x, y;
  pointerMask(&x, &y);
  EXPECT_EQ(x, 300);
  EXPECT_EQ(y, 200);
  ASSERT_TRUE(HasType(events, MotionNotify, -1));
  EXPECT_EQ(events.back().xmotion.x_root, 300);
  EXPECT_EQ(desktop->events->moveCursorToPoint(0, {640, 360}), 0);
  EXPECT_EQ(desktop->events->cursorLocation(), (CGPoint{640, 360}));
}

// Counts the pointer motions the server gets (XInput2 raw motion: also the ones that do not move
// the pointer, which core MotionNotify leaves out).
int RawMotions(Display* dpy, int opcode, double seconds) {
  int count = 0;
  WaitFor(
      [&] {
        while (XPending(dpy) > 0) {
          XEvent e;
          XNextEvent(dpy, &e);
          if (e.type == GenericEvent && e.xcookie.extension == opcode &&
              e.xcookie.evtype == XI_RawMotion) {
            ++count;
          }
        }
        return false;
      },
      seconds);
  return count;
}

TEST_F(EventsX11Test, AMoveRightAfterAWarpToItsPointIsNotASecondMotion) {
  int opcode, event, error;
  ASSERT_TRUE(XQueryExtension(observer, "XInputExtension", &opcode, &event, &error));
  unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
  XISetMask(bits, XI_RawMotion);
  XIEventMask mask{XIAllMasterDevices, sizeof(bits), bits};
  XISelectEvents(observer, DefaultRootWindow(observer), &mask, 1);
  XSync(observer, False);
  RawMotions(observer, opcode, 0.2);  // anything earlier

  desktop->events->moveCursorToPoint(0, {400, 300});
  post(Mouse(kCGEventMouseMoved, 400.2, 299.8));  // the same point: no second motion
  desktop->events->moveCursorToPoint(0, {410, 300});
  post(Mouse(kCGEventMouseMoved, 420, 300));  // elsewhere: moved
  post(Mouse(kCGEventMouseMoved, 420, 300));  // no warp before it: moved again
  EXPECT_EQ(RawMotions(observer, opcode, 1.0), 4);

  // A press at the warp's point still arrives, and so does the drag after it.
  InputRecorder recorder(observer);
  desktop->events->moveCursorToPoint(0, {200, 100});
  post(Mouse(kCGEventLeftMouseDown, 200, 100));
  desktop->events->moveCursorToPoint(0, {230, 120});
  post(Mouse(kCGEventLeftMouseDragged, 230, 120));
  post(Mouse(kCGEventLeftMouseUp, 230, 120));
  auto events = recorder.collectUntil([](auto& ev) { return HasType(ev, ButtonRelease, 1); });
  EXPECT_TRUE(HasType(events, ButtonPress, 1));
  EXPECT_TRUE(HasType(events, ButtonRelease, 1));
  EXPECT_TRUE(HasType(events, MotionNotify, -1));
  EXPECT_EQ(pointerMask() & Button1Mask, 0u);
}

TEST_F(EventsX11Test, EveryButtonArrivesAsItsXButton) {
  InputRecorder recorder(observer);
  struct Case {
    CGEventType down, up;
    CGMouseButton button;
    int x;
  } cases[] = {{kCGEventLeftMouseDown, kCGEventLeftMouseUp, 0, 1},
               {kCGEventRightMouseDown, kCGEventRightMouseUp, 1, 3},
               {kCGEventOtherMouseDown, kCGEventOtherMouseUp, 2, 2},
               {kCGEventOtherMouseDown, kCGEventOtherMouseUp, 3, 8},
               {kCGEventOtherMouseDown, kCGEventOtherMouseUp, 4, 9}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.x);
    recorder.clear();
    post(Mouse(c.down, 50, 60, c.button));
    post(Mouse(c.up, 50, 60, c.button));
    auto events = recorder.collectUntil([&](auto& ev) { return HasType(ev, ButtonRelease, c.x); });
    EXPECT_EQ(CountEvents(events, ButtonPress, c.x), 1);
    EXPECT_EQ(CountEvents(events, ButtonRelease, c.x), 1);
    EXPECT_EQ(CountEvents(events, ButtonPress), 1);  // no other button
  }
}

TEST_F(EventsX11Test, DoubleClickIsTwoPressesAtOneSpotWithoutMotion) {
  post(Mouse(kCGEventMouseMoved, 400, 300));
  InputRecorder recorder(observer);
  for (int i = 0; i < 2; ++i) {
    post(Mouse(kCGEventLeftMouseDown, 400, 300));
    post(Mouse(kCGEventLeftMouseUp, 400, 300));
  }
  auto events = recorder.collectUntil([](auto& ev) { return HasType(ev, ButtonRelease, 1, 2); });
  EXPECT_EQ(CountEvents(events, ButtonPress, 1), 2);
  EXPECT_EQ(CountEvents(events, ButtonRelease, 1), 2);
  EXPECT_EQ(CountEvents(events, MotionNotify), 0);
  for (const auto& e : events) {
    if (e.type == ButtonPress) {
      EXPECT_EQ(e.xbutton.x_root, 400);
    }
  }
}

TEST_F(EventsX11Test, DragMovesWithTheButtonHeld) {
  InputRecorder recorder(observer);
  post(Mouse(kCGEventRightMouseDown, 100, 100, 1));
  post(Mouse(kCGEventRightMouseDragged, 150, 120, 1));
  post(Mouse(kCGEventRightMouseDragged, 200, 140, 1));
  post(Mouse(kCGEventRightMouseUp, 200, 140, 1));
  auto events = recorder.collectUntil([](auto& ev) { return HasType(ev, ButtonRelease, 3); });
  int drags = 0;
  for (const auto& e : events) {
    if (e.type == MotionNotify && (e.xmotion.state & Button3Mask)) ++drags;
    if (e.type == ButtonRelease) {
      EXPECT_EQ(e.xbutton.x_root, 200);
      EXPECT_EQ(e.xbutton.y_root, 140);
    }
  }
  EXPECT_EQ(drags, 2);
  EXPECT_EQ(pointerMask() & Button3Mask, 0u);
}

TEST_F(EventsX11Test, WheelTurnsAreNotchesWithTheRemainderKept) {
  InputRecorder recorder(observer);
  post(Scroll(-120, 0));  // one notch down
  auto events = recorder.collectUntil([](auto& ev) { return HasType(ev, ButtonRelease, 5); });
  EXPECT_EQ(CountEvents(events, ButtonPress, 5), 1);
  EXPECT_EQ(CountEvents(events, ButtonPress), 1);

  recorder.clear();
  post(Scroll(40, 0));
  post(Scroll(40, 0));
  EXPECT_EQ(CountEvents(recorder.collectFor(0.3), ButtonPress), 0);  // 80: not a notch yet
  post(Scroll(40, 0));
  events = recorder.collectUntil([](auto& ev) { return HasType(ev, ButtonRelease, 4); });
  EXPECT_EQ(CountEvents(events, ButtonPress, 4), 1);

  recorder.clear();
  post(Scroll(0, 120));
  post(Scroll(0, -240));
  events = recorder.collectUntil([](auto& ev) { return HasType(ev, ButtonRelease, 7, 2); });
  EXPECT_EQ(CountEvents(events, ButtonPress, 6), 1);
  EXPECT_EQ(CountEvents(events, ButtonPress, 7), 2);
}

std::string Text(XEvent e) {
  char text[8] = {};
  KeySym sym;
  XLookupString(&e.xkey, text, sizeof(text) - 1, &sym, nullptr);
  return text;
}

TEST_F(EventsX11Test, ModifierKeysGiveTheStateAndKeysymsOfHeldKeys) {
  InputRecorder recorder(observer);
  struct Case {
    uint16_t modifier;
    unsigned mask;
  } cases[] = {{kMacShift, ShiftMask},
               {kMacControl, ControlMask},
               {kMacOption, Mod1Mask},
               {kMacCommand, Mod4Mask}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.modifier);
    recorder.clear();
    post(Key(c.modifier, true));
    post(Key(kMacS, true));
    post(Key(kMacS, false));
    post(Key(c.modifier, false));
    auto events = recorder.collectUntil([](auto& ev) { return HasType(ev, KeyRelease, 39); });
    const XEvent* press = nullptr;
    for (const auto& e : events) {
      if (e.type == KeyPress && e.xkey.keycode == 39) press = &e;
    }
    ASSERT_NE(press, nullptr);
    EXPECT_EQ(press->xkey.state & (ShiftMask | ControlMask | Mod1Mask | Mod4Mask), c.mask);
    if (c.modifier == kMacShift) {
      EXPECT_EQ(Text(*press), "S");
    }
  }
}

TEST_F(EventsX11Test, EventFlagsAloneDoNotMakeModifiers) {
  InputRecorder recorder(observer);
  CGEventFlags flags = kCGEventFlagMaskShift | kCGEventFlagMaskControl | kCGEventFlagMaskCommand |
                       kCGEventFlagMaskSecondaryFn;
  post(Key(kMacA, true, flags));
  post(Key(kMacA, false, flags));
  auto events = recorder.collectUntil([](auto& ev) { return HasType(ev, KeyRelease, kXA); });
  ASSERT_TRUE(HasType(events, KeyPress, kXA));
  for (const auto& e : events) {
    if (e.type == KeyPress) {
      EXPECT_EQ(e.xkey.state, 0u);
      EXPECT_EQ(Text(e), "a");
    }
  }
}

TEST_F(EventsX11Test, AlphaShiftSetsTheCapsLockLockAndTheCapsKeyIsNotForwarded) {
  InputRecorder recorder(observer);
  // A long hold upstream turned caps lock on: the next event carries alpha-shift.
  post(Key(kMacCapsLock, false, kCGEventFlagMaskAlphaShift));
  EXPECT_TRUE(WaitFor([&] { return lockedMods() & LockMask; }));
  post(Key(kMacA, true, kCGEventFlagMaskAlphaShift));
  post(Key(kMacA, false, kCGEventFlagMaskAlphaShift));
  auto events = recorder.collectUntil([](auto& ev) { return HasType(ev, KeyRelease, kXA); });
  for (const auto& e : events) {
    if (e.type == KeyPress) {
      EXPECT_EQ(Text(e), "A");
    }
  }

  // A short tap (a language switch upstream) keeps the flags: the lock stays on.
  recorder.clear();
  post(Key(kMacCapsLock, true, kCGEventFlagMaskAlphaShift));
  post(Key(kMacCapsLock, false, kCGEventFlagMaskAlphaShift));
  events = recorder.collectFor(0.3);
  EXPECT_EQ(CountEvents(events, KeyPress, kXCapsLock), 0);
  EXPECT_EQ(CountEvents(events, KeyRelease, kXCapsLock), 0);
  EXPECT_TRUE(lockedMods() & LockMask);

  // Another long hold turned it off.
  post(Key(kMacCapsLock, true, kCGEventFlagMaskAlphaShift));
  post(Key(kMacCapsLock, false, 0));
  EXPECT_TRUE(WaitFor([&] { return (lockedMods() & LockMask) == 0; }));
  EXPECT_FALSE(keyDown(kXCapsLock));
}

TEST_F(EventsX11Test, RemoteHeldKeyDoesNotRepeatLocally) {
  XkbSetAutoRepeatRate(observer, XkbUseCoreKbd, 150, 30);
  XSync(observer, False);
  InputRecorder recorder(observer);
  // Control: the same key held through XTest by another client repeats within the hold.
  XTestFakeKeyEvent(observer, kXA, True, CurrentTime);
  XSync(observer, False);
  auto events = recorder.collectFor(0.8);
  XTestFakeKeyEvent(observer, kXA, False, CurrentTime);
  XSync(observer, False);
  ASSERT_GT(CountEvents(events, KeyPress, kXA), 1) << "auto-repeat is off on this server";
  recorder.collectUntil([](auto& ev) { return HasType(ev, KeyRelease, kXA); });

  recorder.clear();
  post(Key(kMacA, true));
  events = recorder.collectFor(0.8);
  EXPECT_EQ(CountEvents(events, KeyPress, kXA), 1);
  post(Key(kMacA, false));
  recorder.collectUntil([](auto& ev) { return HasType(ev, KeyRelease, kXA); });

  // Released: the key's own auto-repeat is back.
  XKeyboardState state{};
  XGetKeyboardControl(observer, &state);
  EXPECT_TRUE(state.auto_repeats[kXA / 8] & (1 << (kXA % 8)));
  XkbSetAutoRepeatRate(observer, XkbUseCoreKbd, 660, 40);
  XSync(observer, False);
}

TEST_F(EventsX11Test, RemoteRepeatsOfAHeldKeyArriveAsPresses) {
  InputRecorder recorder(observer);
  post(Key(kMacA, true));
  post(Key(kMacA, true));
  post(Key(kMacA, true));
  post(Key(kMacA, false));
  auto events = recorder.collectUntil([](auto& ev) { return HasType(ev, KeyPress, kXA, 3); });
  EXPECT_EQ(CountEvents(events, KeyPress, kXA), 3);
  EXPECT_TRUE(WaitFor([&] { return !keyDown(kXA); }));
}

TEST_F(EventsX11Test, ReleaseHeldInputLeavesNoKeyOrButtonDown) {
  post(Key(kMacShift, true));
  post(Key(kMacA, true));
  post(Mouse(kCGEventLeftMouseDown, 10, 10));
  post(Mouse(kCGEventOtherMouseDown, 10, 10, 2));
  ASSERT_TRUE(WaitFor([&] { return keyDown(kXShiftL) && keyDown(kXA); }));
  ASSERT_NE(pointerMask() & (Button1Mask | Button2Mask), 0u);

  desktop->events->releaseHeldInput();
  EXPECT_FALSE(keyDown(kXShiftL));
  EXPECT_FALSE(keyDown(kXA));
  EXPECT_EQ(pointerMask() & (Button1Mask | Button2Mask), 0u);
  XkbStateRec state{};
  XkbGetState(observer, XkbUseCoreKbd, &state);
  EXPECT_EQ(state.base_mods, 0u);
}

TEST_F(EventsX11Test, DestroyingTheDesktopReleasesHeldInput) {
  post(Key(kMacControl, true));
  post(Mouse(kCGEventRightMouseDown, 10, 10, 1));
  ASSERT_TRUE(WaitFor([&] { return keyDown(37); }));
  desktop.reset();
  EXPECT_FALSE(keyDown(37));
  EXPECT_EQ(pointerMask() & Button3Mask, 0u);
}

TEST_F(EventsX11Test, InjectionGoesOnWhileAnotherClientGrabsTheServer) {
  XGrabServer(observer);
  XSync(observer, False);
  auto moved = std::async(std::launch::async, [this] {
    desktop->events->post(kCGHIDEventTap, Mouse(kCGEventMouseMoved, 222, 111));
  });
  bool done = moved.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  int x = 0, y = 0;
  pointerMask(&x, &y);
  XUngrabServer(observer);
  XSync(observer, False);
  moved.wait();
  EXPECT_TRUE(done) << "the post waited for the grab";
  EXPECT_EQ(x, 222);
  EXPECT_EQ(y, 111);
}

}  // namespace
}  // namespace desktop::x11
