#include "platform/desktop/x11/events_x11.h"

// GoogleTest before Xlib: Xlib's macros (None, Bool) break gtest's headers.
#include <gtest/gtest.h>

#include <X11/XKBlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>
#include <X11/keysym.h>

#include <climits>
#include <future>
#include <set>

#include "packages/rc_input/WinKey.h"
#include "platform/desktop/CoreGraphics.h"
#include "platform/desktop/x11/test_support/X11TestFixture.h"
#include "platform/foundation/testing/ManualClock.h"

namespace desktop::x11 {
namespace {

using testing::CountEvents;
using testing::InputRecorder;
using testing::kScreenHeight;
using testing::kScreenWidth;
using testing::WaitFor;
using testing::X11Test;

constexpr uint16_t kMacA = 0, kMacS = 1, kMacCommand = 55, kMacShift = 56, kMacCapsLock = 57,
                   kMacOption = 58, kMacControl = 59, kNoKey = 0xffff;
constexpr int kXA = 38, kXS = 39, kXShiftL = 50, kXCapsLock = 66, kXControlL = 37;
constexpr uint16_t kMacF21 = 112;  // what the Windows-key table sends for F21
constexpr int kXF21 = 199;

CGEvent Mouse(CGEventType type, double x, double y, CGMouseButton button = 0) {
  return {.kind = CGEventKind::kMouse, .type = type, .location = {x, y}, .mouseButton = button};
}

CGEvent Key(uint16_t code, bool down, CGEventFlags flags = 0) {
  return {.kind = CGEventKind::kKeyboard,
          .type = down ? kCGEventKeyDown : kCGEventKeyUp,
          .keyCode = code,
          .keyDown = down,
          .flags = flags};
}

// Pixel deltas on the two wheels.
CGEvent Scroll(int32_t vertical, int32_t horizontal) {
  return {.kind = CGEventKind::kScrollWheel,
          .type = kCGEventScrollWheel,
          .scrollUnits = kCGScrollEventUnitPixel,
          .wheelCount = 2,
          .wheel1 = vertical,
          .wheel2 = horizontal};
}

KeySym KeySymOf(XEvent e) {
  char text[8];
  KeySym sym = 0;
  XLookupString(&e.xkey, text, sizeof(text), &sym, nullptr);
  return sym;
}

class EventsX11Test : public X11Test {
 protected:
  void post(const CGEvent& e) { desktop->events->post(kCGHIDEventTap, e); }
  void warp(double x, double y) { desktop->events->moveCursorToPoint(0, {x, y}); }

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
  // The buttons held, and the pointer's place.
  unsigned pointer(int* x = nullptr, int* y = nullptr) {
    Window root, child;
    int rx, ry, wx, wy;
    unsigned mask = 0;
    XQueryPointer(observer, DefaultRootWindow(observer), &root, &child, &rx, &ry, &wx, &wy, &mask);
    if (x) *x = rx;
    if (y) *y = ry;
    return mask;
  }
};

TEST_F(EventsX11Test, MovesPutThePointerAtThePoint) {
  InputRecorder recorder(observer);
  post(Mouse(kCGEventMouseMoved, 300.4, 199.6));
  auto events = recorder.waitFor(MotionNotify);
  ASSERT_EQ(CountEvents(events, MotionNotify), 1);
  EXPECT_EQ(events.back().xmotion.x_root, 300);
  EXPECT_EQ(events.back().xmotion.y_root, 200);
  EXPECT_EQ(desktop->events->moveCursorToPoint(0, {640, 360}), 0);
  EXPECT_EQ(desktop->events->cursorLocation(), (CGPoint{640, 360}));
}

// The input path warps and then posts the move: that move must not reach the server twice.
// Counted as XInput2 raw motions, which include the ones that do not move the pointer.
TEST_F(EventsX11Test, AMoveRightAfterAWarpToItsPointIsNotASecondMotion) {
  int opcode, event, error;
  ASSERT_TRUE(XQueryExtension(observer, "XInputExtension", &opcode, &event, &error));
  unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
  XISetMask(bits, XI_RawMotion);
  XIEventMask mask{XIAllMasterDevices, sizeof(bits), bits};
  XISelectEvents(observer, DefaultRootWindow(observer), &mask, 1);
  XSync(observer, False);
  auto rawMotions = [&](double seconds) {
    int count = 0;
    WaitFor(
        [&] {
          for (XEvent e; XPending(observer) > 0;) {
            XNextEvent(observer, &e);
            count += e.type == GenericEvent && e.xcookie.extension == opcode &&
                     e.xcookie.evtype == XI_RawMotion;
          }
          return false;
        },
        seconds);
    return count;
  };
  rawMotions(0.2);  // anything earlier

  warp(400, 300);
  post(Mouse(kCGEventMouseMoved, 400.2, 299.8));  // the same point: no second motion
  warp(410, 300);
  post(Mouse(kCGEventMouseMoved, 420, 300));  // elsewhere: moved
  post(Mouse(kCGEventMouseMoved, 420, 300));  // no warp before it: moved again
  EXPECT_EQ(rawMotions(1.0), 4);
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
    auto events = recorder.waitFor(ButtonRelease, c.x);
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
  auto events = recorder.waitFor(ButtonRelease, 1, 2);
  EXPECT_EQ(CountEvents(events, ButtonPress, 1), 2);
  EXPECT_EQ(CountEvents(events, ButtonRelease, 1), 2);
  EXPECT_EQ(CountEvents(events, MotionNotify), 0);
  for (const auto& e : events) {
    if (e.type == ButtonPress) {
      EXPECT_EQ(e.xbutton.x_root, 400);
    }
  }
}

// Also as the input path sends it, each event after a warp to its point: the drag passes
// through the same points with the button held.
TEST_F(EventsX11Test, DragMovesWithTheButtonHeld) {
  InputRecorder recorder(observer);
  for (bool warped : {false, true}) {
    SCOPED_TRACE(warped ? "after warps" : "posted alone");
    recorder.clear();
    const CGEvent drag[] = {
        Mouse(kCGEventRightMouseDown, 100, 100, 1), Mouse(kCGEventRightMouseDragged, 150, 120, 1),
        Mouse(kCGEventRightMouseDragged, 200, 140, 1), Mouse(kCGEventRightMouseUp, 200, 140, 1)};
    for (const auto& e : drag) {
      if (warped) warp(e.location.x, e.location.y);
      post(e);
    }
    auto events = recorder.waitFor(ButtonRelease, 3);
    std::set<std::pair<int, int>> dragged, pressed, released;
    for (const auto& e : events) {
      if (e.type == MotionNotify && (e.xmotion.state & Button3Mask)) {
        dragged.insert({e.xmotion.x_root, e.xmotion.y_root});
      }
      if (e.type == ButtonPress) pressed.insert({e.xbutton.x_root, e.xbutton.y_root});
      if (e.type == ButtonRelease) released.insert({e.xbutton.x_root, e.xbutton.y_root});
    }
    EXPECT_EQ(pressed, (std::set<std::pair<int, int>>{{100, 100}}));
    EXPECT_EQ(dragged, (std::set<std::pair<int, int>>{{150, 120}, {200, 140}}));
    EXPECT_EQ(released, (std::set<std::pair<int, int>>{{200, 140}}));
    EXPECT_EQ(pointer() & Button3Mask, 0u);
  }
}

TEST_F(EventsX11Test, WheelTurnsAreNotchesWithTheRemainderKept) {
  InputRecorder recorder(observer);
  post(Scroll(-120, 0));  // one notch down
  auto events = recorder.waitFor(ButtonRelease, 5);
  EXPECT_EQ(CountEvents(events, ButtonPress, 5), 1);
  EXPECT_EQ(CountEvents(events, ButtonPress), 1);

  recorder.clear();
  post(Scroll(40, 0));
  post(Scroll(40, 0));
  EXPECT_EQ(CountEvents(recorder.collectFor(0.3), ButtonPress), 0);  // 80: not a notch yet
  post(Scroll(40, 0));
  EXPECT_EQ(CountEvents(recorder.waitFor(ButtonRelease, 4), ButtonPress, 4), 1);

  recorder.clear();
  post(Scroll(0, 120));
  post(Scroll(0, -240));
  events = recorder.waitFor(ButtonRelease, 7, 2);
  EXPECT_EQ(CountEvents(events, ButtonPress, 6), 1);
  EXPECT_EQ(CountEvents(events, ButtonPress, 7), 2);
}

// X's state comes from the modifier keys held, never from the event's flags.
TEST_F(EventsX11Test, ModifierKeysGiveTheStateAndKeysymsOfHeldKeys) {
  InputRecorder recorder(observer);
  const CGEventFlags allFlags = kCGEventFlagMaskShift | kCGEventFlagMaskControl |
                                kCGEventFlagMaskCommand | kCGEventFlagMaskSecondaryFn;
  struct Case {
    uint16_t modifier;
    CGEventFlags flags;
    unsigned state;
    KeySym sym;
  } cases[] = {{kMacShift, kCGEventFlagMaskShift, ShiftMask, XK_S},
               {kMacControl, kCGEventFlagMaskControl, ControlMask, XK_s},
               {kMacOption, kCGEventFlagMaskAlternate, Mod1Mask, XK_s},
               {kMacCommand, kCGEventFlagMaskCommand, Mod4Mask, XK_s},
               {kNoKey, allFlags, 0, XK_s}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.modifier);
    recorder.clear();
    if (c.modifier != kNoKey) post(Key(c.modifier, true, c.flags));
    post(Key(kMacS, true, c.flags));
    post(Key(kMacS, false, c.flags));
    if (c.modifier != kNoKey) post(Key(c.modifier, false));
    auto events = recorder.waitFor(KeyRelease, kXS);
    auto press = std::find_if(events.begin(), events.end(), [](const XEvent& e) {
      return e.type == KeyPress && e.xkey.keycode == unsigned(kXS);
    });
    ASSERT_NE(press, events.end());
    EXPECT_EQ(press->xkey.state, c.state);
    EXPECT_EQ(KeySymOf(*press), c.sym);
  }
}

TEST_F(EventsX11Test, AlphaShiftSetsTheCapsLockLockAndTheCapsKeyIsNotForwarded) {
  InputRecorder recorder(observer);
  // A long hold upstream turned caps lock on: the next event carries alpha-shift.
  post(Key(kMacCapsLock, false, kCGEventFlagMaskAlphaShift));
  EXPECT_TRUE(WaitFor([&] { return lockedMods() & LockMask; }));
  post(Key(kMacA, true, kCGEventFlagMaskAlphaShift));
  post(Key(kMacA, false, kCGEventFlagMaskAlphaShift));
  auto events = recorder.waitFor(KeyRelease, kXA);
  ASSERT_EQ(CountEvents(events, KeyPress, kXA), 1);
  for (const auto& e : events) {
    if (e.type == KeyPress) {
      EXPECT_EQ(KeySymOf(e), XK_A);
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

// The remote side sends its own repeats: each arrives as a press, and the server adds none.
TEST_F(EventsX11Test, RemoteHeldKeyDoesNotRepeatLocally) {
  XkbSetAutoRepeatRate(observer, XkbUseCoreKbd, 150, 30);
  InputRecorder recorder(observer);
  // Control: the same key held through XTest by another client repeats within the hold.
  XTestFakeKeyEvent(observer, kXA, True, CurrentTime);
  auto events = recorder.collectFor(0.8);
  XTestFakeKeyEvent(observer, kXA, False, CurrentTime);
  ASSERT_GT(CountEvents(events, KeyPress, kXA), 1) << "auto-repeat is off on this server";
  recorder.waitFor(KeyRelease, kXA);

  recorder.clear();
  post(Key(kMacA, true));
  EXPECT_EQ(CountEvents(recorder.collectFor(0.8), KeyPress, kXA), 1);
  post(Key(kMacA, true));
  post(Key(kMacA, true));
  EXPECT_EQ(CountEvents(recorder.collectFor(0.8), KeyPress, kXA), 3);
  post(Key(kMacA, false));
  EXPECT_TRUE(WaitFor([&] { return !keyDown(kXA); }));

  // Released: the key's own auto-repeat is back.
  XKeyboardState state{};
  XGetKeyboardControl(observer, &state);
  EXPECT_TRUE(state.auto_repeats[kXA / 8] & (1 << (kXA % 8)));
  XkbSetAutoRepeatRate(observer, XkbUseCoreKbd, 660, 40);
  XSync(observer, False);
}

TEST_F(EventsX11Test, ReleaseHeldInputAndTheDestructorLeaveNoKeyOrButtonDown) {
  post(Key(kMacShift, true));
  post(Key(kMacA, true));
  post(Mouse(kCGEventLeftMouseDown, 10, 10));
  post(Mouse(kCGEventOtherMouseDown, 10, 10, 2));
  ASSERT_TRUE(WaitFor([&] { return keyDown(kXShiftL) && keyDown(kXA); }));
  ASSERT_NE(pointer() & (Button1Mask | Button2Mask), 0u);
  desktop->events->releaseHeldInput();
  EXPECT_FALSE(keyDown(kXShiftL));
  EXPECT_FALSE(keyDown(kXA));
  EXPECT_EQ(pointer() & (Button1Mask | Button2Mask), 0u);
  XkbStateRec state{};
  XkbGetState(observer, XkbUseCoreKbd, &state);
  EXPECT_EQ(state.base_mods, 0u);

  post(Key(kMacControl, true));
  post(Mouse(kCGEventRightMouseDown, 10, 10, 1));
  ASSERT_TRUE(WaitFor([&] { return keyDown(kXControlL) && (pointer() & Button3Mask); }));
  desktop.reset();
  EXPECT_FALSE(keyDown(kXControlL));
  EXPECT_EQ(pointer() & Button3Mask, 0u);
}

// XTestGrabControl: a server grab by another client must not stall the injecting connection.
TEST_F(EventsX11Test, InjectionGoesOnWhileAnotherClientGrabsTheServer) {
  XGrabServer(observer);
  XSync(observer, False);
  auto moved =
      std::async(std::launch::async, [this] { post(Mouse(kCGEventMouseMoved, 222, 111)); });
  bool done = moved.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  int x = 0, y = 0;
  pointer(&x, &y);
  XUngrabServer(observer);
  XSync(observer, False);
  moved.wait();
  EXPECT_TRUE(done) << "the post waited for the grab";
  EXPECT_EQ((std::pair{x, y}), (std::pair{222, 111}));
}

// XTest coordinates are 16 bits: a point far off the screen must not wrap around onto it.
TEST_F(EventsX11Test, PointsOffTheScreenAreClampedToItsEdgeNotWrapped) {
  InputRecorder recorder(observer);
  struct Case {
    double x, y;
    int rootX, rootY;
  } cases[] = {{65636, 65736, kScreenWidth - 1, kScreenHeight - 1},  // wrapped to (100, 200)
               {-65436, -65336, 0, 0},
               {INT32_MAX, INT32_MIN, kScreenWidth - 1, 0},
               {70000, 300, kScreenWidth - 1, 300}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.x << ", " << c.y);
    post(Mouse(kCGEventMouseMoved, 640, 360));
    post(Mouse(kCGEventMouseMoved, c.x, c.y));
    int x = -1, y = -1;
    EXPECT_TRUE(WaitFor([&] {
      pointer(&x, &y);
      return x == c.rootX && y == c.rootY;
    })) << x
        << ", " << y;
    recorder.clear();
    post(Mouse(kCGEventLeftMouseDown, c.x, c.y));
    post(Mouse(kCGEventLeftMouseUp, c.x, c.y));
    auto events = recorder.waitFor(ButtonRelease, 1);
    for (const auto& e : events) {
      if (e.type == ButtonPress || e.type == ButtonRelease) {
        EXPECT_EQ((std::pair{e.xbutton.x_root, e.xbutton.y_root}), (std::pair{c.rootX, c.rootY}));
      }
    }
  }
}

// One wheel event turns at most kMaxWheelNotches notches (2^31 - 1 once stalled the host for
// 46 s); what is below a notch is still kept for the next event.
TEST_F(EventsX11Test, OneWheelEventTurnsAtMostTheBoundAndKeepsTheRemainder) {
  InputRecorder recorder(observer);
  post(Scroll(1000 * 120 + 7, 0));
  auto events = recorder.waitFor(ButtonRelease, 4, kMaxWheelNotches);
  events = recorder.collectFor(0.5);
  ASSERT_EQ(CountEvents(events, ButtonPress, 4), kMaxWheelNotches);
  recorder.clear();
  post(Scroll(113, 0));  // with the 7 kept: one notch
  EXPECT_EQ(CountEvents(recorder.waitFor(ButtonRelease, 4), ButtonPress, 4), 1);

  recorder.clear();
  post(Scroll(0, INT32_MIN));  // -17895697 notches and -8
  events = recorder.waitFor(ButtonRelease, 7, kMaxWheelNotches);
  events = recorder.collectFor(0.5);
  EXPECT_EQ(CountEvents(events, ButtonPress, 7), kMaxWheelNotches);
  EXPECT_EQ(CountEvents(events, ButtonPress), kMaxWheelNotches);
  recorder.clear();
  post(Scroll(0, -112));
  EXPECT_EQ(CountEvents(recorder.waitFor(ButtonRelease, 7), ButtonPress, 7), 1);
}

// The local user's Caps Lock is the remote side's business only when the remote state changes.
TEST_F(EventsX11Test, RemoteKeysLeaveTheLocalCapsLockAloneUntilTheRemoteStateChanges) {
  InputRecorder recorder(observer);
  auto typeA = [&](CGEventFlags flags) {
    recorder.clear();
    post(Key(kMacA, true, flags));
    post(Key(kMacA, false, flags));
    recorder.waitFor(KeyRelease, kXA);
  };
  auto setLocally = [&](bool on) {
    XkbLockModifiers(observer, XkbUseCoreKbd, LockMask, on ? LockMask : 0);
    XSync(observer, False);
  };
  setLocally(true);
  typeA(0);  // the remote side's caps lock is off, as it was from the start
  EXPECT_TRUE(lockedMods() & LockMask);

  post(Key(kMacCapsLock, false, kCGEventFlagMaskAlphaShift));  // remote: turned on
  setLocally(false);
  typeA(kCGEventFlagMaskAlphaShift);
  EXPECT_FALSE(lockedMods() & LockMask);

  post(Key(kMacCapsLock, false, 0));                           // remote: off (already off here)
  post(Key(kMacCapsLock, false, kCGEventFlagMaskAlphaShift));  // remote: on again
  EXPECT_TRUE(WaitFor([&] { return lockedMods() & LockMask; }));
}

TEST_F(EventsX11Test, F21ArrivesAsTheEvdevF21Key) {
  InputRecorder recorder(observer);
  post(Key(kMacF21, true));
  post(Key(kMacF21, false));
  auto events = recorder.waitFor(KeyRelease, kXF21);
  EXPECT_EQ(CountEvents(events, KeyPress, kXF21), 1);
}

// Every macOS code the Windows-key table can give the key path reaches X, unless it is on the
// documented drop list (and what is on that list really has no keycode).
TEST(XKeycodes, EveryCodeOfTheWindowsKeyTableHasAnXKeycodeOrIsAListedDrop) {
  const std::set<int> dropped(std::begin(kMacKeysWithoutXKeycode),
                              std::end(kMacKeysWithoutXKeycode));
  for (int mac : dropped) EXPECT_EQ(XKeycodeForMacKey(uint16_t(mac)), 0) << mac;
  for (int32_t vkey = -1; vkey <= 256; ++vkey) {
    for (bool extended : {false, true}) {
      int32_t mac = rc_input::WinKeyUtil::toMackey(vkey, extended);
      if (mac < 0) continue;
      EXPECT_TRUE(XKeycodeForMacKey(uint16_t(mac)) != 0 || dropped.count(mac))
          << "Windows " << vkey << (extended ? " (extended)" : "") << " → macOS " << mac;
    }
  }
}

// Two monitors side by side on the 1280×720 screen, the primary on the right: the global display
// space (getResolution's, the remote side's) starts at the primary's top-left corner, root
// (640, 0).
class EventsX11MonitorsTest : public EventsX11Test {
 protected:
  static constexpr int kPrimaryX = kScreenWidth / 2;

  void SetUp() override {
    EventsX11Test::SetUp();
    if (IsSkipped()) return;
    Window root = DefaultRootWindow(observer);
    XRRScreenResources* resources = XRRGetScreenResources(observer, root);
    ASSERT_TRUE(resources && resources->noutput > 0);
    RROutput output = resources->outputs[0];
    setMonitor("LEFT", 0, False, &output, 1);
    setMonitor("PRIMARY", kPrimaryX, True, nullptr, 0);
    XRRFreeScreenResources(resources);
  }
  void TearDown() override {
    if (observer) removeMonitors();
    EventsX11Test::TearDown();
  }
  void setMonitor(const char* name, int x, Bool primary, RROutput* outputs, int count) {
    XRRMonitorInfo m{};
    m.name = XInternAtom(observer, name, False);
    m.primary = primary;
    m.x = x;
    m.width = kScreenWidth / 2;
    m.height = kScreenHeight;
    m.mwidth = 170;
    m.mheight = 190;
    m.noutput = count;
    m.outputs = outputs;
    XRRSetMonitor(observer, DefaultRootWindow(observer), &m);
    XSync(observer, False);
  }
  void removeMonitors() {
    for (const char* name : {"LEFT", "PRIMARY"}) {
      XRRDeleteMonitor(observer, DefaultRootWindow(observer), XInternAtom(observer, name, False));
    }
    XSync(observer, False);
  }
  std::pair<int, int> where() {
    int x = -1, y = -1;
    pointer(&x, &y);
    return {x, y};
  }

  foundation::testing::ScopedManualClock clock;
};

TEST_F(EventsX11MonitorsTest, RemotePointsLandOnThePrimaryMonitorsSpace) {
  auto screens = desktop->system->screens();
  ASSERT_EQ(screens.size(), 2u);
  EXPECT_EQ(screens[0], (CGRect{{0, 0}, {kScreenWidth / 2, kScreenHeight}}));
  EXPECT_EQ(screens[1].origin.x, -kScreenWidth / 2);

  InputRecorder recorder(observer);
  struct Case {
    const char* what;
    std::vector<CGEvent> events;
    int lastType, button, count, rootX, rootY;
  } cases[] = {
      {"move", {Mouse(kCGEventMouseMoved, 100, 100)}, MotionNotify, -1, 1, kPrimaryX + 100, 100},
      {"click on the left monitor",
       {Mouse(kCGEventLeftMouseDown, -600, 50), Mouse(kCGEventLeftMouseUp, -600, 50)},
       ButtonRelease,
       1,
       1,
       40,
       50},
      {"drag",
       {Mouse(kCGEventRightMouseDown, 10, 10, 1), Mouse(kCGEventRightMouseDragged, 20, 30, 1),
        Mouse(kCGEventRightMouseUp, 20, 30, 1)},
       ButtonRelease,
       3,
       1,
       kPrimaryX + 20,
       30},
      {"double click",
       {Mouse(kCGEventLeftMouseDown, 300, 200), Mouse(kCGEventLeftMouseUp, 300, 200),
        Mouse(kCGEventLeftMouseDown, 300, 200), Mouse(kCGEventLeftMouseUp, 300, 200)},
       ButtonRelease,
       1,
       2,
       kPrimaryX + 300,
       200},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    recorder.clear();
    for (const auto& e : c.events) {
      warp(e.location.x, e.location.y);  // as the input path does before each event
      post(e);
    }
    auto events = recorder.waitFor(c.lastType, c.button, c.count);
    ASSERT_FALSE(events.empty());
    const XEvent& last = events.back();
    std::pair<int, int> at = last.type == MotionNotify
                                 ? std::pair{last.xmotion.x_root, last.xmotion.y_root}
                                 : std::pair{last.xbutton.x_root, last.xbutton.y_root};
    EXPECT_EQ(at, (std::pair{c.rootX, c.rootY}));
    EXPECT_EQ(where(), (std::pair{c.rootX, c.rootY}));
  }
  EXPECT_EQ(desktop->events->moveCursorToPoint(0, {5, 6}), 0);
  EXPECT_TRUE(WaitFor([&] { return where() == std::pair{kPrimaryX + 5, 6}; }));
  EXPECT_EQ(desktop->events->cursorLocation(), (CGPoint{5, 6}));
  // Clamped to the root, not to the primary monitor: the left monitor is reachable.
  post(Mouse(kCGEventMouseMoved, -100000, 10));
  EXPECT_TRUE(WaitFor([&] { return where() == std::pair{0, 10}; }));

  // The layout changes to one monitor at the origin: a press reads it at once, moves within a
  // second of the last read.
  removeMonitors();
  post(Mouse(kCGEventLeftMouseDown, 30, 40));
  post(Mouse(kCGEventLeftMouseUp, 30, 40));
  EXPECT_EQ(where(), (std::pair{30, 40}));
  setMonitor("LEFT", 0, False, nullptr, 0);
  setMonitor("PRIMARY", kPrimaryX, True, nullptr, 0);
  clock->advance(1.5);
  post(Mouse(kCGEventMouseMoved, 50, 60));
  EXPECT_TRUE(WaitFor([&] { return where() == std::pair{kPrimaryX + 50, 60}; }));
}

}  // namespace
}  // namespace desktop::x11
