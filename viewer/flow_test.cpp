#include "viewer/flow.h"

#include <gtest/gtest.h>

namespace rcweb {
namespace {

using State = FrameFlow::State;

TEST(FrameFlow, StartsAtAKeyFrameAndNumbersFromOne) {
  FrameFlow f;
  uint32_t n = 0;
  EXPECT_FALSE(f.offer(false, 0, 100, &n));
  EXPECT_TRUE(f.offer(true, 10, 100, &n));
  EXPECT_EQ(n, 1u);
  EXPECT_TRUE(f.offer(false, 20, 100, &n));
  EXPECT_EQ(n, 2u);
  f.ack(2);
  EXPECT_EQ(f.outstandingFrames(), 0u);
  // A decoder reset: inter frames are skipped until the next key frame.
  f.restart();
  EXPECT_FALSE(f.offer(false, 30, 100, &n));
  EXPECT_TRUE(f.offer(true, 40, 100, &n));
  EXPECT_EQ(n, 3u);
}

TEST(FrameFlow, EachLimitMarksTheViewerBehindUntilItCatchesUp) {
  struct Case {
    const char* name;
    double stepMs;
    size_t bytes;
    int sentBeforeBehind;
  } cases[] = {
      {"frames", 10, 100, 4},      // the fifth unacknowledged frame is one too many
      {"age", 100, 100, 3},        // at 300 ms the oldest is older than 250 ms
      {"bytes", 10, 3u << 20, 2},  // the third 3 MiB frame passes 8 MiB
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FrameFlow f;
    uint32_t n = 0;
    int sent = 0;
    double t = 0;
    for (int i = 0; i < 10; ++i, t += c.stepMs) {
      if (f.offer(i == 0, t, c.bytes, &n)) ++sent;
    }
    EXPECT_EQ(sent, c.sentBeforeBehind);
    EXPECT_EQ(f.state(), State::kBehind);
    // Catching up part-way is not enough; reaching the last frame sent is.
    EXPECT_FALSE(f.ack(f.lastSent() - 1));
    EXPECT_FALSE(f.offer(true, t, 100, &n));
    EXPECT_TRUE(f.ack(f.lastSent()));
    EXPECT_EQ(f.state(), State::kAwaitKey);
    EXPECT_FALSE(f.offer(false, t + 10, 100, &n));
    EXPECT_TRUE(f.offer(true, t + 20, 100, &n));
    EXPECT_EQ(n, static_cast<uint32_t>(c.sentBeforeBehind + 1));
  }
}

TEST(FrameFlow, AFrameOverTheByteBoundStillGoesToAnIdleViewer) {
  FrameFlow f;
  uint32_t n = 0;
  EXPECT_TRUE(f.offer(true, 0, 20u << 20, &n));
  EXPECT_FALSE(f.offer(false, 1, 10, &n));
  EXPECT_EQ(f.state(), State::kBehind);
  // Frame 0 is never sent: acknowledging it changes nothing.
  EXPECT_FALSE(f.ack(0));
  EXPECT_TRUE(f.ack(7));
}

}  // namespace
}  // namespace rcweb
