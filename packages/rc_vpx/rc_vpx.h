// rc_vpx: the VPx encoder library. Turns desktop images (BGRA) into raw VP9 or VP8 frames, one
// compressed frame per call, for a receiver that decodes them in order.
//
// Shape of the interface: a few C functions over an opaque handle. Every function accepts a null
// handle (and does nothing or returns 0); invalid arguments never crash and never produce a frame.
//
// Threading: one handle is driven by one encoding thread at a time (Encode, Dispose_Encoder).
// ForceKeyframe is the exception: it may be called from any thread, also while Encode runs.
//
// Bitstream: each result of Encode is one raw frame (no container, no length prefix), VP9
// profile 0 (4:2:0) or VP8, depending on the selector. The first frame, the first frame after a
// size change and the frame after a key-frame request are key frames; all other frames are inter
// frames that reference only the frame before them.
//
// Rate control and the quality value:
//   quality 0 (and anything below 0) is the balanced default, made for legible text at modest
//     bandwidth: variable bit rate (libvpx VBR) aiming at a budget of 0.05 bit per pixel per
//     frame (100 kbit a frame at 1920×1080, i.e. 3 Mbit/s at 30 frames a second), quantizer
//     held within [kDefaultMinQ, kDefaultMaxQ] of VpxEncoder.h (4..48 of libvpx's 0..63 scale).
//     The budget is an average, not a cap: a busy frame may take more and a still one less
//     (EncoderSettings::cbr switches to constant bit rate; the benchmark compares the two).
//     Every frame counts as 1/30 s for the rate control, so the budget is per frame: at a lower
//     frame rate the bit rate falls with it.
//   quality 1..100 (above 100 counts as 100) is a quality percentage mapped linearly onto the
//     quantizer: q = 63 - (quality - 1) * 63 / 99 (integer division), 1 → 63 (smallest frames,
//     coarsest picture), 100 → 0 (finest). Each frame is then coded at that one quantizer
//     (min = max = q, no bit-rate target), so a higher quality never gives a worse picture and
//     costs more bytes.
//   A change of quality takes effect at the next frame without a key frame.
//
// Still desktops: each frame is compared with the one before it in 16×16 blocks; blocks that have
// not changed for a while are marked inactive for the codec, which then codes them as copies of
// the previous frame at almost no cost. A frame with no change still yields one small frame
// (VP9: one byte that shows the previous frame again).
//
// Change hints: a caller that knows where its images changed (a display server's damage
// reports) can say so before each Encode with Encode_HintChangedRects; the encoder then converts
// and compares only those parts. Without hints everything is converted and compared; the
// bitstream is the same either way.

#ifndef PACKAGES_RC_VPX_RC_VPX_H_
#define PACKAGES_RC_VPX_RC_VPX_H_

#include <stdint.h>

#if defined(RC_BUILDING_LIBRARY)
#define RC_VPX_API __attribute__((visibility("default")))
#else
#define RC_VPX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/// \brief Encoder selectors accepted by Create_Encoder.
enum {
  RC_VPX_VP8 = 1,  ///< VP8, real time
  RC_VPX_VP9 = 2,  ///< VP9, real time, tuned for screen content (the capturer's choice)
};

/// \brief Source pixel format flag accepted by Encode.
enum {
  RC_VPX_BGRA = 1,  ///< 4 bytes a pixel: B, G, R, X in memory (libyuv "ARGB"); X is ignored
};

/// \brief Creates an encoder.
/// \param selector RC_VPX_VP9 (2) or RC_VPX_VP8 (1).
/// \return an opaque handle, owned by the caller until Dispose_Encoder; null for any other
///         selector. No codec memory is taken until the first Encode.
RC_VPX_API void* Create_Encoder(int32_t selector);

/// \brief Encodes one image into one compressed frame.
/// \param handle  from Create_Encoder; null gives 0.
/// \param pixels  the source image, height rows of stride bytes; only read during the call.
/// \param out     receives the frame; must have room for width × height × 4 bytes.
/// \param width, height  image size in pixels, both above 0 (odd sizes are fine).
/// \param quality 0 = balanced default, 1..100 = quality percentage (see above).
/// \param stride  bytes from one source row to the next, at least width × 4.
/// \param flag    RC_VPX_BGRA (1); anything else gives 0.
/// \return the length in bytes of the frame written to out, or 0 when no frame was produced: an
///         invalid argument, a size the codec refuses, a codec failure, or a frame that would not
///         fit in width × height × 4 bytes (possible only for images of a few pixels). After a
///         produced-nothing result on a valid handle, the next frame produced is a key frame, so
///         the stream stays decodable.
/// A size different from the previous call's re-initialises the codec (the frame is a key frame).
RC_VPX_API int32_t Encode(void* handle, const uint8_t* pixels, uint8_t* out, int32_t width,
                          int32_t height, int32_t quality, int32_t stride, int32_t flag);

/// \brief Tells the encoder which parts of the image of the next Encode may differ from an
/// earlier image, so that it converts and compares only those.
/// \param handle  from Create_Encoder; null gives 0.
/// \param sequence  the caller's number for the image of the next Encode, above 0.
/// \param previousSequence  the number of the image the rectangles are relative to; 0 when
///        there is none (the whole image counts as changed, and the encoder just learns
///        `sequence`).
/// \param rects  `count` rectangles of four values each: x, y, width, height in pixels, origin
///        top left. Parts outside the image are ignored; count 0 says nothing changed.
/// \return 1 when the hint was taken, 0 for a null handle or invalid arguments (sequence ≤ 0,
///         count < 0, rects null with count > 0), which leave no hint.
/// The hint is used by the next Encode on the handle, and only there: it is trusted when
/// previousSequence is the `sequence` of the hint taken with the Encode before it (on a valid
/// image); otherwise (no hint, a stale one, a new image size) that Encode converts and compares
/// the whole image. The rectangles must cover every pixel that changed since image
/// previousSequence (more is harmless); the encoder cannot check that. Key frames stay complete:
/// the encoder's pictures are always whole. Same thread rules as Encode.
RC_VPX_API int32_t Encode_HintChangedRects(void* handle, int64_t sequence, int64_t previousSequence,
                                           const int32_t* rects, int32_t count);

/// \brief Asks for the next frame to be a key frame. Thread-safe: may run while Encode runs on
/// another thread; a request that arrives during an Encode is honoured by the following one.
/// A null handle is ignored.
RC_VPX_API void ForceKeyframe(void* handle);

/// \brief How the last Encode on this handle spent its time, in nanoseconds of a monotonic clock:
/// the conversion of the source to I420, the change detection (block comparison and active
/// map), and the codec itself. For tracing and benchmarks; call it on the encoding thread, after
/// Encode. Any pointer may be null. Returns 0 for a null handle (the values are then left
/// alone), 1 otherwise; a call that produced nothing reports what it got through.
RC_VPX_API int32_t Encode_LastTimings(void* handle, int64_t* conversion_ns, int64_t* analysis_ns,
                                      int64_t* codec_ns);

/// \brief Frees the encoder and everything it holds. Must not overlap an Encode on the same
/// handle. A null handle is ignored; the handle is invalid afterwards.
RC_VPX_API void Dispose_Encoder(void* handle);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // PACKAGES_RC_VPX_RC_VPX_H_
