#include "packages/rc_input/RemoteControl.h"

#include "platform/foundation/Clock.h"

namespace rc_input {

using namespace desktop;

namespace {
// A press this soon after the previous one (in milliseconds) continues the click sequence.
constexpr int64_t kClickWindowMs = 280;
}  // namespace

std::shared_ptr<RemoteControl> RemoteControl::create() {
  auto control = std::make_shared<RemoteControl>();
  control->init();
  return control;
}

RemoteControl::RemoteControl() : inputManager(std::make_unique<InputManager>()) {}

std::optional<RemoteControl::MouseOrder> RemoteControl::makeMouseOrder(CGMouseButton button,
                                                                       bool isDown) {
  switch (button) {
    case kCGMouseButtonLeft:
      return MouseOrder{button, isDown ? kCGEventLeftMouseDown : kCGEventLeftMouseUp, isDown};
    case kCGMouseButtonRight:
      return MouseOrder{button, isDown ? kCGEventRightMouseDown : kCGEventRightMouseUp, isDown};
    case kCGMouseButtonCenter:
    case XButton1:
    case XButton2:
      return MouseOrder{button, isDown ? kCGEventOtherMouseDown : kCGEventOtherMouseUp, isDown};
    default:
      return std::nullopt;
  }
}

void RemoteControl::sendKey(int32_t vKey, bool isKeyDown, bool isExtendedKey) {
  inputManager->doKeyboardEvent(vKey, isKeyDown, isExtendedKey);
}

void RemoteControl::mouseMove(int32_t x, int32_t y) {
  if (!lastMouseOrder.isMouseDown) {
    inputManager->doMouseEvent(kCGEventMouseMoved, x, y, kCGMouseButtonLeft, mBackingScaleFactor, 0,
                               0, 1);
  } else {
    // The held button drags: left and right have drag types of their own, the centre and the
    // side buttons share the "other" drag with their button number.
    CGMouseButton button = lastMouseOrder.button;
    CGEventType drag = button == kCGMouseButtonLeft    ? kCGEventLeftMouseDragged
                       : button == kCGMouseButtonRight ? kCGEventRightMouseDragged
                                                       : kCGEventOtherMouseDragged;
    inputManager->doMouseEvent(drag, x, y, button, mBackingScaleFactor, mOldMousePos.x,
                               mOldMousePos.y, 1);
  }
  mOldMousePos = CGPoint{static_cast<double>(x), static_cast<double>(y)};
}

void RemoteControl::mouseDown(int32_t x, int32_t y, CGMouseButton button) {
  int64_t now = WallClockMilliseconds();
  int64_t elapsed = now - mnLastDownTime;
  // A wall clock set back since the last press gives a negative interval; that press is not a
  // quick repeat, so it starts a new sequence.
  clickValue = (elapsed >= 0 && elapsed < kClickWindowMs) ? clickValue + 1 : 1;
  auto order = makeMouseOrder(button, true);
  if (!order) return;
  inputManager->doMouseEvent(order->event, x, y, order->button, mBackingScaleFactor, 0, 0,
                             clickValue);
  lastMouseOrder = *order;
  mnLastDownTime = now;
}

void RemoteControl::mouseUp(int32_t x, int32_t y, CGMouseButton button) {
  auto order = makeMouseOrder(button, false);
  if (!order) return;
  inputManager->doMouseEvent(order->event, x, y, order->button, mBackingScaleFactor, 0, 0,
                             clickValue);
  lastMouseOrder = *order;
}

void RemoteControl::mouseWheel(int32_t x, int32_t y, int32_t delta) {
  inputManager->doMouseScrollEvent(CGPoint{static_cast<double>(x), static_cast<double>(y)}, 0,
                                   delta, mBackingScaleFactor);
}

void RemoteControl::mouseDBClick(int32_t x, int32_t y, CGMouseButton button) {
  inputManager->doMousebuttonDbClick(button, x, y, mBackingScaleFactor);
}

}  // namespace rc_input
