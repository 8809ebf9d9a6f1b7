// The side buttons on the platform's mouse-button type.
//
// The platform numbers 0 left, 1 right and 2 centre; the remote side also reports the two
// extra side buttons, which Core Graphics treats as further "other" buttons (3 and 4).
#pragma once

#include <cstdint>
#include <optional>

#include "platform/desktop/CoreGraphics.h"

namespace rc_input {

using desktop::CGMouseButton;

inline constexpr CGMouseButton XButton1 = 3;
inline constexpr CGMouseButton XButton2 = 4;

// The side button the remote side means by its "data" value: 1 is XButton1, 2 is XButton2,
// anything else names no button.
std::optional<CGMouseButton> XButtonFromData(int32_t data);

// True for the buttons whose events use the "other" event types (centre and both side
// buttons), false for left and right.
bool IsOtherMouseButton(CGMouseButton button);

}  // namespace rc_input
