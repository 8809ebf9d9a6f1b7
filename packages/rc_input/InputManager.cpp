#include "packages/rc_input/InputManager.h"

#include <cstdio>
#include <string>

#include "packages/rc_core/synced.h"
#include "packages/rc_input/CGMouseButton.h"
#include "packages/rc_input/WinKey.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Numeric.h"

namespace rc_input {

using namespace desktop;
using foundation::TruncateSaturating;

namespace {

constexpr const char* kNoSourceMessage = "Event source is not initialized";
constexpr const char* kSwitchFailedMessage = "Failed to switch keyboard language.";

// Caps lock held this long or longer toggles caps lock; a shorter tap switches the language.
constexpr int64_t kLongestCapsTapMs = 499;

// Windows virtual-key codes with a meaning of their own on the key path.
enum WindowsKey : int32_t {
  kVkCapital = 20,
  kVkKana = 21,
  kVkLWin = 91,
  kVkRWin = 92,
  kVkF1 = 112,
  kVkF12 = 123,
  kVkLShift = 160,
  kVkRShift = 161,
  kVkLControl = 162,
  kVkRControl = 163,
  kVkLMenu = 164,
  kVkRMenu = 165,
};

void PrintLine(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

bool IsDrag(CGEventType type) {
  return type == kCGEventLeftMouseDragged || type == kCGEventRightMouseDragged ||
         type == kCGEventOtherMouseDragged;
}

}  // namespace

InputManager::InputManager() : source(CGEventSourceCreate(kCGEventSourceStateHIDSystemState)) {
  if (!source) PrintLine("Failed to create event source");
}

CGEventFlags InputManager::getModifiers() const {
  return rc_core::synced(this, [this] { return m_modifiers; });
}

void InputManager::setModifiers(CGEventFlags flags) {
  rc_core::synced(this, [&] { m_modifiers = flags; });
}

void InputManager::doMouseEvent(CGEventType eventType, double x, double y,
                                CGMouseButton mouseButton, double scale, double oldX, double oldY,
                                int64_t clickState) {
  if (!source) {
    PrintLine(kNoSourceMessage);
    return;
  }
  CGPoint p{x / scale, y / scale};
  CGDisplayMoveCursorToPoint(0, p);
  auto e = CGEventCreateMouseEvent(source, eventType, p, mouseButton);
  if (!e) return;
  CGEventSetIntegerValueField(e, kCGMouseEventClickState, clickState);
  // A drag from a known position reports how far it went. A previous position of (0, 0) means
  // "none known" (no move before the press), so such drags carry no movement.
  if (IsDrag(eventType) && (oldX > 0 || oldY > 0)) {
    CGEventSetIntegerValueField(e, kCGMouseEventClickState, 0);
    CGEventSetIntegerValueField(e, kCGMouseEventPressure, 0);
    CGEventSetIntegerValueField(e, kCGMouseEventDeltaX, TruncateSaturating<int64_t>(x - oldX));
    CGEventSetIntegerValueField(e, kCGMouseEventDeltaY, TruncateSaturating<int64_t>(y - oldY));
  }
  CGEventPost(kCGHIDEventTap, e);
}

void InputManager::doMousebuttonDbClick(CGMouseButton button, double x, double y, double scale) {
  if (!source) {
    PrintLine(kNoSourceMessage);
    return;
  }
  CGPoint p{x / scale, y / scale};
  CGEventType down = kCGEventLeftMouseDown;
  CGEventType up = kCGEventLeftMouseUp;
  if (button == kCGMouseButtonRight) {
    down = kCGEventRightMouseDown;
    up = kCGEventRightMouseUp;
  } else if (IsOtherMouseButton(button)) {
    // The side buttons are "other" buttons like the centre one; giving them left-button types
    // would make a side-button double click a left double click.
    down = kCGEventOtherMouseDown;
    up = kCGEventOtherMouseUp;
  }
  CGDisplayMoveCursorToPoint(0, p);
  auto e = CGEventCreateMouseEvent(source, down, p, button);
  if (!e) return;
  CGEventPost(kCGHIDEventTap, e);
  CGEventSetType(e, up);
  CGEventPost(kCGHIDEventTap, e);
  CGEventSetIntegerValueField(e, kCGMouseEventClickState, 2);
  CGEventSetType(e, down);
  CGEventPost(kCGHIDEventTap, e);
  CGEventSetType(e, up);
  CGEventPost(kCGHIDEventTap, e);
}

void InputManager::doKeyboardEvent(int32_t vkey, bool isKeyDown, bool isExtension) {
  rc_core::synced(this, [&] {
    if (!source) {
      PrintLine(kNoSourceMessage);
      return;
    }
    int32_t keyCode = WinKeyUtil::toMackey(vkey, isExtension);
    if (keyCode < 0) {
      PrintLine("vkey is Null");
      return;
    }
    auto e =
        CGEventCreateKeyboardEvent(source, static_cast<desktop::CGKeyCode>(keyCode), isKeyDown);
    if (!e) {
      PrintLine("CGEvent is Null");
      return;
    }
    auto track = [&](CGEventFlags flag) {
      m_modifiers = isKeyDown ? (m_modifiers | flag) : (m_modifiers & ~flag);
    };
    switch (vkey) {
      // Crossed on purpose: the Windows key is sent as Command but flagged Option, Alt is sent
      // as Option but flagged Command.
      case kVkLWin:
      case kVkRWin:
        track(kCGEventFlagMaskAlternate);
        break;
      case kVkLMenu:
      case kVkRMenu:
        track(kCGEventFlagMaskCommand);
        break;
      case kVkLShift:
      case kVkRShift:
        track(kCGEventFlagMaskShift);
        break;
      case kVkLControl:
      case kVkRControl:
        track(kCGEventFlagMaskControl);
        break;
      case kVkCapital:
        trackCapsLock(isKeyDown);
        break;
      case kVkKana:
        if (!isKeyDown) switchKeyboardLanguage();
        break;
      default:
        if (vkey >= kVkF1 && vkey <= kVkF12) track(kCGEventFlagMaskSecondaryFn);
        break;
    }
    CGEventSetFlags(e, m_modifiers);
    CGEventPost(kCGHIDEventTap, e);
  });
}

void InputManager::trackCapsLock(bool isKeyDown) {
  int64_t now = WallClockMilliseconds();
  if (isKeyDown) {
    // Key repeat sends more key-downs while the key is held; the hold counts from the first.
    if (!isCapsDown) {
      isCapsDown = true;
      mnCapsDownTime = now;
    }
    return;
  }
  isCapsDown = false;
  int64_t held = now - mnCapsDownTime;
  if (held > kLongestCapsTapMs) {
    isCapsLock = !isCapsLock;
    m_modifiers = isCapsLock ? (m_modifiers | kCGEventFlagMaskAlphaShift)
                             : (m_modifiers & ~kCGEventFlagMaskAlphaShift);
  } else {
    switchKeyboardLanguage();
  }
}

void InputManager::doMouseScrollEvent(CGPoint, int32_t xDelta, int32_t yDelta, double scale) {
  int32_t horizontal = TruncateSaturating<int32_t>(xDelta / scale);
  int32_t vertical = TruncateSaturating<int32_t>(yDelta / scale);
  auto e =
      CGEventCreateScrollWheelEvent2(nullptr, kCGScrollEventUnitPixel, 2, vertical, horizontal, 0);
  if (!e) return;
  // Marks the event as synthesised here; no other event carries it.
  CGEventSetIntegerValueField(e, kCGEventSourceUserData, 1);
  CGEventPost(kCGHIDEventTap, e);
}

std::vector<TISInputSourceRef> InputManager::getInputSources() {
  std::vector<TISInputSourceRef> selectable;
  auto all = TISCreateInputSourceList(nullptr, false);
  if (!all) return selectable;
  for (const auto& source : *all) {
    auto category = TISGetInputSourceProperty(source, kTISPropertyInputSourceCategory);
    const auto* name = category ? std::get_if<std::string>(&*category) : nullptr;
    if (name == nullptr || *name != kTISCategoryKeyboardInputSource) continue;
    auto capable = TISGetInputSourceProperty(source, kTISPropertyInputSourceIsSelectCapable);
    const auto* flag = capable ? std::get_if<bool>(&*capable) : nullptr;
    if (flag != nullptr && *flag) selectable.push_back(source);
  }
  return selectable;
}

void InputManager::switchKeyboardLanguage() {
  auto current = TISCopyCurrentKeyboardInputSource();
  if (!current) {
    PrintLine(kSwitchFailedMessage);
    return;
  }
  auto list = getInputSources();
  size_t i = 0;
  while (i < list.size() && !CFEqual(list[i], current)) ++i;
  if (i == list.size()) {
    PrintLine(kSwitchFailedMessage);
    return;
  }
  const auto& next = list[(i + 1) % list.size()];
  TISSelectInputSource(next);
  // A source without a readable name is still announced, by its identifier.
  auto localized = TISGetInputSourceProperty(next, kTISPropertyLocalizedName);
  const auto* name = localized ? std::get_if<std::string>(&*localized) : nullptr;
  PrintLine("Switched to: " + (name != nullptr ? *name : next->identifier));
}

}  // namespace rc_input
