#include "packages/rc_capture/Codec/VideoEncoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "packages/rc_capture/Wrapper/vpx_wrapper.h"
#include "platform/foundation/Numeric.h"

namespace rc_capture {
namespace {

constexpr int32_t kEncoderSelector = 2;  // VP9
constexpr int32_t kSourceFlag = 1;       // BGRA pixels

}  // namespace

void VideoEncoder::init() {
  encBuff.reset();
  encProfile.store(0, std::memory_order_relaxed);
  encWidth = 0;
  encHeight = 0;
  lastSequence = 0;
  hintRects.clear();
  BaseClass::init();
  VpxCreate_Encoder(kEncoderSelector);
}

void VideoEncoder::hintChanges(const desktop::CGImage& image) {
  if (image.sequence <= 0) return;  // not numbered: the encoder looks at everything
  hintRects.clear();
  int64_t since = 0;  // 0: everything counts as changed; the encoder learns the number only
  if (image.sequence == lastSequence) {
    since = image.sequence;  // the same image again (a re-send): nothing changed
  } else if (image.changes && image.changes->sinceSequence > 0) {
    since = image.changes->sinceSequence;
    for (const desktop::CGRect& r : image.changes->rects) {
      // Whole pixels covering the rectangle, clipped to the image.
      const double x0 = std::floor(r.origin.x), y0 = std::floor(r.origin.y);
      const double x1 = std::ceil(r.origin.x + r.size.width);
      const double y1 = std::ceil(r.origin.y + r.size.height);
      if (!std::isfinite(x0) || !std::isfinite(y0) || !std::isfinite(x1) || !std::isfinite(y1)) {
        since = 0;  // a hint that cannot be read is no hint
        hintRects.clear();
        break;
      }
      const auto cx0 = static_cast<int32_t>(std::clamp<double>(x0, 0, double(image.width)));
      const auto cy0 = static_cast<int32_t>(std::clamp<double>(y0, 0, double(image.height)));
      const auto cx1 = static_cast<int32_t>(std::clamp<double>(x1, 0, double(image.width)));
      const auto cy1 = static_cast<int32_t>(std::clamp<double>(y1, 0, double(image.height)));
      if (cx1 > cx0 && cy1 > cy0)
        hintRects.insert(hintRects.end(), {cx0, cy0, cx1 - cx0, cy1 - cy0});
    }
  }
  VpxHintChangedRects(image.sequence, since, hintRects.data(),
                      static_cast<int32_t>(hintRects.size() / 4));
}

void VideoEncoder::SetIframe() {
  VpxForceKeyframe();
}

std::optional<std::vector<uint8_t>> VideoEncoder::encode(const desktop::CGImageRef& cgImg) {
  const int64_t width = desktop::CGImageGetWidth(cgImg);
  const int64_t height = desktop::CGImageGetHeight(cgImg);
  // The interface carries sizes as 32-bit values and the buffer holds width × height × 4 bytes:
  // refuse what it cannot describe rather than let a size wrap.
  // A disposed encoder gives nothing, also once a later VideoEncoder has made a new shared
  // encoder: a capture thread finishing its last tick must not encode with another capturer's
  // encoder, which that capturer's own lock does not guard.
  if (isDisposed()) return std::nullopt;
  if (!cgImg || cgImg->data == nullptr || width <= 0 || height <= 0 ||
      !std::in_range<int32_t>(cgImg->bytesPerRow) || cgImg->bytesPerRow < width * 4 ||
      !std::in_range<int32_t>(width) || !std::in_range<int32_t>(height) ||
      width > std::numeric_limits<int32_t>::max() / 4 / height) {
    return std::nullopt;
  }
  if (!encBuff || encWidth != width || encHeight != height) {
    encBuff.reset();
    encWidth = width;
    encHeight = height;
    encBuff = std::make_unique<uint8_t[]>(static_cast<size_t>(width * height * 4));
  }
  const int32_t quality = foundation::Clamp<int32_t>(encProfile.load(std::memory_order_relaxed));
  hintChanges(*cgImg);
  lastSequence = cgImg->sequence;
  const int32_t n = VpxEncode(cgImg->data, encBuff.get(), static_cast<int32_t>(width),
                              static_cast<int32_t>(height), quality,
                              static_cast<int32_t>(cgImg->bytesPerRow), kSourceFlag);
  if (n < 1) return std::nullopt;
  // A result larger than the buffer would be an encoder fault; never copy past the buffer.
  const size_t size = std::min<size_t>(static_cast<size_t>(n), width * height * 4);
  return std::vector<uint8_t>(encBuff.get(), encBuff.get() + size);
}

void VideoEncoder::Dispose(const void*) {
  encBuff.reset();
  VpxDispose_Encoder();
  BaseClass::Dispose(this);
}

}  // namespace rc_capture
