// Time for everything that waits or measures: host media time, the wall clock and thread
// sleeps all go through one replaceable Clock, so tests drive pacing, click windows and
// caps-lock holds without real time.
#pragma once

#include <cstdint>
#include <memory>

namespace foundation {

class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds on a monotonic clock (CACurrentMediaTime).
  virtual double mediaTime() = 0;
  // Seconds since 1970-01-01 UTC.
  virtual double wallTime() = 0;
  // Blocks the calling thread for `seconds` (non-positive: returns at once).
  virtual void sleep(double seconds) = 0;
};

// The clock in force; the system clock unless a test installed another.
Clock& CurrentClock();
// Installs `clock` (null: back to the system clock). Returns the previous override.
std::shared_ptr<Clock> SetClock(std::shared_ptr<Clock> clock);

}  // namespace foundation

// The platform names, routed through the current clock.
double CACurrentMediaTime();

namespace NSThreadSleep {
void sleepForTimeInterval(double seconds);
}

// Milliseconds since 1970-01-01 UTC: the wall clock in seconds times 1000, rounded to the
// nearest integer with halves away from zero.
int64_t WallClockMilliseconds();
