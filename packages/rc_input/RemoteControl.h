// Interprets the remote side's pointer commands: remembers which button is held so that moves
// become drags, counts quick presses so that the window server sees double and triple clicks,
// and scales remote positions. Owns the InputManager that posts the events and forwards key
// strokes, double clicks and wheel turns to it unchanged.
//
// Click counting: a press less than 280 ms (wall clock, milliseconds) after the previous
// accepted press raises the running count, any later press starts again at 1. The count is
// shared by all buttons, has no upper bound and ignores positions; releases carry the count of
// the press before them; moves and releases neither reset nor raise it. Double-click commands
// bypass counting.
//
// Threads: the pointer state is not locked; pointer commands come from the channel's dispatch
// on the platform thread only. sendKey may come from any thread (InputManager's key lock).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "packages/rc_core/BaseClass.h"
#include "packages/rc_input/CGMouseButton.h"
#include "packages/rc_input/InputManager.h"

namespace rc_input {

class RemoteControl : public rc_core::BaseClass {
 public:
  // Creates the InputManager (and with it the event source), then runs init().
  static std::shared_ptr<RemoteControl> create();
  RemoteControl();

  double getBackingScaleFactor() const { return mBackingScaleFactor; }
  void setBackingScaleFactor(double scale) { mBackingScaleFactor = scale; }
  InputManager& getInputManager() { return *inputManager; }

  virtual void sendKey(int32_t vKey, bool isKeyDown, bool isExtendedKey);
  // A plain move, or a drag of the held button carrying the movement since the last move.
  virtual void mouseMove(int32_t x, int32_t y);
  // A press of `button` (0 to 4) with click counting; other buttons post nothing.
  virtual void mouseDown(int32_t x, int32_t y, CGMouseButton button);
  // A release of `button` (0 to 4); any release ends drag tracking, whichever button it names.
  virtual void mouseUp(int32_t x, int32_t y, CGMouseButton button);
  // A scroll by `delta` pixels at the pointer's current position; x and y play no part.
  virtual void mouseWheel(int32_t x, int32_t y, int32_t delta);
  virtual void mouseDBClick(int32_t x, int32_t y, CGMouseButton button);

 private:
  struct MouseOrder {
    CGMouseButton button;
    desktop::CGEventType event;
    bool isMouseDown;
  };
  static std::optional<MouseOrder> makeMouseOrder(CGMouseButton button, bool isDown);

  std::unique_ptr<InputManager> inputManager;
  desktop::CGPoint mOldMousePos{0, 0};
  int64_t mnLastDownTime = 0;
  int64_t clickValue = 0;
  MouseOrder lastMouseOrder{desktop::kCGMouseButtonLeft, desktop::kCGEventLeftMouseDown, false};
  double mBackingScaleFactor = 1.0;
};

}  // namespace rc_input
