#include "platform/flutter/TaskLoop.h"

namespace flutter {

namespace {
thread_local const TaskLoop* t_runningLoop = nullptr;
}

bool IsPlatformThread() {
  return t_runningLoop != nullptr;
}

void TaskLoop::post(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    if (quitStatus_) return;
    tasks_.push_back(std::move(task));
  }
  wake_.notify_one();
}

int TaskLoop::run() {
  const TaskLoop* outer = t_runningLoop;
  t_runningLoop = this;
  int status = 0;
  std::deque<std::function<void()>> dropped;
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return quitStatus_ || !tasks_.empty(); });
      if (quitStatus_) {
        status = *quitStatus_;
        dropped.swap(tasks_);  // destroyed outside the lock
        break;
      }
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
  }
  t_runningLoop = outer;
  return status;
}

void TaskLoop::quit(int status) {
  {
    std::lock_guard lock(mutex_);
    if (!quitStatus_) quitStatus_ = status;
  }
  wake_.notify_all();
}

bool TaskLoop::runsTasksOnCurrentThread() const {
  return t_runningLoop == this;
}

}  // namespace flutter
