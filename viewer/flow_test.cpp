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
      {"frames", 10, 100, 5},      // after the key frame, the fifth unacknowledged is one too many
      {"age", 100, 100, 4},        // at 400 ms the oldest (100) is older than 250 ms
      {"bytes", 10, 3u << 20, 3},  // the third 3 MiB frame after the key frame passes 8 MiB
      {"key frame never decoded", 100, 100, 21},  // the key frame is 2 s old at 2100 ms
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const bool ackKey = c.sentBeforeBehind < 10;
    FrameFlow f;
    uint32_t n = 0;
    int sent = 0;
    double t = 0;
    for (int i = 0; i < 30 && f.state() != State::kBehind; ++i, t += c.stepMs) {
      if (f.offer(i == 0, t, c.bytes, &n)) ++sent;
      if (i == 0 && ackKey) f.ack(1);
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

TEST(FrameFlow, AKeyFrameSlowToDecodeDoesNotPutTheViewerBehind) {
  FrameFlow f;
  uint32_t n = 0;
  double t = 0;
  // The page spends 400 ms on the key frame while twelve frames arrive behind it.
  for (int i = 0; i < 13; ++i, t += 33) ASSERT_TRUE(f.offer(i == 0, t, 1000, &n)) << i;
  EXPECT_FALSE(f.ack(1));
  // The backlog is decoded quickly; the flow goes on without a new key frame.
  ASSERT_TRUE(f.offer(false, t, 1000, &n));
  EXPECT_FALSE(f.ack(n));
  for (int i = 0; i < 30; ++i, t += 33) {
    ASSERT_TRUE(f.offer(false, t, 1000, &n)) << i;
    f.ack(n);
  }
  EXPECT_EQ(f.state(), State::kFlowing);

  // A backlog that is not decoded within the age limit after its key frame does count.
  FrameFlow g;
  t = 0;
  for (int i = 0; i < 13; ++i, t += 33) ASSERT_TRUE(g.offer(i == 0, t, 1000, &n));
  g.ack(1);
  for (int i = 0; i < 12 && g.state() != State::kBehind; ++i, t += 33) g.offer(false, t, 1000, &n);
  EXPECT_EQ(g.state(), State::kBehind);
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
