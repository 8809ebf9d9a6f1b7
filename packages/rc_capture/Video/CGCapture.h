// CGCapture: the display capturer. Each tick grabs the whole desktop at nominal resolution (one
// pixel per point), makes the cursor record, encodes the image and hands both to evCaptureFrame.
//
// lastImage is read and written only under the capture object's lock, so that Start() can re-send
// the most recent image from the command thread while the capture thread grabs the next one.
#pragma once

#include <optional>

#include "packages/rc_capture/Video/BaseCapture.h"
#include "platform/desktop/geometry.h"

namespace rc_capture {

class CGCapture : public BaseCapture {
 public:
  void init() override;

  // The whole desktop (all displays) at one pixel per point, or null when the grab fails.
  virtual desktop::CGImageRef makeCGDisplayImage();
  // The cursor shown now: hot spot and size truncated toward zero, image as PNG drawn at that
  // size. Nothing when there is no cursor, its image cannot be had, or the PNG cannot be made.
  virtual std::optional<CursorFrame> makeMouseCursorPacket();

  // lastImage = the grab (null when it fails), then SendFrame().
  void ThreadProc() override;
  // Under the lock: nothing without lastImage; otherwise cursor record, encode, and the callback
  // when the encoder produced a frame.
  void SendFrame() override;
  // Drops lastImage, then the base class's Dispose.
  void Dispose(const void* caller) override;

  desktop::CGImageRef lastImageForTesting();

 private:
  // codec->encode(lastImage) with the frame tracer's stamps (foundation/FrameTrace.h).
  std::optional<std::vector<uint8_t>> tracedEncode();

  desktop::CGImageRef lastImage;
};

}  // namespace rc_capture
