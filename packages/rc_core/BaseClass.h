// The core base classes and their dispose protocol.
//
// init() is the designated initialiser: a subclass sets its own fields, calls its base's
// init(), then finishes its set-up. Dispose(caller) releases what an object owns; each override
// releases its own things and calls its base's Dispose last, with the object itself as caller.
// A disposed object stays valid: it simply owns nothing any more.
//
// Objects are held by std::shared_ptr (strong references) and std::weak_ptr (weak ones).
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace rc_core {

class BaseClass : public std::enable_shared_from_this<BaseClass> {
 public:
  BaseClass() = default;
  virtual ~BaseClass() = default;
  BaseClass(const BaseClass&) = delete;
  BaseClass& operator=(const BaseClass&) = delete;

  virtual void init();
  // `caller` is the object that asks for the disposal; the base implementation ignores it.
  virtual void Dispose(const void* caller);

  bool isDisposed() const { return disposed_.load(std::memory_order_relaxed); }
  // The dynamic class name, readable (e.g. "CGCapture").
  std::string selfName() const;
  // The names of the class chain, most derived first, as far as RTTI tells them.
  std::vector<std::string> mirrors() const;

 private:
  std::atomic<bool> disposed_{false};
};

// The same protocol on the platform's root object class.
class BaseNSObject : public BaseClass {};

}  // namespace rc_core
