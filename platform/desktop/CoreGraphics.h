// Core Graphics as the agent calls it: display images, the window list and synthesised events,
// with the platform's names, constants and argument meanings, routed to the current desktop.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/desktop/Desktop.h"

namespace desktop {

// ---- display image and window list

inline constexpr CGRect CGRectInfinite{{-8.98846567431158e307, -8.98846567431158e307},
                                       {1.7976931348623157e308, 1.7976931348623157e308}};
inline constexpr uint32_t kCGWindowListOptionAll = 0;
inline constexpr uint32_t kCGWindowListExcludeDesktopElements = 16;
inline constexpr uint32_t kCGNullWindowID = 0;
inline constexpr uint32_t kCGWindowImageNominalResolution = 16;

inline constexpr const char* kCGWindowOwnerPID = "kCGWindowOwnerPID";
inline constexpr const char* kCGWindowOwnerName = "kCGWindowOwnerName";
inline constexpr const char* kCGWindowName = "kCGWindowName";

// The desktop (all displays) at nominal resolution; null when the grab fails.
CGImageRef CGWindowListCreateImage(CGRect screenBounds, uint32_t listOption, uint32_t windowID,
                                   uint32_t imageOption);
std::optional<std::vector<CFWindowEntry>> CGWindowListCopyWindowInfo(uint32_t option,
                                                                     uint32_t relativeToWindow);
bool CGRequestScreenCaptureAccess();

// ---- events

inline constexpr int32_t kCGEventSourceStateHIDSystemState = 1;
inline constexpr uint32_t kCGHIDEventTap = 0;

inline constexpr CGEventType kCGEventLeftMouseDown = 1;
inline constexpr CGEventType kCGEventLeftMouseUp = 2;
inline constexpr CGEventType kCGEventRightMouseDown = 3;
inline constexpr CGEventType kCGEventRightMouseUp = 4;
inline constexpr CGEventType kCGEventMouseMoved = 5;
inline constexpr CGEventType kCGEventLeftMouseDragged = 6;
inline constexpr CGEventType kCGEventRightMouseDragged = 7;
inline constexpr CGEventType kCGEventKeyDown = 10;
inline constexpr CGEventType kCGEventKeyUp = 11;
inline constexpr CGEventType kCGEventFlagsChanged = 12;
inline constexpr CGEventType kCGEventScrollWheel = 22;
inline constexpr CGEventType kCGEventOtherMouseDown = 25;
inline constexpr CGEventType kCGEventOtherMouseUp = 26;
inline constexpr CGEventType kCGEventOtherMouseDragged = 27;

inline constexpr CGMouseButton kCGMouseButtonLeft = 0;
inline constexpr CGMouseButton kCGMouseButtonRight = 1;
inline constexpr CGMouseButton kCGMouseButtonCenter = 2;

inline constexpr int32_t kCGMouseEventClickState = 1;
inline constexpr int32_t kCGMouseEventPressure = 2;
inline constexpr int32_t kCGMouseEventDeltaX = 4;
inline constexpr int32_t kCGMouseEventDeltaY = 5;
inline constexpr int32_t kCGKeyboardEventKeycode = 9;
inline constexpr int32_t kCGEventSourceUserData = 42;

inline constexpr int32_t kCGScrollEventUnitPixel = 0;
inline constexpr int32_t kCGScrollEventUnitLine = 1;

inline constexpr CGEventFlags kCGEventFlagMaskAlphaShift = 0x00010000;
inline constexpr CGEventFlags kCGEventFlagMaskShift = 0x00020000;
inline constexpr CGEventFlags kCGEventFlagMaskControl = 0x00040000;
inline constexpr CGEventFlags kCGEventFlagMaskAlternate = 0x00080000;
inline constexpr CGEventFlags kCGEventFlagMaskCommand = 0x00100000;
inline constexpr CGEventFlags kCGEventFlagMaskSecondaryFn = 0x00800000;

struct CGEventSource {
  int32_t stateID = 0;
};
using CGEventSourceRef = std::shared_ptr<CGEventSource>;
using CGEventRef = std::shared_ptr<CGEvent>;

// Null when the desktop gives no event source.
CGEventSourceRef CGEventSourceCreate(int32_t stateID);

// Each returns null when the desktop refuses to create events.
CGEventRef CGEventCreateMouseEvent(const CGEventSourceRef& source, CGEventType mouseType,
                                   CGPoint mouseCursorPosition, CGMouseButton mouseButton);
CGEventRef CGEventCreateKeyboardEvent(const CGEventSourceRef& source, CGKeyCode virtualKey,
                                      bool keyDown);
// The event's location is the pointer's current position.
CGEventRef CGEventCreateScrollWheelEvent2(const CGEventSourceRef& source, int32_t units,
                                          uint32_t wheelCount, int32_t wheel1, int32_t wheel2,
                                          int32_t wheel3);

void CGEventSetIntegerValueField(const CGEventRef& event, int32_t field, int64_t value);
int64_t CGEventGetIntegerValueField(const CGEventRef& event, int32_t field);
void CGEventSetType(const CGEventRef& event, CGEventType type);
CGEventType CGEventGetType(const CGEventRef& event);
void CGEventSetFlags(const CGEventRef& event, CGEventFlags flags);
CGEventFlags CGEventGetFlags(const CGEventRef& event);

void CGEventPost(uint32_t tap, const CGEventRef& event);
// Returns a CGError (0: success).
int32_t CGDisplayMoveCursorToPoint(uint32_t display, CGPoint point);

}  // namespace desktop
