// Narrowing numbers from outside without undefined behaviour: conversions that would overflow
// saturate at the target's bounds, and a float is taken as an integer only when it is one.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

namespace foundation {

// Truncation toward zero, saturating at the bounds of `Int`; NaN gives 0. (The maximum's double
// is 2^(n-1), already out of range, so >= is the right test.)
template <typename Int>
Int TruncateSaturating(double v) {
  using Limits = std::numeric_limits<Int>;
  if (std::isnan(v)) return 0;
  if (v <= static_cast<double>(Limits::min())) return Limits::min();
  if (v >= static_cast<double>(Limits::max())) return Limits::max();
  return static_cast<Int>(v);
}

// `v` clamped into the range of `Int`.
template <typename Int>
Int Clamp(int64_t v) {
  return static_cast<Int>(
      std::clamp<int64_t>(v, std::numeric_limits<Int>::min(), std::numeric_limits<Int>::max()));
}

// `v` as an `Int` when it is exactly one (no fraction, not NaN, within [-2^(n-1), 2^(n-1)),
// both bounds exact as doubles); otherwise none.
template <typename Int>
std::optional<Int> ExactInteger(double v) {
  const double below = static_cast<double>(std::numeric_limits<Int>::min());
  if (!(v >= below && v < -below) || std::trunc(v) != v) return std::nullopt;
  return static_cast<Int>(v);
}

}  // namespace foundation
