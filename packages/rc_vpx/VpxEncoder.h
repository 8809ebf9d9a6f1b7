// VpxEncoder: the object behind an rc_vpx handle. BGRA in, one raw VP9/VP8 frame out per call.
//
// Per frame: BGRA → I420 (libyuv) into one of two reused pictures, a 16×16 block comparison with
// the other (the previous frame), the active map for the codec, one real-time encode. Nothing is
// allocated per frame; the pictures, maps and codec are made again only when the size changes.
//
// Change hints (HintChangedRects): each picture keeps a map of the 16×16 blocks where it may
// differ from the newest source image ("stale" blocks). A trusted hint adds its blocks to both
// maps; anything else (no hint, a hint about another image, a new size) marks both pictures
// stale everywhere. The conversion then only renews the current picture's stale blocks, and the
// comparison only looks at the blocks where the previous picture (the one the codec last coded)
// is stale: elsewhere both were converted from identical source pixels. With a hint that
// nothing changed, a still picture costs neither conversion nor comparison.
//
// Threading: Encode runs on one thread at a time; RequestKeyframe may be called from any thread.

#ifndef PACKAGES_RC_VPX_VPXENCODER_H_
#define PACKAGES_RC_VPX_VPXENCODER_H_

#include <vpx/vpx_encoder.h>
#include <vpx/vpx_image.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace rc_vpx {

enum class Codec { kVp8, kVp9 };

// Quantizer bounds of the default rate control (libvpx's 0..63 scale).
constexpr int kDefaultMinQ = 4;
constexpr int kDefaultMaxQ = 48;
// Default budget: bits per pixel per frame (0.05 → 100 kbit a frame at 1920×1080).
constexpr double kDefaultBitsPerPixel = 0.05;

// Tuning knobs. The defaults are what the benchmark showed to pay; the others exist so that the
// benchmark can measure the alternatives on the same code path.
struct EncoderSettings {
  static constexpr int kAuto = 100;
  // VP8E_SET_CPUUSED. kAuto: 9 for VP9; 8 for VP8, where a positive value lets the codec raise
  // its speed when frames take too long (-8 holds speed 8: 2..3 times slower on scrolling text).
  int cpu_used = kAuto;
  int threads = 0;             // 0: by core count (at most 4)
  int aq_mode = 0;             // VP9E_SET_AQ_MODE: 0 none, 3 cyclic refresh
  bool cbr = false;            // default quality: VBR; true: CBR with the same budget
  bool active_map = true;      // tell the codec which blocks did not change
  int settle_frames = 0;       // a block stays active this many frames after its last change
  unsigned static_thresh = 0;  // VP8E_SET_STATIC_THRESHOLD
  // VP9E_SET_DISABLE_LOOPFILTER: 0 on, 1 off on non-reference frames, 2 off. Off by default:
  // rc_vpx_bench at 1080p, small scene: 3.9 ms CPU a frame against 4.7 ms, 47.0 dB against
  // 47.4; scroll: 46.4 dB against 46.9, CPU unchanged.
  int disable_loopfilter = 2;
  int tile_columns = -1;          // VP9E_SET_TILE_COLUMNS (log2); -1: one per thread
  int frame_periodic_boost = -1;  // VP9E_SET_FRAME_PERIODIC_BOOST; -1: the codec's default
  // VP9: a picture identical to the previous one becomes a one-byte frame that shows the last
  // decoded frame again (show_existing_frame), without running the codec.
  bool repeat_unchanged = true;
};

// Where the last Encode spent its time (nanoseconds); zero for the stages it did not reach.
struct EncodeTimings {
  int64_t conversion_ns = 0;
  int64_t analysis_ns = 0;
  int64_t codec_ns = 0;
};

