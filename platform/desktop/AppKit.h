// AppKit and Foundation calls the agent makes about screens, the cursor, the running
// application, the system version and URLs, routed to the current desktop.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/desktop/Desktop.h"

namespace desktop {

struct NSScreen {
  CGRect frame;  // points; origin at the primary screen's bottom-left corner, y up
  // The screens in the platform's order (the primary first).
  static std::vector<NSScreen> screens();
};

struct NSCursor {
  // The cursor shown on screen now, or none.
  static std::optional<CursorImage> currentSystemCursor();
};

struct NSRunningApplication {
  static int32_t currentApplicationProcessIdentifier();
};

struct NSProcessInfo {
  static OperatingSystemVersion operatingSystemVersion();
  static bool isOperatingSystemAtLeastVersion(OperatingSystemVersion version);
};

struct NSWorkspace {
  static bool openURL(const std::string& url);
};

}  // namespace desktop
