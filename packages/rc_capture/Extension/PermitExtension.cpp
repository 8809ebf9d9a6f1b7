#include "packages/rc_capture/Extension/PermitExtension.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "platform/desktop/AppKit.h"
#include "platform/desktop/CoreGraphics.h"
#include "platform/foundation/Numeric.h"

namespace rc_capture {
namespace {

constexpr const char* kWindowServer = "Window Server";
constexpr const char* kScreenCapturePrivacyURL =
    "x-apple.systempreferences:com.apple.preference.security?Privacy_ScreenCapture";

// A number that is exactly a signed 32-bit integer (an integral float counts, as a platform
// number bridges to Int32 when it holds such a value).
std::optional<int32_t> AsInt32(const desktop::CFValue& value) {
  if (const auto* i = std::get_if<int64_t>(&value); i && std::in_range<int32_t>(*i)) {
    return static_cast<int32_t>(*i);
  }
  if (const auto* d = std::get_if<double>(&value)) return foundation::ExactInteger<int32_t>(*d);
  return std::nullopt;
}

}  // namespace

bool PermitExtension::checkRecord() {
  auto windows = desktop::CGWindowListCopyWindowInfo(desktop::kCGWindowListExcludeDesktopElements,
                                                     desktop::kCGNullWindowID);
  if (!windows) return false;
  const int32_t ownPid = desktop::NSRunningApplication::currentApplicationProcessIdentifier();
  for (const auto& entry : *windows) {
    if (!entry) continue;
    const desktop::CFDictionary& window = *entry;
    if (auto it = window.find(desktop::kCGWindowOwnerPID); it != window.end()) {
      if (auto pid = AsInt32(it->second); pid && *pid == ownPid) continue;
    }
    if (auto it = window.find(desktop::kCGWindowOwnerName); it != window.end()) {
      const auto* name = std::get_if<std::string>(&it->second);
      if (name && *name == kWindowServer) continue;
    }
    if (window.contains(desktop::kCGWindowName)) return true;
  }
  return false;
}

void PermitExtension::reqRecord() {
  if (desktop::NSProcessInfo::isOperatingSystemAtLeastVersion({10, 15, 0})) {
    desktop::CGRequestScreenCaptureAccess();
  }
  desktop::NSWorkspace::openURL(kScreenCapturePrivacyURL);
}

}  // namespace rc_capture
