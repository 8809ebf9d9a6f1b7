#include "viewer/flow.h"

namespace rcweb {

bool FrameFlow::offer(bool keyFrame, double captureMs, size_t bytes, uint32_t* number) {
  if (state_ == State::kBehind) return false;
  if (state_ == State::kAwaitKey) {
    if (!keyFrame) return false;
    state_ = State::kFlowing;
  }
  // A frame always goes to a viewer that has nothing outstanding, however big it is.
  if (!sent_.empty() &&
      (sent_.size() + 1 > limits_.frames || captureMs - sent_.front().captureMs > limits_.ms ||
       bytes_ + bytes > limits_.bytes)) {
    state_ = State::kBehind;
    return false;
  }
  sent_.push_back({next_, captureMs, bytes});
  bytes_ += bytes;
  *number = next_++;
  return true;
}

bool FrameFlow::ack(uint32_t frame) {
  while (!sent_.empty() && sent_.front().number <= frame) {
    bytes_ -= sent_.front().bytes;
    sent_.pop_front();
  }
  if (state_ == State::kBehind && sent_.empty()) {
    state_ = State::kAwaitKey;
    return true;
  }
  return false;
}

}  // namespace rcweb
