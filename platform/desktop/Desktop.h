// The desktop a backend provides: one small interface per service, handed out together.
//
// Backends hold no agent logic; they grab pixels, post events and report state. The agent
// reaches them only through the platform functions (CoreGraphics.h, AppKit.h, ...), which
// route to the desktop installed here. One desktop per process: the host installs the one it
// chose at start-up, tests install the simulated one through a fixture. With none installed,
// every service answers "nothing" (no image, no cursor, no screens, refusals).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/desktop/geometry.h"

namespace desktop {

// ---- values of the platform's dynamic dictionaries (window list, input-source properties)

struct CFOther {  // a value of some other type (a date, a data blob, ...)
  friend bool operator==(const CFOther&, const CFOther&) = default;
};
using CFValue = std::variant<CFOther, bool, int64_t, double, std::string>;
using CFDictionary = std::map<std::string, CFValue>;
// One window-list entry: a dictionary, or (nullopt) something that is not a dictionary.
using CFWindowEntry = std::optional<CFDictionary>;

// ---- images of the screen and the cursor

// A platform image: a bitmap plus the size in points it is drawn at (which need not be whole).
// The bitmap's pixels are straight (not premultiplied) BGRA.
struct NSImage {
  CGImageRef bitmap;
  CGSize size;
};

struct CursorImage {
  std::optional<NSImage> image;  // none: the cursor's image could not be copied as an image
  CGPoint hotSpot;               // points from the image's top-left corner
};

class DisplayService {
 public:
  virtual ~DisplayService() = default;
  // The whole desktop at one pixel per point, or null when the grab fails. Capture thread.
  virtual CGImageRef createImage() = 0;
};

class CursorService {
 public:
  virtual ~CursorService() = default;
  // The cursor shown on screen now; none when there is no cursor. Capture thread.
  virtual std::optional<CursorImage> currentCursor() = 0;
};

// ---- windows, screens, process, permissions

struct OperatingSystemVersion {
  int64_t majorVersion = 0;
  int64_t minorVersion = 0;
  int64_t patchVersion = 0;
};

class SystemService {
 public:
  virtual ~SystemService() = default;
  // The window list for the given list option; none when the platform gives no list.
  virtual std::optional<std::vector<CFWindowEntry>> windowList(uint32_t option,
                                                               uint32_t relativeWindow) = 0;
  virtual int32_t processIdentifier() = 0;
  // Screen frames in points, the primary first, origin at the primary's bottom-left, y up.
  virtual std::vector<CGRect> screens() = 0;
  virtual OperatingSystemVersion operatingSystemVersion() = 0;
  virtual bool requestScreenCaptureAccess() = 0;
  virtual bool openURL(const std::string& url) = 0;
  // Accessibility trust; `prompt` asks the user to grant it when it is not.
  virtual bool isProcessTrusted(bool prompt) = 0;
};

// ---- synthesised input

using CGEventType = uint32_t;
using CGEventFlags = uint64_t;
using CGKeyCode = uint16_t;
using CGMouseButton = uint32_t;

enum class CGEventKind { kMouse, kKeyboard, kScrollWheel };

// An event as built by the CGEventCreate* functions and changed by the CGEventSet* ones.
struct CGEvent {
  CGEventKind kind = CGEventKind::kMouse;
  CGEventType type = 0;
  CGPoint location;
  CGMouseButton mouseButton = 0;
  CGKeyCode keyCode = 0;
  bool keyDown = false;
  CGEventFlags flags = 0;
  bool hasSource = false;
  // Scroll wheel events.
  int32_t scrollUnits = 0;
  uint32_t wheelCount = 0;
  int32_t wheel1 = 0;
  int32_t wheel2 = 0;
  int32_t wheel3 = 0;
  // Integer fields set explicitly (click state, pressure, deltas, user data, ...).
  std::map<int32_t, int64_t> fields;
};

class EventService {
 public:
  virtual ~EventService() = default;
  // False when the backend cannot give the process an event source.
  virtual bool createEventSource(int32_t stateID) = 0;
  // False when the backend refuses to create events (they then come out null).
  virtual bool canCreateEvents() { return true; }
  virtual void post(uint32_t tap, const CGEvent& event) = 0;
  // Returns a CGError (0: success).
  virtual int32_t moveCursorToPoint(uint32_t display, CGPoint point) = 0;
  virtual CGPoint cursorLocation() = 0;
  // The remote side went away: release every key and button still held through injection.
  virtual void releaseHeldInput() {}
};

// ---- keyboard input sources

using TISPropertyValue = std::optional<CFValue>;  // none: the source lacks the property

struct TISInputSource {
  std::string identifier;  // equality of sources is equality of identifiers
  CFDictionary properties;
};
using TISInputSourceRef = std::shared_ptr<const TISInputSource>;

class InputSourceService {
 public:
  virtual ~InputSourceService() = default;
  // Enabled sources (or every installed one); none when the platform gives no list.
  virtual std::optional<std::vector<TISInputSourceRef>> inputSources(bool includeAllInstalled) = 0;
  virtual TISInputSourceRef currentKeyboardInputSource() = 0;
  // Returns an OSStatus (0: success).
  virtual int32_t selectInputSource(const TISInputSourceRef& source) = 0;
};

// ---- power

class PowerService {
 public:
  virtual ~PowerService() = default;
  // Returns an IOReturn (0: success) and the new assertion's identifier.
  virtual int32_t createAssertion(const std::string& type, uint32_t level, const std::string& name,
                                  uint32_t* assertionID) = 0;
  virtual int32_t releaseAssertion(uint32_t assertionID) = 0;
};

struct Desktop {
  std::shared_ptr<DisplayService> display;
  std::shared_ptr<CursorService> cursor;
  std::shared_ptr<SystemService> system;
  std::shared_ptr<EventService> events;
  std::shared_ptr<InputSourceService> inputSources;
  std::shared_ptr<PowerService> power;
};

// Installs the process's desktop (null: none). Returns the one it replaces.
std::shared_ptr<const Desktop> InstallDesktop(std::shared_ptr<const Desktop> desktop);
// The desktop in force (an empty one when none is installed). Any thread.
std::shared_ptr<const Desktop> CurrentDesktop();

}  // namespace desktop
