// Turns decoded remote commands into Core Graphics events and posts them at the HID tap, as if
// they came from local hardware.
//
// Owns the plugin's one event source, emulates the caps-lock key (a tap under 500 ms switches
// the keyboard input source, a longer hold toggles caps lock), keeps the modifier flags that
// remote modifier keys hold down, and builds mouse events, double clicks and scroll events.
// Created and owned by RemoteControl.
//
// Threads: called from the channel's dispatch on the platform thread. Key events run under
// rc_core::synced on this object, so key events from any number of threads never interleave
// and the caps-lock and modifier state is only touched under that lock. Mouse, double-click and
// scroll events take no lock and touch no state of this object.
//
// Messages go to standard output, one line each: "Failed to create event source",
// "Event source is not initialized", "vkey is Null", "CGEvent is Null", and those of
// switchKeyboardLanguage.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/desktop/ApplicationServices.h"
#include "platform/desktop/CoreGraphics.h"

namespace rc_input {

using desktop::CGEventFlags;
using desktop::CGEventSourceRef;
using desktop::CGEventType;
using desktop::CGMouseButton;
using desktop::CGPoint;
using desktop::TISInputSourceRef;

class InputManager {
 public:
  // Creates the event source (HID system state). Without one the object still exists: every
  // mouse, double-click and key operation then only prints "Event source is not initialized".
  InputManager();
  virtual ~InputManager() = default;
  InputManager(const InputManager&) = delete;
  InputManager& operator=(const InputManager&) = delete;

  // The flags put on every key event. Taken under the key lock.
  CGEventFlags getModifiers() const;
  void setModifiers(CGEventFlags flags);
  // The source of mouse and key events (scroll events have none). Not to be replaced while
  // events are being made on another thread.
  CGEventSourceRef getSource() const { return source; }
  void setSource(CGEventSourceRef newSource) { source = std::move(newSource); }

  // One mouse event of `eventType` at (x, y) / scale, after moving the cursor there. Drags
  // (types 6, 7, 27) whose previous position (oldX, oldY) has a positive coordinate carry the
  // movement x - oldX, y - oldY in unscaled remote units, click state 0 and pressure 0; every
  // other event carries `clickState`.
  virtual void doMouseEvent(CGEventType eventType, double x, double y, CGMouseButton mouseButton,
                            double scale, double oldX, double oldY, int64_t clickState);
  // Press, release, press with click state 2, release of `button` at (x, y) / scale: one event
  // object posted four times. Left and right use their own event types; the centre and the side
  // buttons use the "other" types 25 and 26 with their own button number.
  virtual void doMousebuttonDbClick(CGMouseButton button, double x, double y, double scale);
  // Windows key `vkey` (with the extended flag) pressed or released. Runs under the key lock.
  virtual void doKeyboardEvent(int32_t vkey, bool isKeyDown, bool isExtension);
  // One pixel-unit scroll event at the pointer's current position (`onPoint` is not used):
  // first wheel yDelta / scale, second wheel xDelta / scale, marked with user data 1.
  virtual void doMouseScrollEvent(CGPoint onPoint, int32_t xDelta, int32_t yDelta, double scale);

  // Makes the selectable keyboard input source after the current one the active one (after the
  // last comes the first) and prints "Switched to: <name>"; prints "Failed to switch keyboard
  // language." when there is no current source or it is not among the selectable ones.
  virtual void switchKeyboardLanguage();
  // The enabled keyboard input sources that can be selected, in the system's order. Sources
  // without a readable category or select-capable flag are left out; no list at all gives an
  // empty one.
  virtual std::vector<TISInputSourceRef> getInputSources();

 private:
  // Caps-lock emulation for one caps-lock key event; under the key lock.
  void trackCapsLock(bool isKeyDown);

  bool isCapsLock = false;
  bool isCapsDown = false;
  int64_t mnCapsDownTime = 0;
  CGEventFlags m_modifiers = 0;
  CGEventSourceRef source;
};

}  // namespace rc_input
