#include "packages/rc_capture/Codec/VideoEncoder.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "packages/rc_capture/Wrapper/vpx_wrapper.h"

namespace rc_capture {
namespace {

constexpr int32_t kEncoderSelector = 2;  // VP9
constexpr int32_t kSourceFlag = 1;       // BGRA pixels

bool FitsInt32(int64_t v) {
  return v >= 0 && v <= std::numeric_limits<int32_t>::max();
}

}  // namespace

int32_t ClampToInt32(int64_t value) {
  return static_cast<int32_t>(std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

void VideoEncoder::init() {
  encBuff.reset();
  encProfile.store(0, std::memory_order_relaxed);
  encWidth = 0;
  encHeight = 0;
  BaseClass::init();
  VpxCreate_Encoder(kEncoderSelector);
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
      !FitsInt32(cgImg->bytesPerRow) || cgImg->bytesPerRow < width * 4 || !FitsInt32(width) ||
      !FitsInt32(height) || width > std::numeric_limits<int32_t>::max() / 4 / height) {
    return std::nullopt;
  }
  if (!encBuff || encWidth != width || encHeight != height) {
    encBuff.reset();
    encWidth = width;
    encHeight = height;
    encBuff = std::make_unique<uint8_t[]>(static_cast<size_t>(width * height * 4));
  }
  const int32_t quality = ClampToInt32(encProfile.load(std::memory_order_relaxed));
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
