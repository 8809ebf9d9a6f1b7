// PermitExtension: the screen-recording permission, as the two permission commands of the
// capture channel see it. Platform thread; keeps nothing between calls.
#pragma once

namespace rc_capture {

class PermitExtension {
 public:
  // True when some window of another process, not owned by the window server, shows its title in
  // the window list: the platform gives other processes' titles only to a process that holds the
  // permission. False when there is no window list.
  static bool checkRecord();
  // Asks the system for the permission (from 10.15 on), then always opens the privacy settings'
  // screen-recording page.
  static void reqRecord();
};

}  // namespace rc_capture
