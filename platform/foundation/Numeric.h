// Narrowing numbers from outside without undefined behaviour: conversions that would overflow
// saturate at the target's bounds instead, and a float is only taken as an integer when it is one.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

namespace foundation {

// Truncation toward zero, saturating at the bounds of `Int`; NaN gives 0.
template <typename Int>
Int TruncateSaturating(double v) {
  using Limits = std::numeric_limits<Int>;
  if (std::isnan(v)) return 0;
  // Both bounds are powers of two (or one less), so their doubles compare exactly enough: the
  // maximum rounds up to 2^(n-1), which is already out of range.
  if (v <= static_cast<double>(Limits::min())) return Limits::min();
  if (v >= static_cast<double>(Limits::max())) return Limits::max();
  return static_cast<Int>(v);
}

// `v` clamped into the range of `Int`.
template <typename Int>
Int Clamp(int64_t v) {
  using Limits = std::numeric_limits<Int>;
  return static_cast<Int>(std::clamp<int64_t>(v, Limits::min(), Limits::max()));
}

// `v` as an `Int` when it is exactly one (no fraction, not NaN, in range); otherwise none.
template <typename Int>
std::optional<Int> ExactInteger(double v) {
  using Limits = std::numeric_limits<Int>;
  // [min, max + 1): min is -2^(n-1), exact as a double; max + 1 is 2^(n-1), also exact.
  const double below = static_cast<double>(Limits::min());
  const double above = -below;
  if (!(v >= below && v < above) || std::trunc(v) != v) return std::nullopt;
  return static_cast<Int>(v);
}

}  // namespace foundation
