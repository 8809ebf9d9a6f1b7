// Change detection between two pictures of the same size, in square blocks.

#ifndef PACKAGES_RC_VPX_BLOCK_DIFF_H_
#define PACKAGES_RC_VPX_BLOCK_DIFF_H_

#include <cstdint>

namespace rc_vpx {

// Compares two planes of width × height bytes and sets changed[row * cols + col] to 1 for every
// block × block tile (edge tiles are partial) with at least one differing byte. Entries already
// set are left set, so the planes of one picture (luma with block 16, chroma with block 8) can be
// OR-ed into one map. `changed` holds ceil(height / block) rows of `cols` entries, cols ≥
// ceil(width / block). Unchanged rows cost one memcmp each, so a still picture is cheap.
void MarkChangedBlocks(const uint8_t* a, int a_stride, const uint8_t* b, int b_stride, int width,
                       int height, int block, uint8_t* changed, int cols);

}  // namespace rc_vpx

#endif  // PACKAGES_RC_VPX_BLOCK_DIFF_H_
