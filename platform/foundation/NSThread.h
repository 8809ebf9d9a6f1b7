// A platform thread object: made with a block, started once, never joined by its owner.
//
// Dropping the object does not stop or wait for the thread (the capture loop ends on its own
// at its next check). Tests that must know the thread is gone use waitUntilFinished().
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace foundation {

class NSThread {
 public:
  static std::shared_ptr<NSThread> initWithBlock(std::function<void()> block);

  void start();
  bool isFinished() const;
  // Waits at most `seconds` for the block to return.
  bool waitUntilFinished(double seconds) const;

  // Waits at most `seconds` until no started thread is running any more (a program about to
  // exit lets its loops see that their objects are gone). True when none is left.
  static bool waitUntilAllFinished(double seconds);

 private:
  struct State {
    mutable std::mutex mutex;
    mutable std::condition_variable done;
    bool started = false;
    bool finished = false;
  };
  std::function<void()> block_;
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace foundation
