// The platform thread: a FIFO task loop. Tasks posted from any thread run one at a time, in
// order, on the thread that called run().
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>

namespace flutter {

class TaskLoop {
 public:
  // Any thread. Tasks posted after quit() are dropped.
  void post(std::function<void()> task);

  // Runs tasks on the calling thread until quit(); returns the status given to quit().
  int run();

  // Any thread: the loop finishes the task it is in and returns `status` from run().
  void quit(int status);

  // True on the thread inside run().
  bool runsTasksOnCurrentThread() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  std::optional<int> quitStatus_;
};

// True on any thread that is currently running a TaskLoop (the platform thread of its engine).
bool IsPlatformThread();

}  // namespace flutter
