#include "platform/foundation/NSThread.h"

#include <chrono>
#include <thread>

namespace foundation {

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
  // The thread owns what it needs: the block and the shared state, not this object.
  std::thread([block = std::move(block_), state = state_] {
    block();
    std::lock_guard lock(state->mutex);
    state->finished = true;
    state->done.notify_all();
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
