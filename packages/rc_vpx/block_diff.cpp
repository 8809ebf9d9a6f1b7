#include "packages/rc_vpx/block_diff.h"

#include <algorithm>
#include <cstring>

namespace rc_vpx {

void MarkChangedBlocks(const uint8_t* a, int a_stride, const uint8_t* b, int b_stride, int width,
                       int height, int block, uint8_t* changed, int cols) {
  const int block_cols = (width + block - 1) / block;
  for (int y0 = 0, row = 0; y0 < height; y0 += block, ++row) {
    uint8_t* marks = changed + static_cast<size_t>(row) * cols;
    const int y1 = std::min(y0 + block, height);
    for (int y = y0; y < y1; ++y) {
      const uint8_t* la = a + static_cast<size_t>(y) * a_stride;
      const uint8_t* lb = b + static_cast<size_t>(y) * b_stride;
      if (std::memcmp(la, lb, width) == 0) continue;
      bool all_marked = true;
      for (int col = 0; col < block_cols; ++col) {
        if (marks[col]) continue;
        const int x = col * block;
        if (std::memcmp(la + x, lb + x, std::min(block, width - x)) != 0) {
          marks[col] = 1;
        } else {
          all_marked = false;
        }
      }
      if (all_marked) break;  // the rest of this block row cannot add anything
    }
  }
}

}  // namespace rc_vpx
