#include "packages/rc_input/CGMouseButton.h"

namespace rc_input {

std::optional<CGMouseButton> XButtonFromData(int32_t data) {
  switch (data) {
    case 1:
      return XButton1;
    case 2:
      return XButton2;
    default:
      return std::nullopt;
  }
}

bool IsOtherMouseButton(CGMouseButton button) {
  return button != desktop::kCGMouseButtonLeft && button != desktop::kCGMouseButtonRight;
}

}  // namespace rc_input
