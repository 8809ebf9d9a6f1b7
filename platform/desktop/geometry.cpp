#include "platform/desktop/geometry.h"

#include <vector>

namespace desktop {

std::shared_ptr<CGImage> CGImage::Allocate(int64_t width, int64_t height) {
  auto image = std::make_shared<CGImage>();
  if (width <= 0 || height <= 0) return image;
  auto pixels = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(width * height * 4));
  image->width = width;
  image->height = height;
  image->bytesPerRow = width * 4;
  image->data = pixels->data();
  image->keepAlive = pixels;
  return image;
}

}  // namespace desktop
