#include "platform/foundation/DispatchQueue.h"

#include <chrono>

namespace foundation {

DispatchQueue::DispatchQueue(int threads) {
  for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { worker(); });
}

DispatchQueue::~DispatchQueue() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (auto& t : threads_) t.join();
}

void DispatchQueue::async(std::function<void()> work) {
  {
    std::lock_guard lock(mutex_);
    work_.push_back(std::move(work));
  }
  wake_.notify_one();
}

void DispatchQueue::worker() {
  for (;;) {
    std::function<void()> item;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !work_.empty(); });
      if (work_.empty()) return;
      item = std::move(work_.front());
      work_.pop_front();
    }
    item();
  }
}

DispatchQueue& DispatchQueue::globalBackground() {
  // Leaked on purpose: work items may still be running while static objects are destroyed at
  // exit, and joining them then could wait on a peer that is already gone.
  static DispatchQueue* queue = new DispatchQueue(4);
  return *queue;
}

void DispatchSemaphore::wait() {
  std::unique_lock lock(mutex_);
  cv_.wait(lock, [this] { return count_ > 0; });
  --count_;
}

bool DispatchSemaphore::waitFor(double seconds) {
  std::unique_lock lock(mutex_);
  if (!cv_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return count_ > 0; })) {
    return false;
  }
  --count_;
  return true;
}

void DispatchSemaphore::signal() {
  {
    std::lock_guard lock(mutex_);
    ++count_;
  }
  cv_.notify_one();
}

int64_t DispatchSemaphore::count() const {
  std::lock_guard lock(mutex_);
  return count_;
}

}  // namespace foundation
