// Accessibility trust and Text Input Sources, routed to the current desktop.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/desktop/Desktop.h"

namespace desktop {

inline constexpr const char* kAXTrustedCheckOptionPrompt = "AXTrustedCheckOptionPrompt";

bool AXIsProcessTrusted();
// Options: kAXTrustedCheckOptionPrompt → true asks the user to grant trust if it is missing.
bool AXIsProcessTrustedWithOptions(const std::map<std::string, bool>& options);

inline constexpr const char* kTISPropertyInputSourceCategory = "TISPropertyInputSourceCategory";
inline constexpr const char* kTISPropertyInputSourceIsSelectCapable =
    "TISPropertyInputSourceIsSelectCapable";
inline constexpr const char* kTISPropertyLocalizedName = "TISPropertyLocalizedName";
inline constexpr const char* kTISPropertyInputSourceID = "TISPropertyInputSourceID";
inline constexpr const char* kTISCategoryKeyboardInputSource = "TISCategoryKeyboardInputSource";
inline constexpr const char* kTISCategoryPaletteInputSource = "TISCategoryPaletteInputSource";

// `properties` filters the list (null: no filter). None when the platform gives no list.
std::optional<std::vector<TISInputSourceRef>> TISCreateInputSourceList(
    const CFDictionary* properties, bool includeAllInstalled);
TISInputSourceRef TISCopyCurrentKeyboardInputSource();
TISPropertyValue TISGetInputSourceProperty(const TISInputSourceRef& source,
                                           const std::string& propertyKey);
// Returns an OSStatus (0: success).
int32_t TISSelectInputSource(const TISInputSourceRef& source);
// Platform object equality (same source), not identity of the references.
bool CFEqual(const TISInputSourceRef& a, const TISInputSourceRef& b);

}  // namespace desktop
