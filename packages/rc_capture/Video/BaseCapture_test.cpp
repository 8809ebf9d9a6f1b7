#include "packages/rc_capture/Video/BaseCapture.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <limits>
#include <mutex>
#include <set>
#include <thread>

#include "packages/rc_capture/Wrapper/fake_vpx.h"
#include "platform/foundation/testing/ManualClock.h"

namespace rc_capture {
namespace {

using foundation::testing::ManualClock;
using foundation::testing::ScopedManualClock;
using testing::g_fakeVpx;

// Holds each tick at its start until the test lets one through.
class TickGate {
 public:
  void allow(int n = 1) {
    std::lock_guard lock(mutex_);
    permits_ += n;
    cv_.notify_all();
  }
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }
  // Called by a tick; returns the number of ticks started so far, this one included.
  void pass(std::thread::id who) {
    std::unique_lock lock(mutex_);
    starts_.push_back(who);
    cv_.notify_all();
    cv_.wait(lock, [&] { return open_ || permits_ > 0; });
    if (!open_) --permits_;
  }
  bool waitForStarts(size_t n) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return starts_.size() >= n; });
  }
  std::vector<std::thread::id> starts() {
    std::lock_guard lock(mutex_);
    return starts_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int permits_ = 0;
  bool open_ = false;
  std::vector<std::thread::id> starts_;
};

// A capturer whose tick waits at the gate and then costs `tickCost` seconds of the manual clock.
class PacedCapture : public BaseCapture {
 public:
  PacedCapture(std::shared_ptr<TickGate> gate, ManualClock* clock) : gate_(gate), clock_(clock) {}
  void ThreadProc() override {
    gate_->pass(std::this_thread::get_id());
    clock_->advance(tickCost.load());
  }
  void SendFrame() override {
    std::lock_guard lock(mutex_);
    sends.push_back(std::this_thread::get_id());
  }
  void SetIFrame() override {
    ++keyRequests;
    BaseCapture::SetIFrame();
  }
  std::vector<std::thread::id> sendThreads() {
    std::lock_guard lock(mutex_);
    return sends;
  }

  std::atomic<double> tickCost{0};
  std::atomic<int> keyRequests{0};

 private:
  std::shared_ptr<TickGate> gate_;
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
  double lastSleep() {
    auto s = clock->sleeps();
    return s.empty() ? -1 : s.back();
  }

  ScopedManualClock clock;
  std::shared_ptr<TickGate> gate = std::make_shared<TickGate>();
  std::shared_ptr<PacedCapture> capture = std::make_shared<PacedCapture>(gate, &*clock);
};

// ---- rates

TEST_F(BaseCaptureTest, AFreshObjectRunsAt30WithTheCeilingAt30) {
  EXPECT_EQ(capture->GetFps(), 30);
  EXPECT_EQ(capture->IncrementFPS(), 30);
  EXPECT_DOUBLE_EQ(capture->timePerFpsForTesting(), 1.0 / 30);
  EXPECT_EQ(capture->decrementFPS(), 29);
  EXPECT_DOUBLE_EQ(capture->timePerFpsForTesting(), 1.0 / 29);
  EXPECT_EQ(capture->GetFps(), 30);
  EXPECT_EQ(capture->GetCodecQuality(), 0);
  EXPECT_FALSE(capture->isRun);
}

