#include "packages/rc_vpx/block_diff.h"

#include <gtest/gtest.h>

#include <vector>

namespace rc_vpx {
namespace {

// Luma in 16-pixel blocks, then chroma in 8-pixel blocks OR-ed into the same map.
TEST(MarkChangedBlocks, MarksTheBlocksThatDifferAndKeepsEarlierMarks) {
  constexpr int kW = 40, kH = 35, kStride = 48;  // partial blocks at the right and bottom
  std::vector<uint8_t> a(kStride * kH, 7), b = a;
  b[17 * kStride + 3] = 8;   // block (row 1, col 0)
  b[34 * kStride + 39] = 9;  // the corner block (row 2, col 2)
  b[0 * kStride + 45] = 1;   // beyond the width: padding, not picture
  std::vector<uint8_t> changed(3 * 3, 0);
  changed[1] = 1;  // an earlier mark stays
  MarkChangedBlocks(a.data(), kStride, b.data(), kStride, kW, kH, 16, changed.data(), 3);
  EXPECT_EQ(changed, (std::vector<uint8_t>{0, 1, 0, 1, 0, 0, 0, 0, 1}));

  std::vector<uint8_t> u(20 * 18, 0), u2 = u;
  u2[9 * 20 + 9] = 5;  // chroma block (1, 1) covers luma block (1, 1)
  MarkChangedBlocks(u.data(), 20, u2.data(), 20, 20, 18, 8, changed.data(), 3);
  EXPECT_EQ(changed, (std::vector<uint8_t>{0, 1, 0, 1, 1, 0, 0, 0, 1}));
}

}  // namespace
}  // namespace rc_vpx
