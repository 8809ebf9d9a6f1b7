// The global background queue and counting semaphores.
//
// The queue is concurrent: a small pool of worker threads shared by the whole process, standing
// in for the system's background-class global queue. Work items run in no guaranteed order
// relative to each other; callers that need one-at-a-time delivery serialise with a semaphore.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace foundation {

class DispatchQueue {
 public:
  explicit DispatchQueue(int threads);
  ~DispatchQueue();
  DispatchQueue(const DispatchQueue&) = delete;
  DispatchQueue& operator=(const DispatchQueue&) = delete;

  // Any thread; returns at once.
  void async(std::function<void()> work);

  // The process-wide background queue (never destroyed).
  static DispatchQueue& globalBackground();

 private:
  void worker();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> work_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

class DispatchSemaphore {
 public:
  explicit DispatchSemaphore(int64_t count) : count_(count) {}

  // Blocks until the count is positive, then takes one.
  void wait();
  // Waits at most `seconds`; false when the time ran out.
  bool waitFor(double seconds);
  void signal();
  int64_t count() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  int64_t count_;
};

}  // namespace foundation
