#include "packages/rc_capture/Video/CGCapture.h"

#include <cstdint>

#include "packages/rc_capture/Wrapper/vpx_wrapper.h"
#include "packages/rc_core/pngData.h"
#include "packages/rc_core/synced.h"
#include "platform/desktop/AppKit.h"
#include "platform/desktop/CoreGraphics.h"
#include "platform/foundation/FrameTrace.h"
#include "platform/foundation/Numeric.h"

namespace rc_capture {
void CGCapture::init() {
  lastImage.reset();
  BaseCapture::init();
}

desktop::CGImageRef CGCapture::makeCGDisplayImage() {
  return rc_core::synced(this, [] {
    return desktop::CGWindowListCreateImage(
        desktop::CGRectInfinite, desktop::kCGWindowListOptionAll, desktop::kCGNullWindowID,
        desktop::kCGWindowImageNominalResolution);
  });
}

std::optional<BaseCapture::CursorFrame> CGCapture::makeMouseCursorPacket() {
  auto cursor = desktop::NSCursor::currentSystemCursor();
  if (!cursor || !cursor->image) return std::nullopt;
  const desktop::NSImage& image = *cursor->image;
  // Whole points, truncated toward zero, as the record and the PNG's size.
  const int64_t width = foundation::TruncateSaturating<int64_t>(image.size.width);
  const int64_t height = foundation::TruncateSaturating<int64_t>(image.size.height);
  const int64_t x = foundation::TruncateSaturating<int64_t>(cursor->hotSpot.x);
  const int64_t y = foundation::TruncateSaturating<int64_t>(cursor->hotSpot.y);
  auto png = rc_core::pngData(image, {static_cast<double>(width), static_cast<double>(height)},
                              rc_core::NSImageInterpolation::kHigh);
  if (!png) return std::nullopt;
  return CursorFrame{x, y, width, height, std::move(*png)};
}

void CGCapture::ThreadProc() {
  using foundation::FrameTrace;
  rc_core::synced(this, [&] {
    if (FrameTrace::enabled()) FrameTrace::mark(FrameTrace::kGrabStart);
    lastImage = makeCGDisplayImage();
    if (FrameTrace::enabled()) FrameTrace::mark(FrameTrace::kGrabEnd);
  });
  SendFrame();
}

void CGCapture::SendFrame() {
  using foundation::FrameTrace;
  rc_core::synced(this, [&] {
    if (!lastImage) return;
    auto cursor = makeMouseCursorPacket();
    if (FrameTrace::enabled()) {
      auto data = tracedEncode();
      if (data && evCaptureFrame) evCaptureFrame(std::move(*data), std::move(cursor));
      return;
    }
    auto data = codec->encode(lastImage);
    if (data && evCaptureFrame) evCaptureFrame(std::move(*data), std::move(cursor));
  });
}

std::optional<std::vector<uint8_t>> CGCapture::tracedEncode() {
  using foundation::FrameTrace;
  const int64_t start = FrameTrace::now();
  FrameTrace::markAt(FrameTrace::kCursorEnd, start);
  auto data = codec->encode(lastImage);
  FrameTrace::mark(FrameTrace::kEncodeEnd);
  if (int64_t conversion = 0; VpxLastConversionTime(&conversion)) {
    FrameTrace::markAt(FrameTrace::kConvertEnd, start + conversion);
  }
  if (data) {
    FrameTrace::produced(data->size(), lastImage->data, lastImage->width, lastImage->height,
                         lastImage->bytesPerRow);
  }
  return data;
}

void CGCapture::Dispose(const void* caller) {
  rc_core::synced(this, [&] { lastImage.reset(); });
  BaseCapture::Dispose(caller);
}

desktop::CGImageRef CGCapture::lastImageForTesting() {
  return rc_core::synced(this, [&] { return lastImage; });
}

}  // namespace rc_capture
