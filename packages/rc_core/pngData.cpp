#include "packages/rc_core/pngData.h"

#include <libyuv.h>
#include <png.h>

#include <cmath>
#include <limits>

namespace rc_core {
namespace {

libyuv::FilterMode FilterFor(NSImageInterpolation q) {
  switch (q) {
    case NSImageInterpolation::kNone:
      return libyuv::kFilterNone;
    case NSImageInterpolation::kHigh:
      return libyuv::kFilterBox;
    default:
      return libyuv::kFilterBilinear;
  }
}

void AppendToVector(png_structp png, png_bytep data, png_size_t length) {
  auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}

// RGBA rows, straight alpha, to PNG. libpng reports errors by longjmp.
std::optional<std::vector<uint8_t>> EncodePng(const uint8_t* rgba, int width, int height) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) return std::nullopt;
  png_infop info = png_create_info_struct(png);
  std::vector<uint8_t> out;
  std::vector<png_const_bytep> rows(static_cast<size_t>(height));
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return std::nullopt;
  }
  png_set_write_fn(png, &out, AppendToVector, nullptr);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
               PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_set_compression_level(png, 6);
  for (int y = 0; y < height; ++y) rows[y] = rgba + static_cast<size_t>(y) * width * 4;
  png_write_info(png, info);
  png_write_image(png, const_cast<png_bytepp>(rows.data()));
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}

}  // namespace

std::optional<std::vector<uint8_t>> pngData(const desktop::NSImage& image, desktop::CGSize size,
                                            NSImageInterpolation imageInterpolation) {
  const auto& src = image.bitmap;
  if (!src || src->data == nullptr || src->width <= 0 || src->height <= 0 ||
      src->bytesPerRow < src->width * 4) {
    return std::nullopt;
  }
  if (!(size.width >= 1 && size.height >= 1) || size.width > 16384 || size.height > 16384) {
    return std::nullopt;
  }
  if (src->width > std::numeric_limits<int>::max() / 4 ||
      src->height > std::numeric_limits<int>::max() || src->bytesPerRow > INT32_MAX) {
    return std::nullopt;
  }
  int w = static_cast<int>(size.width), h = static_cast<int>(size.height);

  // libyuv's "ARGB" is B, G, R, A in memory: our BGRA.
  std::vector<uint8_t> scaled(static_cast<size_t>(w) * h * 4);
  if (libyuv::ARGBScale(src->data, static_cast<int>(src->bytesPerRow), static_cast<int>(src->width),
                        static_cast<int>(src->height), scaled.data(), w * 4, w, h,
                        FilterFor(imageInterpolation)) != 0) {
    return std::nullopt;
  }
  // libyuv's "ABGR" is R, G, B, A in memory: what PNG wants.
  std::vector<uint8_t> rgba(scaled.size());
  libyuv::ARGBToABGR(scaled.data(), w * 4, rgba.data(), w * 4, w, h);
  return EncodePng(rgba.data(), w, h);
}

}  // namespace rc_core
