// Core Graphics geometry and image types shared by every desktop service.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace desktop {

struct CGPoint {
  double x = 0;
  double y = 0;
  friend bool operator==(const CGPoint&, const CGPoint&) = default;
};
struct CGSize {
  double width = 0;
  double height = 0;
  friend bool operator==(const CGSize&, const CGSize&) = default;
};
struct CGRect {
  CGPoint origin;
  CGSize size;
  friend bool operator==(const CGRect&, const CGRect&) = default;
};

// A BGRA image (bytes B, G, R, A in memory), 4 bytes a pixel, rows `bytesPerRow` apart.
// The pixels may live in memory the image does not own (a shared-memory segment of the
// display backend); `keepAlive` holds whatever keeps them valid for the image's life.
struct CGImage {
  int64_t width = 0;
  int64_t height = 0;
  int64_t bytesPerRow = 0;
  const uint8_t* data = nullptr;
  std::shared_ptr<const void> keepAlive;

  // Optional change information from the producer; a consumer may ignore it. `sequence` numbers
  // the producer's images (0: not numbered; numbers are unique within the process). When
  // `changes` is present, this image differs from the producer's image number
  // `changes->sinceSequence` at most inside `changes->rects` (pixels, origin top left; empty:
  // identical).
  struct ChangeHint {
    int64_t sinceSequence = 0;
    std::vector<CGRect> rects;
  };
  int64_t sequence = 0;
  std::optional<ChangeHint> changes;

  // An image that owns a freshly allocated, zeroed buffer of width × height pixels.
  static std::shared_ptr<CGImage> Allocate(int64_t width, int64_t height);
  // Writable pixels of an image made by Allocate.
  uint8_t* mutableData() const { return const_cast<uint8_t*>(data); }
};
using CGImageRef = std::shared_ptr<const CGImage>;

inline int64_t CGImageGetWidth(const CGImageRef& image) {
  return image ? image->width : 0;
}
inline int64_t CGImageGetHeight(const CGImageRef& image) {
  return image ? image->height : 0;
}

}  // namespace desktop