struct CodecDeleter {
  void operator()(vpx_codec_ctx_t* ctx) const;
};
struct ImageDeleter {
  void operator()(vpx_image_t* img) const { vpx_img_free(img); }
};
using ScopedCodec = std::unique_ptr<vpx_codec_ctx_t, CodecDeleter>;
using ScopedImage = std::unique_ptr<vpx_image_t, ImageDeleter>;

class VpxEncoder {
 public:
  explicit VpxEncoder(Codec codec, EncoderSettings settings = {});
  VpxEncoder(const VpxEncoder&) = delete;
  VpxEncoder& operator=(const VpxEncoder&) = delete;

  // The contract of the C function Encode (rc_vpx.h), minus the handle check.
  int32_t Encode(const uint8_t* pixels, uint8_t* out, int32_t width, int32_t height,
                 int32_t quality, int32_t stride, int32_t flag);

  // The contract of the C function Encode_HintChangedRects (rc_vpx.h): `rects` holds `count`
  // rectangles of four values (x, y, width, height). Encoding thread only.
  bool HintChangedRects(int64_t sequence, int64_t previous_sequence, const int32_t* rects,
                        int32_t count);

  // Makes the next Encode produce a key frame. Any thread.
  void RequestKeyframe() { key_requested_.store(true, std::memory_order_relaxed); }

  // Blocks handed to the codec as active in the last frame (for tests and benchmarks).
  int last_active_blocks() const { return last_active_blocks_; }
  const EncodeTimings& last_timings() const { return timings_; }

 private:
  bool Reset(int width, int height, int quality);
  bool ApplyQuality(int quality);
  void FillConfig(int quality);
  // Compares the current picture with the previous one (only the blocks set in `region`, one
  // byte per block; all when null), ages the blocks and returns the number of active ones.
  int CompareBlocks(const vpx_image_t& cur, const vpx_image_t& prev,
                    const std::vector<uint8_t>* region);
  // Ages the blocks from changed_, fills active_ and returns the number of active blocks.
  int AgeBlocks();
  void SetActiveMap(int active);
  // Takes the pending hint: adds its blocks to both pictures' stale maps when it is trusted,
  // marks both stale everywhere otherwise.
  void ApplyHint();
  // Renews the stale blocks of picture `index` from the source and clears its stale map.
  void ConvertStale(int index, const uint8_t* pixels, int stride);
  int32_t Compress(vpx_image_t& picture, bool key, uint8_t* out, size_t capacity);

  const Codec codec_;
  const EncoderSettings settings_;
  std::atomic<bool> key_requested_{true};

  vpx_codec_enc_cfg_t cfg_{};
  ScopedCodec ctx_;
  ScopedImage pictures_[2];  // I420, ping-pong: current and previous source
  int current_ = 0;
  int width_ = 0;
  int height_ = 0;
  int quality_ = 0;
  bool have_previous_ = false;
  int64_t pts_ = 0;

  int mb_cols_ = 0;
  int mb_rows_ = 0;
  std::vector<uint8_t> changed_;  // one byte per 16×16 block
  std::vector<uint8_t> age_;      // frames since the block last changed, saturating
  std::vector<uint8_t> active_;   // the map handed to the codec
  int last_active_blocks_ = 0;
  EncodeTimings timings_;

  // The hint for the next Encode, and the sequence number of the image of the last Encode (0:
  // not known).
  bool hint_pending_ = false;
  int64_t hint_sequence_ = 0;
  int64_t hint_previous_ = 0;
  std::vector<int32_t> hint_rects_;
  int64_t last_sequence_ = 0;
  // Per picture: the blocks where it may differ from the newest source; *_all_ = every block.
  std::vector<uint8_t> stale_[2];
  bool stale_all_[2] = {true, true};
};

// Maps a quality value to the quantizer used for every frame: 0 for the default rate control
// (returns -1), 1..100 onto 63..0. Values outside 0..100 are clamped first.
int QuantizerForQuality(int quality);

}  // namespace rc_vpx

#endif  // PACKAGES_RC_VPX_VPXENCODER_H_
