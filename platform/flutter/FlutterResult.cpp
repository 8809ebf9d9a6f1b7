#include "platform/flutter/FlutterResult.h"

#include "platform/flutter/standard_codec.h"

namespace flutter {

FlutterResult::FlutterResult(std::function<void(ByteBuffer)> sink)
    : state_(std::make_shared<State>()) {
  state_->sink = std::move(sink);
}

void FlutterResult::Send(ByteBuffer bytes) const {
  if (!state_ || state_->replied.exchange(true)) return;
  if (state_->sink) state_->sink(std::move(bytes));
}

void FlutterResult::operator()(const Value& value) const {
  if (replied()) return;
  Send(EncodeSuccessEnvelope(value));
}

void FlutterResult::Error(const std::string& code, const std::optional<std::string>& message,
                          const Value& details) const {
  if (replied()) return;
  Send(EncodeErrorEnvelope(code, message, details));
}

void FlutterResult::NotImplemented() const {
  Send({});
}

}  // namespace flutter
