// VideoEncoder: one desktop image in, one compressed video frame out, through the exported Vpx*
// interface (Wrapper/vpx_wrapper.h) and its one shared rc_vpx encoder.
//
// The first VideoEncoder made while there is no shared encoder creates it; the first one disposed
// destroys it, after which every VideoEncoder's encode() gives nothing.
//
// Threading: encode() and Dispose() run under the owning capture object's lock (never at the same
// time); SetIframe() and encProfile may be used from the command thread at any moment.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "packages/rc_core/BaseClass.h"
#include "platform/desktop/geometry.h"

namespace rc_capture {

class VideoEncoder : public rc_core::BaseClass {
 public:
  // Sets the fields to their empty state and creates the shared encoder (selector 2, VP9).
  void init() override;

  // The next frame the shared encoder produces is a key frame.
  void SetIframe();

  // The encoded frame of `cgImg`, or nothing when the encoder produced none (no encoder, a
  // failure, an image too large for the 32-bit sizes of the interface, or this VideoEncoder has
  // been disposed). A numbered image's change hint (CGImage::sequence, changes) goes to the
  // encoder first (VpxHintChangedRects), so that it converts and compares only what changed; the
  // same numbered image encoded again counts as unchanged.
  std::optional<std::vector<uint8_t>> encode(const desktop::CGImageRef& cgImg);

  // Frees the output buffer and destroys the shared encoder. `caller` is not used.
  void Dispose(const void* caller) override;

  // The quality handed to every encode call; 0 until set. Values outside the signed 32-bit range
  // are clamped to it when handed over.
  std::atomic<int64_t> encProfile{0};

  // For tests: the output buffer and the size it was made for.
  const uint8_t* encBuffForTesting() const { return encBuff.get(); }
  int64_t encWidthForTesting() const { return encWidth; }
  int64_t encHeightForTesting() const { return encHeight; }

 private:
  // Holds exactly encWidth × encHeight × 4 bytes when present.
  std::unique_ptr<uint8_t[]> encBuff;
  int64_t encWidth = 0;
  int64_t encHeight = 0;
  // The number of the image last handed to VpxEncode (0: none or not numbered), and the
  // rectangles of the hint, reused.
  int64_t lastSequence = 0;
  std::vector<int32_t> hintRects;

  void hintChanges(const desktop::CGImage& image);
};

}  // namespace rc_capture
