// Posted Core Graphics events as XTest input (platform thread).
//
// Mouse: motion to the event's location (rounded to whole points); buttons 0 left, 1 right,
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
// small deltas add up. Line deltas are notches as they are.
//
// Keys: the macOS key code goes through keycode_table.inc to an X keycode; codes without one
// (kVK_Function) are dropped. The event flags do not turn into modifier state, because X has no
// per-event flags: the state X reports is that of the modifier keys really held, and the remote
// side presses its modifier keys as key events, which are injected like any other key. Of the
// flags:
//   alpha-shift           the Caps Lock *lock* follows it, set through XkbLockModifiers before
//                         the key is injected; the Caps Lock key event itself is not forwarded
//                         (on X a press toggles the lock, which would undo a short tap that only
//                         switched the keyboard language);
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
