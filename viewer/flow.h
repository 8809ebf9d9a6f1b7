// Per-viewer video flow: which frames a viewer gets, from the frames it has acknowledged.
//
// A viewer starts waiting for a key frame. While flowing it gets every frame as long as what it
// has not acknowledged stays within the limits (frames, age by capture time, bytes). A frame that
// would break them marks the viewer behind: it gets nothing more until its acknowledgements reach
// the last frame sent; then it waits for a key frame again, and the caller asks the host for one.
//
// A key frame takes a page several times longer to decode than the frames after it (hundreds of
// milliseconds for a large desktop on a slow machine). So while the key frame a flow started at
// is unacknowledged, the looser key limits apply instead of the frame and age limits, and the
// frames sent meanwhile count neither by number nor by age once it is acknowledged: they are
// judged afresh from then on. Without that, a viewer whose key frame took longer than the age
// limit went behind at once, asked for another key frame, and so on for ever.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

namespace rcweb {

class FrameFlow {
 public:
  struct Limits {
    size_t frames = 4;
    double ms = 250;
    size_t bytes = 8u << 20;
    size_t keyFrames = 60;
    double keyMs = 2000;
  };
  enum class State { kAwaitKey, kFlowing, kBehind };

  FrameFlow() = default;
  explicit FrameFlow(Limits limits) : limits_(limits) {}

  // Offers a frame; true when it is to be sent, with its number (counting from 1) in *number.
  bool offer(bool keyFrame, double captureMs, size_t bytes, uint32_t* number);
  // The page has decoded everything up to `frame`. True when the viewer has just caught up from
  // being behind: the caller should ask the host for a key frame.
  bool ack(uint32_t frame);
  // The page wants a key frame (its decoder failed or was reset): skip to the next one.
  void restart() {
    state_ = State::kAwaitKey;
    pendingKey_ = 0;
  }

  State state() const { return state_; }
  size_t outstandingFrames() const { return sent_.size(); }
  size_t outstandingBytes() const { return bytes_; }
  uint32_t lastSent() const { return next_ - 1; }

 private:
  struct Sent {
    uint32_t number;
    double captureMs;
    size_t bytes;
  };
  Limits limits_;
  State state_ = State::kAwaitKey;
  // The key frame the flow started at, while unacknowledged (0: none).
  uint32_t pendingKey_ = 0;
  // Frames up to this number were sent while that key frame was decoding.
  uint32_t backlogThrough_ = 0;
  double backlogSince_ = 0;
  double lastOfferMs_ = 0;
  std::deque<Sent> sent_;
  size_t bytes_ = 0;
  uint32_t next_ = 1;
};

}  // namespace rcweb
