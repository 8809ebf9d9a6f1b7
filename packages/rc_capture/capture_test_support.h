// Test support for the rc_capture tests: a gate that holds capture threads, and a behavioural
// stand-in for rc_vpx behind the Vpx* interface that counts the calls, records the change hints,
// fills the whole output buffer (so that the address sanitizer sees a buffer too small) and
// returns a scripted length.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "packages/rc_capture/Wrapper/vpx_wrapper.h"

namespace rc_capture::testing {

// Holds each thread that passes until the test allows one more through (or opens it for good),
// and records which threads came.
class Gate {
 public:
  void allow(int n = 1) {
    std::lock_guard lock(mutex_);
    permits_ += n;
    cv_.notify_all();
  }
  void open() { allow(1 << 30); }
  void pass() {
    std::unique_lock lock(mutex_);
    arrivals_.push_back(std::this_thread::get_id());
    cv_.notify_all();
    cv_.wait(lock, [&] { return permits_ > 0; });
    --permits_;
  }
  // Waits (20 s at most) until n threads have come.
  bool waitForArrivals(size_t n) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return arrivals_.size() >= n; });
  }
  std::vector<std::thread::id> arrivals() {
    std::lock_guard lock(mutex_);
    return arrivals_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int permits_ = 0;
  std::vector<std::thread::id> arrivals_;
};

struct FakeVpxState {
  int creates = 0, disposes = 0, keyframes = 0, encodes = 0, hints = 0;
  int32_t encodeResult = 100;
  int32_t lastWidth = 0, lastHeight = 0, lastQuality = 0, lastStride = 0;
  uint8_t* lastOut = nullptr;
  // The last change hint, and the number of encodes made when it came.
  int encodesAtLastHint = 0;
  int64_t hintSequence = 0, hintPrevious = 0;
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
        return &g_fakeHandle;
      },
      [](void* handle, const uint8_t*, uint8_t* out, int32_t w, int32_t h, int32_t q,
         int32_t stride, int32_t) -> int32_t {
        EXPECT_EQ(handle, &g_fakeHandle);
        ++g_fakeVpx.encodes;
        g_fakeVpx.lastWidth = w, g_fakeVpx.lastHeight = h, g_fakeVpx.lastQuality = q;
        g_fakeVpx.lastStride = stride, g_fakeVpx.lastOut = out;
        for (size_t i = 0; i < static_cast<size_t>(w) * h * 4; ++i) out[i] = FakeByte(i);
        return g_fakeVpx.encodeResult;
      },
      [](void*) { ++g_fakeVpx.keyframes; },
      [](void*) { ++g_fakeVpx.disposes; },
      nullptr,
      [](void*, int64_t sequence, int64_t previous, const int32_t* rects, int32_t count) {
        ++g_fakeVpx.hints;
        g_fakeVpx.encodesAtLastHint = g_fakeVpx.encodes;
        g_fakeVpx.hintSequence = sequence, g_fakeVpx.hintPrevious = previous;
        g_fakeVpx.hintRects.assign(rects, rects + static_cast<size_t>(count) * 4);
        return int32_t{1};
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
