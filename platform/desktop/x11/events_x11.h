// Posted Core Graphics events as XTest input (platform thread).
//
// Positions: event locations, warps and cursorLocation() are in the global display space, whose
// origin is the top-left corner of the primary monitor (the screen getResolution lists first at
// 0, 0). On the root window that is the primary's origin: with the primary at +1920+0, the point
// (100, 100) is root (2020, 100), and a monitor left of the primary has negative x. A point is
// moved by that origin, rounded to whole pixels and clamped to the root window before it goes
// to XTest (whose coordinates are 16 bits: an unclamped 65636 would wrap around to 100). The
// layout (primary origin, root size) is read again for every press and release, on a RandR
// notification, and for moves and warps when the last read is a second old (monitors made with
// RandR 1.5 alone send no notification).
//
// Mouse: motion to the event's location; buttons 0 left, 1 right,
// 2 centre, 3 and 4 (the two side buttons) become X buttons 1, 3, 2, 8, 9. The left and right
// event types name their button; the "other" types use the event's button number. Drag types
// move with whatever buttons are held. A press or release at the pointer's current position
// sends no motion first (applications read any motion as movement). Double clicks need nothing
// special: X clients count clicks from the time and distance between presses. A mouse-moved
// event right after moveCursorToPoint to the same point sends no second motion (the input path
// warps and then posts the move). Moves and warps are flushed to the server without waiting for
// it (no round trip per event); buttons, wheel and keys wait, so that their errors are caught.
//
// Scroll: pixel deltas become notches of 120 (wheel 1 → X buttons 4 up / 5 down, wheel 2 →
// 6 for positive / 7 for negative); the remainder of each wheel is kept for the next event, so
// small deltas add up. Line deltas are notches as they are. One event turns each wheel by at
// most kMaxWheelNotches notches (two XTest requests each); the notches beyond it are dropped,
// the remainder below a notch is still kept. A wheel delta of 2^31 - 1 was 17.9 million notches
// and held the platform thread for ~46 s.
//
// Keys: the macOS key code goes through keycode_table.inc to an X keycode; the codes without one
// (kMacKeysWithoutXKeycode) are dropped. 112, which Apple does not define, is what the remote
// side's F21 arrives as; it goes to the evdev F21 key (keycode 199, <FK21>), as F13 to F20 go to
// theirs. The event flags do not turn into modifier state, because X has no
// per-event flags: the state X reports is that of the modifier keys really held, and the remote
// side presses its modifier keys as key events, which are injected like any other key. Of the
// flags:
//   alpha-shift           the Caps Lock *lock* follows its changes: when an event carries
//                         another alpha-shift state than the remote side's events did before
//                         (off at the start and after releaseHeldInput), the lock is set to it
//                         through XkbLockModifiers before the key is injected; otherwise the lock
//                         is left alone, so a local user's Caps Lock survives remote typing. The
//                         Caps Lock key event itself is not forwarded (on X a press toggles the
//                         lock, which would undo a short tap that only switched the keyboard
//                         language);
//   shift/control/option/command
//                         no effect of their own; X's state comes from the held Shift, Control,
//                         Alt (Mod1) and Super (Mod4) keys. The crossed Windows/Alt flags cannot
//                         be reproduced: the X modifier always follows the keycode that is down;
//   secondary Fn, click state, pressure, deltas, user data
//                         no X meaning; they stay in the event record only.
// A key held by the remote side has its local auto-repeat off until released (the remote side
// sends its own repeats: a repeated key-down of a held key becomes release + press; of a held
// modifier, nothing). Every key and button pressed here is remembered and released by
// releaseHeldInput() and by the destructor.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/desktop/Desktop.h"

namespace desktop::x11 {

class XConnection;

// The most notches one scroll event turns a wheel by. A wheel notch is 120 in pixel units;
// a real wheel sends one to a few per event, a fast fling some tens.
inline constexpr int32_t kMaxWheelNotches = 100;

// The macOS key codes the key path may be given that have no X keycode; their events are
// dropped. kVK_Function (63): Linux reports Fn as KEY_FN (464), beyond X's keycodes (8..255).
inline constexpr uint16_t kMacKeysWithoutXKeycode[] = {63};

class EventsX11 final : public EventService {
 public:
  explicit EventsX11(std::shared_ptr<XConnection> connection);
  ~EventsX11() override;  // releases held input
  EventsX11(const EventsX11&) = delete;
  EventsX11& operator=(const EventsX11&) = delete;

  // True when the server has XTEST.
  bool hasXTest() const;

  bool createEventSource(int32_t stateID) override;
  void post(uint32_t tap, const CGEvent& event) override;
  int32_t moveCursorToPoint(uint32_t display, CGPoint point) override;
  CGPoint cursorLocation() override;
  void releaseHeldInput() override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The X keycode of a macOS virtual key code under the evdev rules; 0 when it has none.
int XKeycodeForMacKey(uint16_t macKeyCode);
// The X button of a mouse-button number (0 left, 1 right, 2 centre, 3, 4 side); 0 for others.
int XButtonForMouseButton(uint32_t button);

}  // namespace desktop::x11
