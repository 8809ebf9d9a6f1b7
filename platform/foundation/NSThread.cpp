#include "platform/foundation/NSThread.h"

#include <chrono>
#include <thread>

namespace foundation {
namespace {
// Threads started and not yet finished, process-wide. Never destroyed: detached threads may
// still finish while static objects are destroyed at exit.
struct Running {
  std::mutex mutex;
  std::condition_variable none;
  int count = 0;
};
Running& RunningThreads() {
  static auto* running = new Running();
  return *running;
}
}  // namespace

std::shared_ptr<NSThread> NSThread::initWithBlock(std::function<void()> block) {
  auto thread = std::make_shared<NSThread>();
  thread->block_ = std::move(block);
  return thread;
}

void NSThread::start() {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->started) return;
    state_->started = true;
  }
  {
    std::lock_guard lock(RunningThreads().mutex);
    ++RunningThreads().count;
  }
  // The thread owns what it needs: the block and the shared state, not this object.
  std::thread([block = std::move(block_), state = state_] {
    block();
    {
      std::lock_guard lock(state->mutex);
      state->finished = true;
      state->done.notify_all();
    }
    auto& running = RunningThreads();
    std::lock_guard lock(running.mutex);
    if (--running.count == 0) running.none.notify_all();
  }).detach();
}

bool NSThread::isFinished() const {
  std::lock_guard lock(state_->mutex);
  return state_->finished;
}

bool NSThread::waitUntilFinished(double seconds) const {
  std::unique_lock lock(state_->mutex);
  return state_->done.wait_for(lock, std::chrono::duration<double>(seconds),
                               [this] { return state_->finished; });
}

}  // namespace foundation

namespace foundation {

bool NSThread::waitUntilAllFinished(double seconds) {
  auto& running = RunningThreads();
  std::unique_lock lock(running.mutex);
  return running.none.wait_for(lock, std::chrono::duration<double>(seconds),
                               [&] { return running.count == 0; });
}

}  // namespace foundation
