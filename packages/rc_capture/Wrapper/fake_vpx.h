// Test support: a behavioural stand-in for rc_vpx behind the Vpx* interface. It counts the calls,
// records change hints,
// fills the whole output buffer (so that the address sanitizer sees any buffer too small) and
// returns a scripted length.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "packages/rc_capture/Wrapper/vpx_wrapper.h"

namespace rc_capture::testing {

struct FakeVpxState {
  int creates = 0;
  int disposes = 0;
  int keyframes = 0;
  int encodes = 0;
  bool createFails = false;
  int32_t encodeResult = 100;
  int32_t lastWidth = 0;
  int32_t lastHeight = 0;
  int32_t lastQuality = 0;
  int32_t lastStride = 0;
  int32_t lastFlag = 0;
  const uint8_t* lastPixels = nullptr;
  uint8_t* lastOut = nullptr;
  // Change hints, and the number of encodes made when the last one came.
  int hints = 0;
  int encodesAtLastHint = 0;
  int64_t hintSequence = 0;
  int64_t hintPrevious = 0;
  std::vector<int32_t> hintRects;
};

inline FakeVpxState g_fakeVpx;
inline int g_fakeHandle;

// The byte the fake writes at offset i of the output buffer.
inline uint8_t FakeByte(size_t i) {
  return static_cast<uint8_t>(i % 251);
}

inline VpxFunctions FakeVpxFunctions() {
  return {
      [](int32_t) -> void* {
        ++g_fakeVpx.creates;
        return g_fakeVpx.createFails ? nullptr : &g_fakeHandle;
      },
      [](void* handle, const uint8_t* pixels, uint8_t* out, int32_t w, int32_t h, int32_t q,
         int32_t stride, int32_t flag) -> int32_t {
        EXPECT_EQ(handle, &g_fakeHandle);
        ++g_fakeVpx.encodes;
        g_fakeVpx.lastWidth = w;
        g_fakeVpx.lastHeight = h;
        g_fakeVpx.lastQuality = q;
        g_fakeVpx.lastStride = stride;
        g_fakeVpx.lastFlag = flag;
        g_fakeVpx.lastPixels = pixels;
        g_fakeVpx.lastOut = out;
        for (size_t i = 0; i < static_cast<size_t>(w) * h * 4; ++i) out[i] = FakeByte(i);
        return g_fakeVpx.encodeResult;
      },
      [](void* handle) {
        EXPECT_EQ(handle, &g_fakeHandle);
        ++g_fakeVpx.keyframes;
      },
      [](void* handle) {
        EXPECT_EQ(handle, &g_fakeHandle);
        ++g_fakeVpx.disposes;
      },
      nullptr,
      [](void* handle, int64_t sequence, int64_t previous, const int32_t* rects,
         int32_t count) -> int32_t {
        EXPECT_EQ(handle, &g_fakeHandle);
        ++g_fakeVpx.hints;
        g_fakeVpx.encodesAtLastHint = g_fakeVpx.encodes;
        g_fakeVpx.hintSequence = sequence;
        g_fakeVpx.hintPrevious = previous;
        g_fakeVpx.hintRects.assign(rects, rects + static_cast<size_t>(count) * 4);
        return 1;
      },
  };
}

// Puts the fake in place of rc_vpx for one test, with no shared encoder at either end.
class FakeVpxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VpxDispose_Encoder();
    previous_ = SetVpxFunctionsForTesting(FakeVpxFunctions());
    g_fakeVpx = {};
  }
  void TearDown() override {
    VpxDispose_Encoder();
    SetVpxFunctionsForTesting(previous_);
  }

 private:
  VpxFunctions previous_{};
};

}  // namespace rc_capture::testing
