// Test support for the rc_vpx and rc_capture tests: a libvpx decoder, the key-frame flag of a
// frame as its header and as libvpx read it, and the PSNR of a decoded picture against its source.
#pragma once

#include <libyuv/compare.h>
#include <libyuv/convert.h>
#include <vpx/vp8dx.h>
#include <vpx/vpx_decoder.h>

#include <cstdint>
#include <vector>

#include "packages/rc_vpx/rc_vpx.h"

namespace rc_vpx::testing {

inline vpx_codec_iface_t* DecoderInterface(int selector) {
  return selector == RC_VPX_VP8 ? vpx_codec_vp8_dx() : vpx_codec_vp9_dx();
}

class Decoder {
 public:
  explicit Decoder(int selector) {
    vpx_codec_dec_init(&ctx_, DecoderInterface(selector), nullptr, 0);
  }
  ~Decoder() { vpx_codec_destroy(&ctx_); }
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  // The picture one frame shows, or null when it does not decode.
  const vpx_image_t* Decode(const std::vector<uint8_t>& frame) {
    if (frame.empty() || vpx_codec_decode(&ctx_, frame.data(), static_cast<unsigned>(frame.size()),
                                          nullptr, 0) != VPX_CODEC_OK) {
      return nullptr;
    }
    vpx_codec_iter_t it = nullptr;
    return vpx_codec_get_frame(&ctx_, &it);
  }

 private:
  vpx_codec_ctx_t ctx_{};
};

// Key frame read from the bitstream itself: VP9 uncompressed header (frame_marker 0b10, two
// profile bits, show_existing_frame, frame_type 0 = key), VP8 frame tag (bit 0 clear = key).
inline bool HeaderSaysKey(int selector, const std::vector<uint8_t>& frame) {
  if (frame.empty()) return false;
  const uint8_t b = frame[0];
  if (selector == RC_VPX_VP8) return (b & 1) == 0;
  return (b >> 6) == 2 && (b & 0x3c) == 0;
}

// The same, as libvpx's stream parser reads it.
inline bool DecoderSaysKey(int selector, const std::vector<uint8_t>& frame) {
  vpx_codec_stream_info_t si{};
  si.sz = sizeof(si);
  vpx_codec_peek_stream_info(DecoderInterface(selector), frame.data(),
                             static_cast<unsigned>(frame.size()), &si);
  return si.is_kf != 0;
}

// PSNR (dB over Y, U and V) of a decoded picture against its BGRA source; 0 when the sizes differ.
inline double Psnr(const uint8_t* bgra, int w, int h, int stride, const vpx_image_t& img) {
  if (static_cast<int>(img.d_w) != w || static_cast<int>(img.d_h) != h) return 0;
  const int cw = (w + 1) / 2, ch = (h + 1) / 2;
  std::vector<uint8_t> y(w * h), u(cw * ch), v(cw * ch);
  libyuv::ARGBToI420(bgra, stride, y.data(), w, u.data(), cw, v.data(), cw, w, h);
  return libyuv::I420Psnr(y.data(), w, u.data(), cw, v.data(), cw, img.planes[0], img.stride[0],
                          img.planes[1], img.stride[1], img.planes[2], img.stride[2], w, h);
}

}  // namespace rc_vpx::testing
