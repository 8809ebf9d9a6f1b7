// The encoder C interface that librc_capture exports: one process-wide rc_vpx encoder, held in
// g_pEncoder, created and freed only here.
//
// Ownership: g_pEncoder is owned by this interface. VpxCreate_Encoder makes it when there is none;
// VpxDispose_Encoder frees it and sets it back to null. Every other call works on whatever
// g_pEncoder holds and does nothing (or returns 0) when it is null.
//
// Threading: VpxCreate_Encoder and VpxDispose_Encoder change g_pEncoder and must not overlap any
// other call (the capture object's lock keeps encoding and disposal apart), VpxPrepare_Encoder
// excepted: disposal waits for it. VpxForceKeyframe may
// run while VpxEncode runs on another thread; rc_vpx honours the request at its next frame.
#pragma once

#include <stdint.h>

#include "packages/rc_capture/rc_capture_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/// \brief The shared rc_vpx encoder handle; null when there is none.
RC_CAPTURE_EXPORT extern void* g_pEncoder;

/// \brief Creates the shared encoder with `selector` (passed to Create_Encoder unchanged) when
/// g_pEncoder is null; otherwise does nothing. A null result of Create_Encoder leaves g_pEncoder
/// null, so the next call tries again.
RC_CAPTURE_EXPORT void VpxCreate_Encoder(int32_t selector);

/// \brief Frees the shared encoder and sets g_pEncoder to null. Nothing when it is null.
RC_CAPTURE_EXPORT void VpxDispose_Encoder(void);

/// \brief Encodes one image with the shared encoder.
/// \return the number of bytes written to `out` (see Encode in rc_vpx.h); 0 when g_pEncoder is
///         null, in which case nothing is read or written.
RC_CAPTURE_EXPORT int32_t VpxEncode(const uint8_t* pixels, uint8_t* out, int32_t width,
                                    int32_t height, int32_t quality, int32_t stride, int32_t flag);

/// \brief Tells the shared encoder where the image of the next VpxEncode changed since an earlier
/// one (Encode_HintChangedRects of rc_vpx: `count` rectangles of four values x, y, width, height;
/// previousSequence 0 when there is no earlier image). Optional: an encoder given no hint
/// converts and compares the whole image.
/// \return 1 when the hint was taken; 0 when g_pEncoder is null (nothing is read), the encoder
///         has no hints, or it refused the arguments.
RC_CAPTURE_EXPORT int32_t VpxHintChangedRects(int64_t sequence, int64_t previousSequence,
                                              const int32_t* rects, int32_t count);

/// \brief Makes the shared encoder ready for images of width × height (Encode_Prepare of rc_vpx),
/// so that its first frame of that size does not pay for the codec's start. May run on another
/// thread than VpxEncode; VpxDispose_Encoder waits for a preparation under way.
/// \return 1 when the encoder is ready; 0 when g_pEncoder is null, the encoder cannot prepare or
///         refused the size.
RC_CAPTURE_EXPORT int32_t VpxPrepare_Encoder(int32_t width, int32_t height, int32_t quality);

/// \brief Makes the next frame of the shared encoder a key frame. Nothing when g_pEncoder is null.
RC_CAPTURE_EXPORT void VpxForceKeyframe(void);

#ifdef __cplusplus
}  // extern "C"

namespace rc_capture {

// The rc_vpx entry points the interface calls. Production uses rc_vpx itself; tests may put
// a fake in its place to count calls or to script Encode's result.
struct VpxFunctions {
  void* (*createEncoder)(int32_t selector);
  int32_t (*encode)(void* handle, const uint8_t* pixels, uint8_t* out, int32_t width,
                    int32_t height, int32_t quality, int32_t stride, int32_t flag);
  void (*forceKeyframe)(void* handle);
  void (*disposeEncoder)(void* handle);
  // Optional (null in fakes): Encode_LastTimings, for the frame tracer.
  int32_t (*lastTimings)(void* handle, int64_t* conversion_ns, int64_t* analysis_ns,
                         int64_t* codec_ns) = nullptr;
  // Optional: Encode_HintChangedRects.
  int32_t (*hintChangedRects)(void* handle, int64_t sequence, int64_t previousSequence,
                              const int32_t* rects, int32_t count) = nullptr;
  // Optional: Encode_Prepare.
  int32_t (*prepare)(void* handle, int32_t width, int32_t height, int32_t quality) = nullptr;
};

// Whether the functions in use can prepare the encoder (VpxPrepare_Encoder can do anything).
bool VpxCanPrepare();

// The shared encoder's timings of its last Encode (Encode_LastTimings); false, and *conversion_ns
// untouched, without an encoder or a timing function. Same thread rules as VpxEncode.
bool VpxLastConversionTime(int64_t* conversion_ns);

// rc_vpx's own functions.
VpxFunctions RcVpxFunctions();
// Replaces the functions in use (not while any Vpx* call runs). Returns the previous ones.
VpxFunctions SetVpxFunctionsForTesting(VpxFunctions functions);

}  // namespace rc_capture
#endif
