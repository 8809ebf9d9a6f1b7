// The reply callback handed to a method-call handler. It answers at most once: a second call is
// ignored, so a handler can never send two replies for one call.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/flutter/Value.h"

namespace flutter {

class FlutterResult {
 public:
  // `sink` receives the encoded reply envelope (or an empty buffer for "not implemented").
  explicit FlutterResult(std::function<void(ByteBuffer)> sink);
  FlutterResult() = default;

  // Success with a value; the absent value is null.
  void operator()(const Value& value = Value()) const;
  void operator()(const std::optional<int64_t>& value) const {
    value ? (*this)(Value(*value)) : (*this)(Value());
  }
  void Error(const std::string& code, const std::optional<std::string>& message = std::nullopt,
             const Value& details = Value()) const;
  void NotImplemented() const;

  bool replied() const { return state_ && state_->replied.load(); }

 private:
  struct State {
    std::function<void(ByteBuffer)> sink;
    std::atomic<bool> replied{false};
  };
  void Send(ByteBuffer bytes) const;
  std::shared_ptr<State> state_;
};

}  // namespace flutter
