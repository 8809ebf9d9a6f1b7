// The platform functions, each a thin route to the current desktop's service. A missing
// service answers the way the platform answers when it has nothing to give.
#include <unistd.h>

#include "platform/desktop/AppKit.h"
#include "platform/desktop/ApplicationServices.h"
#include "platform/desktop/CoreGraphics.h"
#include "platform/desktop/IOKit.h"

namespace desktop {

// ---- Core Graphics: images and windows

CGImageRef CGWindowListCreateImage(CGRect, uint32_t, uint32_t, uint32_t) {
  auto d = CurrentDesktop();
  return d->display ? d->display->createImage() : nullptr;
}

std::optional<std::vector<CFWindowEntry>> CGWindowListCopyWindowInfo(uint32_t option,
                                                                     uint32_t relativeToWindow) {
  auto d = CurrentDesktop();
  if (!d->system) return std::nullopt;
  return d->system->windowList(option, relativeToWindow);
}

bool CGRequestScreenCaptureAccess() {
  auto d = CurrentDesktop();
  return d->system && d->system->requestScreenCaptureAccess();
}

// ---- Core Graphics: events

CGEventSourceRef CGEventSourceCreate(int32_t stateID) {
  auto d = CurrentDesktop();
  if (!d->events || !d->events->createEventSource(stateID)) return nullptr;
  auto source = std::make_shared<CGEventSource>();
  source->stateID = stateID;
  return source;
}

namespace {
CGEventRef NewEvent(const CGEventSourceRef& source, CGEventKind kind) {
  auto d = CurrentDesktop();
  if (!d->events || !d->events->canCreateEvents()) return nullptr;
  auto e = std::make_shared<CGEvent>();
  e->kind = kind;
  e->hasSource = source != nullptr;
  return e;
}
}  // namespace

CGEventRef CGEventCreateMouseEvent(const CGEventSourceRef& source, CGEventType mouseType,
                                   CGPoint mouseCursorPosition, CGMouseButton mouseButton) {
  auto e = NewEvent(source, CGEventKind::kMouse);
  if (!e) return nullptr;
  e->type = mouseType;
  e->location = mouseCursorPosition;
  e->mouseButton = mouseButton;
  return e;
}

CGEventRef CGEventCreateKeyboardEvent(const CGEventSourceRef& source, CGKeyCode virtualKey,
                                      bool keyDown) {
  auto e = NewEvent(source, CGEventKind::kKeyboard);
  if (!e) return nullptr;
  e->type = keyDown ? kCGEventKeyDown : kCGEventKeyUp;
  e->keyCode = virtualKey;
  e->keyDown = keyDown;
  return e;
}

CGEventRef CGEventCreateScrollWheelEvent2(const CGEventSourceRef& source, int32_t units,
                                          uint32_t wheelCount, int32_t wheel1, int32_t wheel2,
                                          int32_t wheel3) {
  auto e = NewEvent(source, CGEventKind::kScrollWheel);
  if (!e) return nullptr;
  e->type = kCGEventScrollWheel;
  e->location = CurrentDesktop()->events->cursorLocation();
  e->scrollUnits = units;
  e->wheelCount = wheelCount;
  e->wheel1 = wheel1;
  e->wheel2 = wheelCount >= 2 ? wheel2 : 0;
  e->wheel3 = wheelCount >= 3 ? wheel3 : 0;
  return e;
}

void CGEventSetIntegerValueField(const CGEventRef& event, int32_t field, int64_t value) {
  if (!event) return;
  if (field == kCGKeyboardEventKeycode) {
    event->keyCode = static_cast<CGKeyCode>(value);
    return;
  }
  event->fields[field] = value;
}

int64_t CGEventGetIntegerValueField(const CGEventRef& event, int32_t field) {
  if (!event) return 0;
  if (field == kCGKeyboardEventKeycode) return event->keyCode;
  auto it = event->fields.find(field);
  return it == event->fields.end() ? 0 : it->second;
}

void CGEventSetType(const CGEventRef& event, CGEventType type) {
  if (event) event->type = type;
}
CGEventType CGEventGetType(const CGEventRef& event) {
  return event ? event->type : 0;
}
void CGEventSetFlags(const CGEventRef& event, CGEventFlags flags) {
  if (event) event->flags = flags;
}
CGEventFlags CGEventGetFlags(const CGEventRef& event) {
  return event ? event->flags : 0;
}

void CGEventPost(uint32_t tap, const CGEventRef& event) {
  if (!event) return;
  auto d = CurrentDesktop();
  if (d->events) d->events->post(tap, *event);
}

int32_t CGDisplayMoveCursorToPoint(uint32_t display, CGPoint point) {
  auto d = CurrentDesktop();
  return d->events ? d->events->moveCursorToPoint(display, point) : 1000;  // kCGErrorFailure
}

// ---- AppKit and Foundation

std::vector<NSScreen> NSScreen::screens() {
  std::vector<NSScreen> out;
  auto d = CurrentDesktop();
  if (!d->system) return out;
  for (const auto& frame : d->system->screens()) out.push_back(NSScreen{frame});
  return out;
}

std::optional<CursorImage> NSCursor::currentSystemCursor() {
  auto d = CurrentDesktop();
  return d->cursor ? d->cursor->currentCursor() : std::nullopt;
}

int32_t NSRunningApplication::currentApplicationProcessIdentifier() {
  auto d = CurrentDesktop();
  return d->system ? d->system->processIdentifier() : static_cast<int32_t>(getpid());
}

OperatingSystemVersion NSProcessInfo::operatingSystemVersion() {
  auto d = CurrentDesktop();
  return d->system ? d->system->operatingSystemVersion() : OperatingSystemVersion{};
}

bool NSProcessInfo::isOperatingSystemAtLeastVersion(OperatingSystemVersion v) {
  auto have = operatingSystemVersion();
  if (have.majorVersion != v.majorVersion) return have.majorVersion > v.majorVersion;
  if (have.minorVersion != v.minorVersion) return have.minorVersion > v.minorVersion;
  return have.patchVersion >= v.patchVersion;
}

bool NSWorkspace::openURL(const std::string& url) {
  auto d = CurrentDesktop();
  return d->system && d->system->openURL(url);
}

// ---- Accessibility and Text Input Sources

bool AXIsProcessTrusted() {
  auto d = CurrentDesktop();
  return d->system && d->system->isProcessTrusted(false);
}

bool AXIsProcessTrustedWithOptions(const std::map<std::string, bool>& options) {
  auto d = CurrentDesktop();
  auto it = options.find(kAXTrustedCheckOptionPrompt);
  bool prompt = it != options.end() && it->second;
  return d->system && d->system->isProcessTrusted(prompt);
}

std::optional<std::vector<TISInputSourceRef>> TISCreateInputSourceList(
    const CFDictionary* properties, bool includeAllInstalled) {
  auto d = CurrentDesktop();
  if (!d->inputSources) return std::nullopt;
  auto list = d->inputSources->inputSources(includeAllInstalled);
  if (!list || properties == nullptr) return list;
  std::vector<TISInputSourceRef> filtered;
  for (const auto& source : *list) {
    bool keep = source != nullptr;
    for (const auto& [key, value] : *properties) {
      auto it = keep ? source->properties.find(key) : source->properties.end();
      keep = keep && it != source->properties.end() && it->second == value;
    }
    if (keep) filtered.push_back(source);
  }
  return filtered;
}

TISInputSourceRef TISCopyCurrentKeyboardInputSource() {
  auto d = CurrentDesktop();
  return d->inputSources ? d->inputSources->currentKeyboardInputSource() : nullptr;
}

TISPropertyValue TISGetInputSourceProperty(const TISInputSourceRef& source,
                                           const std::string& propertyKey) {
  if (!source) return std::nullopt;
  if (propertyKey == kTISPropertyInputSourceID) return CFValue(source->identifier);
  auto it = source->properties.find(propertyKey);
  if (it == source->properties.end()) return std::nullopt;
  return it->second;
}

int32_t TISSelectInputSource(const TISInputSourceRef& source) {
  auto d = CurrentDesktop();
  if (!d->inputSources || !source) return -50;  // paramErr
  return d->inputSources->selectInputSource(source);
}

bool CFEqual(const TISInputSourceRef& a, const TISInputSourceRef& b) {
  if (!a || !b) return a == b;
  return a->identifier == b->identifier;
}

// ---- IOKit power management

IOReturn IOPMAssertionCreateWithName(const std::string& assertionType,
                                     IOPMAssertionLevel assertionLevel,
                                     const std::string& assertionName,
                                     IOPMAssertionID* assertionID) {
  auto d = CurrentDesktop();
  if (!d->power || assertionID == nullptr) return kIOReturnError;
  return d->power->createAssertion(assertionType, assertionLevel, assertionName, assertionID);
}

IOReturn IOPMAssertionRelease(IOPMAssertionID assertionID) {
  auto d = CurrentDesktop();
  return d->power ? d->power->releaseAssertion(assertionID) : kIOReturnError;
}

}  // namespace desktop
