// A clock that moves only when told. sleep() records the request, advances the clock by it and
// calls the optional hook (which may block to hold a thread between ticks).
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/foundation/Clock.h"

namespace foundation::testing {

class ManualClock : public Clock {
 public:
  double mediaTime() override {
    std::lock_guard lock(mutex_);
    return media_;
  }
  double wallTime() override {
    std::lock_guard lock(mutex_);
    return wall_;
  }
  void sleep(double seconds) override {
    std::function<void(double)> hook;
    {
      std::lock_guard lock(mutex_);
      sleeps_.push_back(seconds);
      if (seconds > 0) {
        media_ += seconds;
        wall_ += seconds;
      }
      hook = onSleep_;
    }
    if (hook) hook(seconds);
  }

  void advance(double seconds) {
    std::lock_guard lock(mutex_);
    media_ += seconds;
    wall_ += seconds;
  }
  void setWallTime(double seconds) {
    std::lock_guard lock(mutex_);
    wall_ = seconds;
  }
  // Sets the wall clock to an exact number of milliseconds since 1970.
  void setWallMilliseconds(int64_t ms) { setWallTime(static_cast<double>(ms) / 1000.0); }
  std::vector<double> sleeps() const {
    std::lock_guard lock(mutex_);
    return sleeps_;
  }
  void setOnSleep(std::function<void(double)> hook) {
    std::lock_guard lock(mutex_);
    onSleep_ = std::move(hook);
  }

 private:
  mutable std::mutex mutex_;
  double media_ = 1000.0;
  double wall_ = 1.7e9;
  std::vector<double> sleeps_;
  std::function<void(double)> onSleep_;
};

// Installs a ManualClock for the lifetime of the object.
class ScopedManualClock {
 public:
  ScopedManualClock() : clock_(std::make_shared<ManualClock>()) { SetClock(clock_); }
  ~ScopedManualClock() { SetClock(nullptr); }
  ManualClock& operator*() { return *clock_; }
  ManualClock* operator->() { return clock_.get(); }

 private:
  std::shared_ptr<ManualClock> clock_;
};

}  // namespace foundation::testing
