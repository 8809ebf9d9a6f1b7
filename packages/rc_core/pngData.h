// pngData: a platform image redrawn at a size in points (one pixel per point) and encoded as
// PNG with straight alpha. Nothing for an empty image or a target smaller than one pixel.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/desktop/Desktop.h"

namespace rc_core {

enum class NSImageInterpolation {
  kDefault = 0,
  kNone = 1,  // nearest pixel
  kLow = 2,   // bilinear
  kHigh = 3,  // box filter (area average): the sharpest result when shrinking
  kMedium = 4,
};

std::optional<std::vector<uint8_t>> pngData(const desktop::NSImage& image, desktop::CGSize size,
                                            NSImageInterpolation imageInterpolation);

}  // namespace rc_core
