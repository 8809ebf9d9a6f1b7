#include "viewer/flow.h"

namespace rcweb {

bool FrameFlow::offer(bool keyFrame, double captureMs, size_t bytes, uint32_t* number) {
  lastOfferMs_ = captureMs;
  if (state_ == State::kBehind) return false;
  if (state_ == State::kAwaitKey) {
    if (!keyFrame) return false;
    state_ = State::kFlowing;
    pendingKey_ = next_;
  }
  // A frame always goes to a viewer that has nothing outstanding, however big it is.
  if (!sent_.empty()) {
    bool over = bytes_ + bytes > limits_.bytes;
    if (pendingKey_ != 0) {
      over = over || sent_.size() + 1 > limits_.keyFrames ||
             captureMs - sent_.front().captureMs > limits_.keyMs;
    } else {
      // Outstanding numbers run from the front's to the last sent; the backlog does not count.
      const uint32_t from =
          sent_.front().number > backlogThrough_ ? sent_.front().number : backlogThrough_ + 1;
      const size_t counted = next_ - from;
      const double oldest =
          sent_.front().number > backlogThrough_ ? sent_.front().captureMs : backlogSince_;
      over = over || counted + 1 > limits_.frames || captureMs - oldest > limits_.ms;
    }
    if (over) {
      state_ = State::kBehind;
      pendingKey_ = 0;
      return false;
    }
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
  if (pendingKey_ != 0 && frame >= pendingKey_) {
    pendingKey_ = 0;
    backlogThrough_ = next_ - 1;
    backlogSince_ = lastOfferMs_;
  }
  if (state_ == State::kBehind && sent_.empty()) {
    state_ = State::kAwaitKey;
    return true;
  }
  return false;
}

}  // namespace rcweb
