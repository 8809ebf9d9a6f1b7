// synced(obj, fn): runs fn once, on the calling thread, while holding a re-entrant lock that
// belongs to obj. No two threads are inside synced on the same object at once; the thread that
// holds the lock may enter again (Start() re-enters through SendFrame()). Works for any object:
// the lock is found by the object's address, so classes need no lock member of their own.
// Returns whatever fn returns.
#pragma once

#include <type_traits>

namespace rc_core {

class SyncGuard {
 public:
  explicit SyncGuard(const void* object);
  ~SyncGuard();
  SyncGuard(const SyncGuard&) = delete;
  SyncGuard& operator=(const SyncGuard&) = delete;

 private:
  const void* object_;
  void* entry_;
};

template <typename F>
auto synced(const void* object, F&& fn) -> std::invoke_result_t<F> {
  SyncGuard guard(object);
  return fn();
}

}  // namespace rc_core
