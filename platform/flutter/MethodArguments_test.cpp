#include "platform/flutter/MethodArguments.h"

#include <gtest/gtest.h>

#include <limits>
#include <tuple>

namespace flutter {
namespace {

constexpr int32_t kInt32Max = std::numeric_limits<int32_t>::max();
constexpr int32_t kInt32Min = std::numeric_limits<int32_t>::min();
constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t kInt64Min = std::numeric_limits<int64_t>::min();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// The argument {"k": v}.
Value K(Value v) {
  return Value(ValueMap{{Value("k"), std::move(v)}});
}

// A key read as an exact integer of each width or as a boolean; then the narrowing helpers.
TEST(MethodArgumentsTest, ReadsExactIntegersAndBooleansAndNarrowsSaturating) {
  const std::nullopt_t none = std::nullopt;
  const struct {
    const char* what;
    Value args;
    bool isMap;
    std::optional<int64_t> i64;
    std::optional<int32_t> i32;
    std::optional<bool> boolean;
  } rows[] = {
      {"no argument", Value(), false, none, none, none},
      {"a list", Value(ValueList{Value(20)}), false, none, none, none},
      {"a bare number", Value(20), false, none, none, none},
      {"a non-string key beside it", Value(ValueMap{{Value("k"), Value(20)}, {Value(1), Value(2)}}),
       false, none, none, none},
      {"an empty map", Value(ValueMap{}), true, none, none, none},
      {"only other keys", MakeMap({{"other", 20}}), true, none, none, none},
      {"a string", K("20"), true, none, none, none},
      {"a fraction", K(20.5), true, none, none, none},
      {"NaN", K(kNaN), true, none, none, none},
      {"int32", K(int32_t{-20}), true, -20, -20, none},
      {"int64", K(int64_t{21}), true, 21, 21, none},
      {"a whole float", K(20.0), true, 20, 20, none},
      {"int64 past 32 bits", K(int64_t{kInt32Max} + 1), true, int64_t{kInt32Max} + 1, none, none},
      {"-2^31 as a float", K(-2147483648.0), true, kInt32Min, kInt32Min, none},
      {"2^31 as a float", K(2147483648.0), true, int64_t{1} << 31, none, none},
      {"-2^63 as a float", K(-9223372036854775808.0), true, kInt64Min, none, none},
      {"2^63 as a float", K(9223372036854775808.0), true, none, none, none},
      {"true", K(true), true, none, none, true},
      {"a key twice: the last value", MakeMap({{"k", 1}, {"other", "x"}, {"k", true}}), true, none,
       none, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const MethodArguments args(row.args);
    EXPECT_EQ(args.IsStringKeyedMap(), row.isMap);
    EXPECT_EQ(args.Integer<int64_t>("k"), row.i64);
    EXPECT_EQ(args.Integer<int32_t>("k"), row.i32);
    EXPECT_EQ(args.Bool("k"), row.boolean);
  }
  // Narrowing: toward zero, saturating at the bounds, NaN as 0.
  const std::tuple<double, int32_t, int64_t> truncations[] = {
      {-900.7, -900, -900},
      {kNaN, 0, 0},
      {3e9, kInt32Max, 3'000'000'000},
      {-kInf, kInt32Min, kInt64Min},
      {9223372036854775808.0, kInt32Max, kInt64Max}};
  for (const auto& [v, to32, to64] : truncations) {
    EXPECT_EQ(foundation::TruncateSaturating<int32_t>(v), to32) << v;
    EXPECT_EQ(foundation::TruncateSaturating<int64_t>(v), to64) << v;
  }
  EXPECT_EQ(foundation::Clamp<int32_t>(-3), -3);
  EXPECT_EQ(foundation::Clamp<int32_t>(kInt64Min), kInt32Min);
}

}  // namespace
}  // namespace flutter
