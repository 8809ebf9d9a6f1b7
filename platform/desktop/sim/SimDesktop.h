// A deterministic simulated desktop: scripted images, cursor, windows, screens and input
// sources, and a record of everything the agent did to it (posted events, cursor moves,
// assertions, opened URLs, permission requests). Every accessor is thread-safe.
//
// The records the remote side can grow (posted events, cursor moves, window-list options,
// permission calls, opened URLs, selected input sources) keep the latest kRecordLimit entries
// each and drop older ones: the host runs on this desktop for as long as a client sends
// commands, and a posted event costs about 230 bytes (10000 of them about 2.3 MB, where keeping
// them all grew by 229 MB over a million moves). Tests read what they just caused.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/desktop/Desktop.h"

namespace desktop::sim {

struct PostedEvent {
  uint32_t tap;
  CGEvent event;
};

struct PowerAssertion {
  uint32_t id;
  std::string type;
  uint32_t level;
  std::string name;
  bool released = false;
};

class SimDesktop : public DisplayService,
                   public CursorService,
                   public SystemService,
                   public EventService,
                   public InputSourceService,
                   public PowerService,
                   public std::enable_shared_from_this<SimDesktop> {
 public:
  static constexpr size_t kRecordLimit = 10000;

  static std::shared_ptr<SimDesktop> Create();
  // The Desktop record pointing every service at this object.
  std::shared_ptr<Desktop> AsDesktop();

  // ---- display: frame n of a moving scene (a gradient, text-like rows and a box that moves
  // 8 pixels a frame), n counting the grabs. Default 320 × 200.
  void setDisplaySize(int64_t width, int64_t height);
  // The next `count` grabs fail (return null).
  void failNextGrabs(int count);
  // Replaces the scene with a function drawing frame n into BGRA pixels (stride = width × 4).
  void setSceneRenderer(std::function<void(uint8_t* pixels, int64_t w, int64_t h, int64_t n)> r);
  int64_t grabCount() const;
  // The pixels frame n of the current scene would have.
  CGImageRef renderFrame(int64_t n) const;

  // ---- cursor (default: a 16 × 16 arrow-ish bitmap at 16 × 16 points, hot spot (1, 1))
  void setCursor(std::optional<CursorImage> cursor);
  static CursorImage MakeCursor(int64_t pixelWidth, int64_t pixelHeight, CGSize points,
                                CGPoint hotSpot);

  // ---- system
  void setWindowList(std::optional<std::vector<CFWindowEntry>> list);
  void setProcessIdentifier(int32_t pid);
  void setScreens(std::vector<CGRect> screens);
  void setOperatingSystemVersion(OperatingSystemVersion v);
  void setTrusted(bool trusted);
  int screenCaptureRequests() const;
  int trustPrompts() const;
  std::vector<std::string> openedURLs() const;
  // Request and URL calls in the order they came: "request" or "url:<url>".
  std::vector<std::string> permissionCalls() const;
  std::vector<uint32_t> windowListOptions() const;

  // ---- events
  void setEventSourceAvailable(bool available);
  void setEventCreationAvailable(bool available);
  std::vector<PostedEvent> postedEvents() const;
  void clearPostedEvents();
  std::vector<CGPoint> cursorMoves() const;
  void setCursorLocation(CGPoint p);
  int releaseHeldInputCalls() const;
  // How many events had been posted when releaseHeldInput was last called.
  size_t postedEventsAtLastRelease() const;

  // ---- input sources
  void setInputSources(std::optional<std::vector<TISInputSourceRef>> sources);
  void setCurrentInputSource(TISInputSourceRef source);
  std::vector<std::string> selectedInputSources() const;  // identifiers, in order
  static TISInputSourceRef MakeInputSource(const std::string& id, const std::string& category,
                                           bool selectCapable, const std::string& name);

  // ---- power
  void setPowerAssertionsRefused(const std::string& type, bool refused);
  std::vector<PowerAssertion> powerAssertions() const;

  // DisplayService
  CGImageRef createImage() override;
  // CursorService
  std::optional<CursorImage> currentCursor() override;
  // SystemService
  std::optional<std::vector<CFWindowEntry>> windowList(uint32_t option,
                                                       uint32_t relativeWindow) override;
  int32_t processIdentifier() override;
  std::vector<CGRect> screens() override;
  OperatingSystemVersion operatingSystemVersion() override;
  bool requestScreenCaptureAccess() override;
  bool openURL(const std::string& url) override;
  bool isProcessTrusted(bool prompt) override;
  // EventService
  bool createEventSource(int32_t stateID) override;
  bool canCreateEvents() override;
  void post(uint32_t tap, const CGEvent& event) override;
  int32_t moveCursorToPoint(uint32_t display, CGPoint point) override;
  CGPoint cursorLocation() override;
  void releaseHeldInput() override;
  // InputSourceService
  std::optional<std::vector<TISInputSourceRef>> inputSources(bool includeAllInstalled) override;
  TISInputSourceRef currentKeyboardInputSource() override;
  int32_t selectInputSource(const TISInputSourceRef& source) override;
  // PowerService
  int32_t createAssertion(const std::string& type, uint32_t level, const std::string& name,
                          uint32_t* assertionID) override;
  int32_t releaseAssertion(uint32_t assertionID) override;

 private:
  SimDesktop();

  mutable std::mutex mutex_;
  int64_t width_ = 320;
  int64_t height_ = 200;
  int failGrabs_ = 0;
  int64_t grabs_ = 0;
  std::function<void(uint8_t*, int64_t, int64_t, int64_t)> renderer_;
  std::optional<CursorImage> cursor_;
  std::optional<std::vector<CFWindowEntry>> windows_;
  std::deque<uint32_t> windowListOptions_;
  int32_t pid_ = 4242;
  std::vector<CGRect> screens_;
  OperatingSystemVersion os_{14, 0, 0};
  bool trusted_ = true;
  int captureRequests_ = 0;
  int trustPrompts_ = 0;
  std::deque<std::string> urls_;
  std::deque<std::string> permissionCalls_;
  bool sourceAvailable_ = true;
  bool creationAvailable_ = true;
  std::deque<PostedEvent> posted_;
  std::deque<CGPoint> moves_;
  CGPoint cursorLocation_;
  int releaseHeld_ = 0;
  size_t postedAtRelease_ = 0;
  std::optional<std::vector<TISInputSourceRef>> sources_;
  TISInputSourceRef currentSource_;
  std::deque<std::string> selected_;
  std::vector<std::string> refusedAssertionTypes_;
  std::vector<PowerAssertion> assertions_;
  uint32_t nextAssertion_ = 100;
};

}  // namespace desktop::sim
