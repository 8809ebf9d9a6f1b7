#include "platform/foundation/Clock.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <thread>
#include <vector>

namespace foundation {
namespace {

class SystemClock : public Clock {
 public:
  double mediaTime() override {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
  }
  double wallTime() override {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
  }
  void sleep(double seconds) override {
    if (seconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  }
};

// Never destroyed: a thread still pacing while the process exits (a capture loop that has not
// reached its next check yet) may call it after static destruction has begun.
Clock& SystemClockInstance() {
  static auto* clock = new SystemClock;
  return *clock;
}

std::mutex g_mutex;
std::shared_ptr<Clock> g_override;
// Every clock ever installed stays alive for the process: a thread that loaded the pointer just
// before a test put the system clock back may still be inside one of its calls.
std::vector<std::shared_ptr<Clock>> g_retired;
// Read on every call without the mutex; null: the system clock.
std::atomic<Clock*> g_current{nullptr};

}  // namespace

Clock& CurrentClock() {
  Clock* current = g_current.load(std::memory_order_acquire);
  return current ? *current : SystemClockInstance();
}

std::shared_ptr<Clock> SetClock(std::shared_ptr<Clock> clock) {
  std::lock_guard lock(g_mutex);
  auto previous = std::move(g_override);
  if (previous) g_retired.push_back(previous);
  g_override = std::move(clock);
  g_current.store(g_override.get(), std::memory_order_release);
  return previous;
}

}  // namespace foundation

double CACurrentMediaTime() {
  return foundation::CurrentClock().mediaTime();
}

void NSThreadSleep::sleepForTimeInterval(double seconds) {
  foundation::CurrentClock().sleep(seconds);
}

int64_t WallClockMilliseconds() {
  return static_cast<int64_t>(std::llround(foundation::CurrentClock().wallTime() * 1000.0));
}
