// Writes raw VP8/VP9 frames into an IVF file (the simple container vpxdec and ffmpeg play).
// The header's size and frame count are patched in when the file is closed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>

namespace rcclient {

struct FrameInfo {
  bool vp9 = true;
  bool keyFrame = false;
  int width = 0;  // known for key frames only
  int height = 0;
};

// Reads what a frame's own header tells (VP8 frame tag or VP9 uncompressed header); none when
// the bytes are neither.
std::optional<FrameInfo> InspectFrame(std::span<const uint8_t> frame);

class IvfWriter {
 public:
  ~IvfWriter();
  bool open(const std::string& path, bool vp9, int timebaseDen, int timebaseNum);
  // pts in time-base units.
  bool write(std::span<const uint8_t> frame, uint64_t pts);
  // Patches width, height and frame count into the header; false on a write error.
  bool close(int width, int height);
  uint32_t frames() const { return frames_; }

 private:
  std::FILE* file_ = nullptr;
  uint32_t frames_ = 0;
  bool ok_ = true;
};

}  // namespace rcclient
