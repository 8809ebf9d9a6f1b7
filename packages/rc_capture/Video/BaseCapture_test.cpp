#include "packages/rc_capture/Video/BaseCapture.h"

#include <gtest/gtest.h>

#include <limits>
#include <mutex>
#include <set>

#include "packages/rc_capture/capture_test_support.h"
#include "platform/foundation/testing/ManualClock.h"
#include "platform/testing/TestSupport.h"

namespace rc_capture {
namespace {

using foundation::testing::ManualClock;
using foundation::testing::ScopedManualClock;
using testing::g_fakeVpx;
using testing::Gate;

// A capturer whose tick waits at the gate and then costs `tickCost` seconds of the manual clock.
class PacedCapture : public BaseCapture {
 public:
  PacedCapture(std::shared_ptr<Gate> gate, ManualClock* clock) : gate_(gate), clock_(clock) {}
  void ThreadProc() override {
    gate_->pass();
    clock_->advance(tickCost.load());
  }
  void SendFrame() override {
    std::lock_guard lock(mutex_);
    sends.push_back(std::this_thread::get_id());
  }
  std::vector<std::thread::id> sendThreads() {
    std::lock_guard lock(mutex_);
    return sends;
  }

  std::atomic<double> tickCost{0};

 private:
  std::shared_ptr<Gate> gate_;
  ManualClock* clock_;
  std::mutex mutex_;
  std::vector<std::thread::id> sends;
};

class BaseCaptureTest : public testing::FakeVpxTest {
 protected:
  void SetUp() override {
    FakeVpxTest::SetUp();
    capture->init();
  }
  void TearDown() override {
    auto thread = capture->threadForTesting();
    capture->Stop();
    gate->open();
    if (thread) {
      EXPECT_TRUE(thread->waitUntilFinished(20));
    }
    capture->Dispose(nullptr);
    FakeVpxTest::TearDown();
  }