TEST_F(BaseCaptureTest, TheWorkingRateMovesBetweenOneAndTheCeiling) {
  capture->SetFps(10);
  EXPECT_EQ(capture->decrementFPS(), 9);
  EXPECT_EQ(capture->decrementFPS(), 8);
  EXPECT_EQ(capture->IncrementFPS(), 9);
  EXPECT_EQ(capture->IncrementFPS(), 10);
  EXPECT_EQ(capture->IncrementFPS(), 10);
  EXPECT_EQ(capture->GetFps(), 10);

  capture->SetFps(2);
  EXPECT_EQ(capture->decrementFPS(), 1);
  EXPECT_EQ(capture->decrementFPS(), 1);
  EXPECT_DOUBLE_EQ(capture->timePerFpsForTesting(), 1.0);
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

TEST_F(BaseCaptureTest, QualityIsStoredInTheEncoderClampedTo32Bits) {
  capture->SetCodecQuality(2);
  EXPECT_EQ(capture->GetCodecQuality(), 2);
  EXPECT_EQ(capture->codec->encProfile, 2);
  capture->SetCodecQuality(int64_t{1} << 40);
  EXPECT_EQ(capture->GetCodecQuality(), std::numeric_limits<int32_t>::max());
  capture->SetCodecQuality(-(int64_t{1} << 40));
  EXPECT_EQ(capture->GetCodecQuality(), std::numeric_limits<int32_t>::min());
}

// ---- pacing, with the manual clock: each row is one tick of the running loop

TEST_F(BaseCaptureTest, EachTickIsFollowedByASleepThatFillsThePeriodOrBy10Ms) {
  const struct {
    int64_t fps;
    double cost;
    double sleep;
  } rows[] = {
      {10, 0.03, 0.07},
      {10, 0.0, 0.1},
      {10, 0.1001, 0.01},
      {10, 0.25, 0.01},
      {30, 0.01, 1.0 / 30 - 0.01},
      {5, 0.05, 0.15},  // the new rate at the very next tick
      {1, 2.0, 0.01},
  };
  capture->Start();
  ASSERT_TRUE(gate->waitForStarts(1));
  size_t ticks = 1;
  for (const auto& row : rows) {
    capture->SetFps(row.fps);
    capture->tickCost = row.cost;
    gate->allow();
    ASSERT_TRUE(gate->waitForStarts(++ticks));
    EXPECT_NEAR(lastSleep(), row.sleep, 1e-9) << row.fps << " fps, tick " << row.cost;
  }
  EXPECT_EQ(clock->sleeps().size(), std::size(rows));
}

// ---- start and stop

TEST_F(BaseCaptureTest, StartTwiceMakesOneThreadAndSendsOneFrameAtOnce) {
  capture->Start();
  ASSERT_TRUE(gate->waitForStarts(1));
  auto thread = capture->threadForTesting();
  EXPECT_EQ(capture->keyRequests, 1);
  EXPECT_TRUE(capture->sendThreads().empty());

  capture->Start();
  EXPECT_EQ(capture->threadForTesting(), thread);
  EXPECT_EQ(capture->keyRequests, 2);
  EXPECT_EQ(g_fakeVpx.keyframes, 2);
  EXPECT_EQ(capture->sendThreads(), std::vector{std::this_thread::get_id()});

  gate->allow(3);
  ASSERT_TRUE(gate->waitForStarts(4));
  std::set<std::thread::id> loops;
  for (auto id : gate->starts()) loops.insert(id);
  EXPECT_EQ(loops.size(), 1u);
}

// The loop used to check only the running flag: a Start() that came while the old thread was
// still inside its last tick set the flag again, and the old loop went on beside the new one.
TEST_F(BaseCaptureTest, StopThenStartWhileTheOldTickRunsLeavesExactlyOneLoop) {
  capture->Start();
  ASSERT_TRUE(gate->waitForStarts(1));
  auto oldThread = capture->threadForTesting();
  const auto oldId = gate->starts()[0];

  capture->Stop();
  EXPECT_EQ(capture->threadForTesting(), nullptr);
  capture->Start();
  ASSERT_TRUE(gate->waitForStarts(2));  // the new loop's first tick
  auto newThread = capture->threadForTesting();
  ASSERT_NE(newThread, oldThread);

  // Let ticks through one by one until the old loop has ended; a loop that carried on would keep
  // taking permits and never finish.
  for (int i = 0; i < 20 && !oldThread->isFinished(); ++i) {
    const size_t before = gate->starts().size();
    gate->allow();
    // Either the old loop takes the permit and ends, or the new one takes it and starts a tick.
    for (int w = 0; w < 20000 && !oldThread->isFinished() && gate->starts().size() == before; ++w) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  ASSERT_TRUE(oldThread->waitUntilFinished(20));
  const size_t seen = gate->starts().size();
  gate->allow(3);
  ASSERT_TRUE(gate->waitForStarts(seen + 3));
  auto starts = gate->starts();
  for (size_t i = seen; i < starts.size(); ++i) EXPECT_NE(starts[i], oldId);
  EXPECT_FALSE(newThread->isFinished());
}

TEST_F(BaseCaptureTest, StopEndsTheLoopAtItsNextCheckAndStopWhenStoppedChangesNothing) {
  capture->Stop();
  EXPECT_FALSE(capture->isRun);
  capture->Start();
  ASSERT_TRUE(gate->waitForStarts(1));
  auto thread = capture->threadForTesting();
  capture->Stop();
  EXPECT_FALSE(capture->isRun);
  gate->allow();
  EXPECT_TRUE(thread->waitUntilFinished(20));
  EXPECT_EQ(gate->starts().size(), 1u);

  // A stopped object starts again with a new thread.
  capture->Start();
  ASSERT_TRUE(gate->waitForStarts(2));
  EXPECT_NE(capture->threadForTesting(), thread);
}

TEST_F(BaseCaptureTest, DisposeWhileRunningStopsAndDisposesOfTheEncoder) {
  capture->Start();
  ASSERT_TRUE(gate->waitForStarts(1));
  auto thread = capture->threadForTesting();
  capture->Dispose(nullptr);
  EXPECT_FALSE(capture->isRun);
  EXPECT_EQ(g_pEncoder, nullptr);
  EXPECT_TRUE(capture->codec->isDisposed());
  EXPECT_TRUE(capture->isDisposed());
  gate->allow();
  EXPECT_TRUE(thread->waitUntilFinished(20));
}

TEST_F(BaseCaptureTest, TheLoopEndsWhenTheObjectGoesAway) {
  auto other = std::make_shared<PacedCapture>(gate, &*clock);
  other->init();
  other->Start();
  ASSERT_TRUE(gate->waitForStarts(1));
  auto thread = other->threadForTesting();
  std::weak_ptr<PacedCapture> weak = other;
  other.reset();
  gate->allow();
  EXPECT_TRUE(thread->waitUntilFinished(20));
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(gate->starts().size(), 1u);
}

}  // namespace
}  // namespace rc_capture
