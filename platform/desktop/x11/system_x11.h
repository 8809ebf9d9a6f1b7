// Windows, screens, the process and permissions of an X display (platform thread).
//
// Window list: the top-level client windows: the window manager's _NET_CLIENT_LIST_STACKING
// (bottom to top) when a live EWMH manager publishes one, else the root's children in stacking
// order, descending through window-manager frames to the window that carries WM_STATE. Each
// entry holds kCGWindowNumber (the X window id), kCGWindowOwnerPID (_NET_WM_PID, when set),
// kCGWindowOwnerName (the owner's /proc/<pid>/comm, else the WM_CLASS class) and
// kCGWindowName (_NET_WM_NAME, else WM_NAME; present, possibly empty, whenever the window has
// either property). kCGWindowListExcludeDesktopElements leaves out _NET_WM_WINDOW_TYPE_DESKTOP
// windows. X has no screen-recording gate: every client may read titles and pixels, so
// requestScreenCaptureAccess() answers true and the list always carries titles.
//
// Screens: the active XRandR monitors (RandR ≥ 1.5), the primary first (or the one at the
// origin when none is primary), converted from X's top-left pixel space to frames whose origin
// is the primary's bottom-left corner with y growing upward; without RandR, one screen the size
// of the root.
//
// Accessibility trust: the XTEST extension is present. The operating-system version is the
// kernel's release numbers (uname). openURL has nothing to open the platform's settings pages
// with and answers false.
#pragma once

#include <memory>

#include "platform/desktop/Desktop.h"

namespace desktop::x11 {

class XConnection;

inline constexpr const char* kCGWindowNumber = "kCGWindowNumber";

class SystemX11 final : public SystemService {
 public:
  SystemX11(std::shared_ptr<XConnection> connection, bool hasXTest);
  ~SystemX11() override;
  SystemX11(const SystemX11&) = delete;
  SystemX11& operator=(const SystemX11&) = delete;

  std::optional<std::vector<CFWindowEntry>> windowList(uint32_t option,
                                                       uint32_t relativeWindow) override;
  int32_t processIdentifier() override;
  std::vector<CGRect> screens() override;
  OperatingSystemVersion operatingSystemVersion() override;
  bool requestScreenCaptureAccess() override;
  bool openURL(const std::string& url) override;
  bool isProcessTrusted(bool prompt) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Monitor rectangles in X's space (top-left origin, y down) → frames with the primary's
// bottom-left corner at the origin and y up, the primary first. `primary` indexes `monitors`.
std::vector<CGRect> ToScreenFrames(const std::vector<CGRect>& monitors, size_t primary);

// True when the server has RandR 1.5 or later (monitors). With the connection's mutex held.
bool HasRandrMonitors(XConnection& connection);

// The active RandR monitors in X's space and which of them is the primary: the one marked
// primary, else (plain Xvfb marks none) the one at the root's origin, else the first. Empty
// when the server lists none. Needs RandR 1.5; with the connection's mutex held.
struct MonitorLayout {
  std::vector<CGRect> monitors;
  size_t primary = 0;
};
MonitorLayout ReadMonitorLayout(XConnection& connection);

}  // namespace desktop::x11