  ScopedManualClock clock;
  std::shared_ptr<Gate> gate = std::make_shared<Gate>();
  std::shared_ptr<PacedCapture> capture = std::make_shared<PacedCapture>(gate, &*clock);
};

// The working rate moves between 1 and the ceiling (GetFps); each step sets the period.
TEST_F(BaseCaptureTest, TheWorkingRateMovesBetweenOneAndTheCeiling) {
  EXPECT_EQ(capture->GetFps(), 30);  // a fresh object
  const struct {
    int64_t setFps;  // 0: no SetFps before the step
    bool up;
    int64_t rate;
  } steps[] = {{0, true, 30}, {0, false, 29}, {10, false, 9}, {0, true, 10},
               {0, true, 10}, {2, false, 1},  {0, false, 1}};
  for (const auto& s : steps) {
    if (s.setFps) capture->SetFps(s.setFps);
    EXPECT_EQ(s.up ? capture->IncrementFPS() : capture->decrementFPS(), s.rate);
    EXPECT_DOUBLE_EQ(capture->timePerFpsForTesting(), 1.0 / s.rate);
  }
  EXPECT_EQ(capture->GetFps(), 2);
}

// Without the clamp a rate of 0 made the period infinite (the loop slept forever) and a negative
// one made it negative (the loop never slept more than 10 ms).
TEST_F(BaseCaptureTest, RatesBelowOneAreClampedToOne) {
  for (int64_t rate : {int64_t{0}, int64_t{-5}, std::numeric_limits<int64_t>::min()}) {
    capture->SetFps(rate);
    EXPECT_EQ(capture->GetFps(), 1) << rate;
    EXPECT_EQ(capture->workFpsValue, 1) << rate;
    EXPECT_DOUBLE_EQ(capture->timePerFpsForTesting(), 1.0) << rate;
  }
}

// Each row is one tick of the running loop: the sleep after it fills the period, or is 10 ms when
// the tick took the period or longer. A new rate counts from the very next tick.
TEST_F(BaseCaptureTest, EachTickIsFollowedByASleepThatFillsThePeriodOrBy10Ms) {
  const struct {
    int64_t fps;
    double cost, sleep;
  } rows[] = {{10, 0.03, 0.07},
              {10, 0.0, 0.1},
              {10, 0.1001, 0.01},
              {10, 0.25, 0.01},
              {30, 0.01, 1.0 / 30 - 0.01},
              {5, 0.05, 0.15},
              {1, 2.0, 0.01}};
  capture->Start();
  ASSERT_TRUE(gate->waitForArrivals(1));
  size_t ticks = 1;
  for (const auto& row : rows) {
    capture->SetFps(row.fps);
    capture->tickCost = row.cost;
    gate->allow();
    ASSERT_TRUE(gate->waitForArrivals(++ticks));
    EXPECT_NEAR(clock->sleeps().back(), row.sleep, 1e-9) << row.fps << " fps, tick " << row.cost;
  }
  EXPECT_EQ(clock->sleeps().size(), std::size(rows));
}

TEST_F(BaseCaptureTest, StartTwiceMakesOneThreadAndSendsOneFrameAtOnce) {
  capture->Start();
  ASSERT_TRUE(gate->waitForArrivals(1));
  auto thread = capture->threadForTesting();
  EXPECT_EQ(g_fakeVpx.keyframes, 1);
  EXPECT_TRUE(capture->sendThreads().empty());

  capture->Start();
  EXPECT_EQ(capture->threadForTesting(), thread);
  EXPECT_EQ(g_fakeVpx.keyframes, 2);
  EXPECT_EQ(capture->sendThreads(), std::vector{std::this_thread::get_id()});

  gate->allow(3);
  ASSERT_TRUE(gate->waitForArrivals(4));
  const auto arrivals = gate->arrivals();
  EXPECT_EQ(std::set(arrivals.begin(), arrivals.end()).size(), 1u);
}

// The loop used to check only the running flag: a Start() that came while the old thread was
// still inside its last tick set the flag again, and the old loop went on beside the new one.
TEST_F(BaseCaptureTest, StopThenStartWhileTheOldTickRunsLeavesExactlyOneLoop) {
  capture->Start();
  ASSERT_TRUE(gate->waitForArrivals(1));
  auto oldThread = capture->threadForTesting();
  const auto oldId = gate->arrivals()[0];
  capture->Stop();
  capture->Start();
  ASSERT_TRUE(gate->waitForArrivals(2));  // the new loop's first tick
  auto newThread = capture->threadForTesting();
  ASSERT_NE(newThread, oldThread);

  // Let ticks through one by one until the old loop has ended; a loop that carried on would keep
  // taking permits and never finish.
  for (size_t n = 2; n < 20 && !oldThread->isFinished(); ++n) {
    gate->allow();
    // Either the old loop takes the permit and ends, or the new one starts a tick.
    rctest::WaitUntil([&] { return oldThread->isFinished() || gate->arrivals().size() != n; });
  }
  ASSERT_TRUE(oldThread->waitUntilFinished(20));
  const size_t seen = gate->arrivals().size();
  gate->allow(3);
  ASSERT_TRUE(gate->waitForArrivals(seen + 3));
  const auto arrivals = gate->arrivals();
  for (size_t i = seen; i < arrivals.size(); ++i) EXPECT_NE(arrivals[i], oldId);
  EXPECT_FALSE(newThread->isFinished());
}

// The loop holds the capturer only for one step at a time: releasing it ends the loop.
TEST_F(BaseCaptureTest, TheLoopEndsWhenTheObjectGoesAway) {
  auto other = std::make_shared<PacedCapture>(gate, &*clock);
  other->init();
  other->Start();
  ASSERT_TRUE(gate->waitForArrivals(1));
  auto thread = other->threadForTesting();
  std::weak_ptr<PacedCapture> weak = other;
  other.reset();
  gate->allow();
  EXPECT_TRUE(thread->waitUntilFinished(20));
  EXPECT_TRUE(weak.expired());
}

}  // namespace
}  // namespace rc_capture
