#include "packages/rc_input/WinKey.h"

#include <gtest/gtest.h>

#include <set>

namespace rc_input {
namespace {

TEST(WinKeyTable, TranslatesExactly114CodesInsideTheRange) {
  int translated = 0;
  for (int32_t vk = -300; vk < 600; ++vk) {
    int32_t mac = WinKeyUtil::toMackey(vk, false);
    if (mac < 0) continue;
    ++translated;
    EXPECT_TRUE(vk >= 8 && vk <= 222) << vk;
    EXPECT_LE(mac, 126) << vk;
  }
  EXPECT_EQ(translated, 114);
  EXPECT_EQ(WinKeyUtil::toMackey(INT32_MIN, true), -1);
  EXPECT_EQ(WinKeyUtil::toMackey(INT32_MAX, true), -1);
}

TEST(WinKeyTable, OnlyEnterDependsOnTheExtendedFlag) {
  for (int32_t vk = 0; vk < 256; ++vk) {
    if (vk == 13) continue;
    EXPECT_EQ(WinKeyUtil::toMackey(vk, true), WinKeyUtil::toMackey(vk, false)) << vk;
  }
  EXPECT_EQ(WinKeyUtil::toMackey(13, false), 36);
  EXPECT_EQ(WinKeyUtil::toMackey(13, true), 76);
}

TEST(WinKeyTable, OnlyTheLastFunctionKeysShareCodes) {
  std::multiset<int32_t> codes;
  for (int32_t vk = 8; vk <= 222; ++vk) {
    if (int32_t mac = WinKeyUtil::toMackey(vk, false); mac >= 0) codes.insert(mac);
  }
  for (int32_t mac : codes) {
    // F22, F23 and F24 sit on F15, Help (Insert) and Home.
    bool shared = mac == 113 || mac == 114 || mac == 115;
    EXPECT_EQ(codes.count(mac), shared ? 2u : 1u) << mac;
  }
  EXPECT_EQ(WinKeyUtil::toMackey(135, false), 115);
  EXPECT_EQ(WinKeyUtil::toMackey(21, false), 104);
}

}  // namespace
}  // namespace rc_input
