// The exported C interface: handles are VpxEncoder objects.

#include "packages/rc_vpx/rc_vpx.h"

#include <new>

#include "packages/rc_vpx/VpxEncoder.h"

using rc_vpx::Codec;
using rc_vpx::VpxEncoder;

extern "C" {

void* Create_Encoder(int32_t selector) {
  switch (selector) {
    case RC_VPX_VP9:
      return new (std::nothrow) VpxEncoder(Codec::kVp9);
    case RC_VPX_VP8:
      return new (std::nothrow) VpxEncoder(Codec::kVp8);
    default:
      return nullptr;
  }
}

int32_t Encode(void* handle, const uint8_t* pixels, uint8_t* out, int32_t width, int32_t height,
               int32_t quality, int32_t stride, int32_t flag) {
  if (!handle) return 0;
  return static_cast<VpxEncoder*>(handle)->Encode(pixels, out, width, height, quality, stride,
                                                  flag);
}

int32_t Encode_HintChangedRects(void* handle, int64_t sequence, int64_t previousSequence,
                                const int32_t* rects, int32_t count) {
  if (!handle) return 0;
  return static_cast<VpxEncoder*>(handle)->HintChangedRects(sequence, previousSequence, rects,
                                                            count)
             ? 1
             : 0;
}

int32_t Encode_Prepare(void* handle, int32_t width, int32_t height, int32_t quality) {
  if (!handle) return 0;
  return static_cast<VpxEncoder*>(handle)->Prepare(width, height, quality) ? 1 : 0;
}

void ForceKeyframe(void* handle) {
  if (handle) static_cast<VpxEncoder*>(handle)->RequestKeyframe();
}

int32_t Encode_LastTimings(void* handle, int64_t* conversion_ns, int64_t* analysis_ns,
                           int64_t* codec_ns) {
  if (!handle) return 0;
  const rc_vpx::EncodeTimings& t = static_cast<VpxEncoder*>(handle)->last_timings();
  if (conversion_ns) *conversion_ns = t.conversion_ns;
  if (analysis_ns) *analysis_ns = t.analysis_ns;
  if (codec_ns) *codec_ns = t.codec_ns;
  return 1;
}

void Dispose_Encoder(void* handle) {
  delete static_cast<VpxEncoder*>(handle);
}

}  // extern "C"
