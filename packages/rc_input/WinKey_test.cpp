#include "packages/rc_input/WinKey.h"

#include <gtest/gtest.h>

#include <map>

namespace rc_input {
namespace {

// Properties of the whole table; single rows are checked through the channel.
TEST(WinKeyTable, TranslatedCodesAreInRangeUniqueAndOnlyEnterNeedsTheExtendedFlag) {
  std::map<int32_t, int> uses;  // macOS code -> Windows codes that give it
  for (int32_t vk = -300; vk < 600; ++vk) {
    const int32_t mac = WinKeyUtil::toMackey(vk, false);
    if (vk != 13) {
      EXPECT_EQ(WinKeyUtil::toMackey(vk, true), mac) << vk;
    }
    if (mac < 0) continue;
    EXPECT_TRUE(vk >= 8 && vk <= 222 && mac <= 126) << vk << " -> " << mac;
    ++uses[mac];
  }
  int translated = 0;
  for (const auto& [mac, count] : uses) {
    translated += count;
    // F22, F23 and F24 sit on F15, Help (Insert) and Home.
    EXPECT_EQ(count, mac == 113 || mac == 114 || mac == 115 ? 2 : 1) << mac;
  }
  EXPECT_EQ(translated, 114);
  EXPECT_EQ(WinKeyUtil::toMackey(INT32_MIN, true), -1);
  EXPECT_EQ(WinKeyUtil::toMackey(INT32_MAX, true), -1);
}

}  // namespace
}  // namespace rc_input
