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

SystemClock g_system;
std::mutex g_mutex;
std::shared_ptr<Clock> g_override;
// Every clock ever installed stays alive for the process: a thread that loaded the pointer just
// before a test put the system clock back may still be inside one of its calls.
std::vector<std::shared_ptr<Clock>> g_retired;
// Read on every call without the mutex.
std::atomic<Clock*> g_current{&g_system};

}  // namespace

Clock& CurrentClock() {
  return *g_current.load(std::memory_order_acquire);
}

std::shared_ptr<Clock> SetClock(std::shared_ptr<Clock> clock) {
  std::lock_guard lock(g_mutex);
  auto previous = std::move(g_override);
  if (previous) g_retired.push_back(previous);
  g_override = std::move(clock);
  g_current.store(g_override ? g_override.get() : &g_system, std::memory_order_release);
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
