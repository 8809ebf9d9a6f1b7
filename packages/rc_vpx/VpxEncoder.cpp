#include "packages/rc_vpx/VpxEncoder.h"

#include <libyuv/convert.h>
#include <vpx/vp8cx.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <thread>

#include "packages/rc_vpx/block_diff.h"
#include "packages/rc_vpx/rc_vpx.h"

namespace rc_vpx {
namespace {

constexpr int kBlock = 16;
// Largest side either codec takes (VP8 stores 14 bits).
constexpr int kMaxSide = 16383;

int ClampQuality(int quality) {
  return std::clamp(quality, 0, 100);
}

int64_t MonotonicNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int DefaultThreads() {
  const unsigned cores = std::thread::hardware_concurrency();
  return static_cast<int>(std::clamp(cores, 1u, 4u));
}

}  // namespace

void CodecDeleter::operator()(vpx_codec_ctx_t* ctx) const {
  vpx_codec_destroy(ctx);
  delete ctx;
}

int QuantizerForQuality(int quality) {
  quality = ClampQuality(quality);
  if (quality == 0) return -1;
  return 63 - (quality - 1) * 63 / 99;
}

VpxEncoder::VpxEncoder(Codec codec, EncoderSettings settings)
    : codec_(codec), settings_(settings) {}

void VpxEncoder::FillConfig(int quality) {
  const int q = QuantizerForQuality(quality);
  if (q < 0) {
    cfg_.rc_end_usage = settings_.cbr ? VPX_CBR : VPX_VBR;
    const double bits = kDefaultBitsPerPixel * width_ * height_ * 30.0 / 1000.0;
    cfg_.rc_target_bitrate = std::max(100u, static_cast<unsigned>(bits));
    cfg_.rc_min_quantizer = kDefaultMinQ;
    cfg_.rc_max_quantizer = kDefaultMaxQ;
  } else {
    // One quantizer for every frame; the bit rate follows the picture.
    cfg_.rc_end_usage = VPX_VBR;
    cfg_.rc_target_bitrate = 1000000;
    cfg_.rc_min_quantizer = static_cast<unsigned>(q);
    cfg_.rc_max_quantizer = static_cast<unsigned>(q);
  }
}

bool VpxEncoder::Reset(int width, int height, int quality) {
  ctx_.reset();
  have_previous_ = false;
  width_ = width;
  height_ = height;
  quality_ = quality;
  for (auto& picture : pictures_) {
    picture.reset(vpx_img_alloc(nullptr, VPX_IMG_FMT_I420, width, height, 32));
    if (!picture) return false;
  }
  mb_cols_ = (width + kBlock - 1) / kBlock;
  mb_rows_ = (height + kBlock - 1) / kBlock;
  const size_t blocks = static_cast<size_t>(mb_cols_) * mb_rows_;
  changed_.assign(blocks, 0);
  age_.assign(blocks, 0);
  active_.assign(blocks, 1);

  vpx_codec_iface_t* iface = codec_ == Codec::kVp9 ? vpx_codec_vp9_cx() : vpx_codec_vp8_cx();
  if (vpx_codec_enc_config_default(iface, &cfg_, 0) != VPX_CODEC_OK) return false;
  cfg_.g_w = static_cast<unsigned>(width);
  cfg_.g_h = static_cast<unsigned>(height);
  // Every frame counts as 1/30 s: the rate control budgets per frame (see rc_vpx.h).
  cfg_.g_timebase = {1, 30};
  cfg_.g_threads =
      static_cast<unsigned>(settings_.threads > 0 ? settings_.threads : DefaultThreads());
  cfg_.g_lag_in_frames = 0;
  cfg_.g_error_resilient = 0;
  cfg_.g_pass = VPX_RC_ONE_PASS;
  cfg_.rc_dropframe_thresh = 0;  // one call, one frame
  cfg_.rc_resize_allowed = 0;
  cfg_.kf_mode = VPX_KF_DISABLED;  // key frames only when asked for
  cfg_.rc_undershoot_pct = 50;
  cfg_.rc_overshoot_pct = 50;
  cfg_.rc_buf_initial_sz = 500;
  cfg_.rc_buf_optimal_sz = 600;
  cfg_.rc_buf_sz = 1000;
  FillConfig(quality);

  auto ctx = ScopedCodec(new vpx_codec_ctx_t{});
  if (vpx_codec_enc_init(ctx.get(), iface, &cfg_, 0) != VPX_CODEC_OK) {
    std::fprintf(stderr, "rc_vpx: cannot start the encoder at %dx%d: %s\n", width, height,
                 vpx_codec_error_detail(ctx.get()) ? vpx_codec_error_detail(ctx.get())
                                                   : vpx_codec_error(ctx.get()));
    delete ctx.release();  // a failed init leaves nothing to destroy
    return false;
  }
  vpx_codec_ctx_t* c = ctx.get();
  if (codec_ == Codec::kVp9) {
    vpx_codec_control(c, VP8E_SET_CPUUSED,
                      settings_.cpu_used != EncoderSettings::kAuto ? settings_.cpu_used : 9);
    vpx_codec_control(c, VP9E_SET_TUNE_CONTENT, VP9E_CONTENT_SCREEN);
    vpx_codec_control(c, VP9E_SET_ROW_MT, 1);
    vpx_codec_control(c, VP9E_SET_AQ_MODE, settings_.aq_mode);
    vpx_codec_control(c, VP9E_SET_NOISE_SENSITIVITY, 0);
    // One tile column per thread (log2), as far as the width allows (256-pixel tiles at least).
    int log2_tiles = 0;
    while ((1 << (log2_tiles + 1)) <= static_cast<int>(cfg_.g_threads) &&
           (width >> (log2_tiles + 1)) >= 256) {
      ++log2_tiles;
    }
    vpx_codec_control(c, VP9E_SET_TILE_COLUMNS, log2_tiles);
  } else {
    vpx_codec_control(c, VP8E_SET_CPUUSED,
                      settings_.cpu_used != EncoderSettings::kAuto ? settings_.cpu_used : 8);
    vpx_codec_control(c, VP8E_SET_SCREEN_CONTENT_MODE, 1);
    vpx_codec_control(c, VP8E_SET_NOISE_SENSITIVITY, 0);
    vpx_codec_control(c, VP8E_SET_TOKEN_PARTITIONS,
                      cfg_.g_threads >= 4   ? VP8_FOUR_TOKENPARTITION
                      : cfg_.g_threads >= 2 ? VP8_TWO_TOKENPARTITION
                                            : VP8_ONE_TOKENPARTITION);
  }
  vpx_codec_control(c, VP8E_SET_STATIC_THRESHOLD, settings_.static_thresh);
  ctx_ = std::move(ctx);
  return true;
}

bool VpxEncoder::ApplyQuality(int quality) {
  quality_ = quality;
  FillConfig(quality);
  return vpx_codec_enc_config_set(ctx_.get(), &cfg_) == VPX_CODEC_OK;
}

int VpxEncoder::UpdateActiveMap(const vpx_image_t& cur, const vpx_image_t& prev) {
  std::fill(changed_.begin(), changed_.end(), 0);
  MarkChangedBlocks(cur.planes[VPX_PLANE_Y], cur.stride[VPX_PLANE_Y], prev.planes[VPX_PLANE_Y],
                    prev.stride[VPX_PLANE_Y], width_, height_, kBlock, changed_.data(), mb_cols_);
  const int cw = (width_ + 1) / 2, ch = (height_ + 1) / 2;
  for (int p : {VPX_PLANE_U, VPX_PLANE_V}) {
    MarkChangedBlocks(cur.planes[p], cur.stride[p], prev.planes[p], prev.stride[p], cw, ch,
                      kBlock / 2, changed_.data(), mb_cols_);
  }
  int active = 0;
  for (size_t i = 0; i < changed_.size(); ++i) {
    age_[i] = changed_[i] ? 0 : static_cast<uint8_t>(std::min(age_[i] + 1, 255));
    active_[i] = age_[i] <= settings_.settle_frames ? 1 : 0;
    active += active_[i];
  }
  vpx_active_map_t map{};
  if (active < static_cast<int>(active_.size())) {
    map = {active_.data(), static_cast<unsigned>(mb_rows_), static_cast<unsigned>(mb_cols_)};
  }  // else a null map: everything active, no segmentation overhead
  vpx_codec_control(ctx_.get(), VP8E_SET_ACTIVEMAP, &map);
  return active;
}

int32_t VpxEncoder::Encode(const uint8_t* pixels, uint8_t* out, int32_t width, int32_t height,
                           int32_t quality, int32_t stride, int32_t flag) {
  if (!pixels || !out || flag != RC_VPX_BGRA || width <= 0 || height <= 0 || width > kMaxSide ||
      height > kMaxSide || stride / 4 < width) {
    return 0;
  }
  const size_t capacity = static_cast<size_t>(width) * height * 4;
  if (capacity > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return 0;
  quality = ClampQuality(quality);

  if (!ctx_ || width != width_ || height != height_) {
    if (!Reset(width, height, quality)) {
      ctx_.reset();
      width_ = height_ = 0;
      return 0;
    }
    key_requested_.store(true, std::memory_order_relaxed);
  } else if (quality != quality_ && !ApplyQuality(quality)) {
    ctx_.reset();  // start again at the next call, with a key frame
    return 0;
  }
  const bool key = key_requested_.exchange(false, std::memory_order_relaxed);

  timings_ = {};
  int64_t t0 = MonotonicNs();
  vpx_image_t& cur = *pictures_[current_];
  libyuv::ARGBToI420(pixels, stride, cur.planes[VPX_PLANE_Y], cur.stride[VPX_PLANE_Y],
                     cur.planes[VPX_PLANE_U], cur.stride[VPX_PLANE_U], cur.planes[VPX_PLANE_V],
                     cur.stride[VPX_PLANE_V], width, height);
  int64_t t1 = MonotonicNs();
  timings_.conversion_ns = t1 - t0;
  if (settings_.active_map) {
    if (key || !have_previous_) {
      std::fill(age_.begin(), age_.end(), 0);
      vpx_active_map_t all_active{};
      vpx_codec_control(ctx_.get(), VP8E_SET_ACTIVEMAP, &all_active);
      last_active_blocks_ = mb_cols_ * mb_rows_;
    } else {
      last_active_blocks_ = UpdateActiveMap(cur, *pictures_[current_ ^ 1]);
      if (last_active_blocks_ == 0 && codec_ == Codec::kVp9 && settings_.repeat_unchanged) {
        // Uncompressed header: frame_marker 0b10, profile 0 (two zero bits),
        // show_existing_frame 1, frame_to_show_map_idx 0: the slot the codec keeps its last
        // frame in, since only one reference pattern (last, golden, altref in slots 0, 1, 2)
        // is ever used here.
        out[0] = 0x88;
        timings_.analysis_ns = MonotonicNs() - t1;
        return 1;
      }
    }
  }
  t0 = MonotonicNs();
  timings_.analysis_ns = t0 - t1;
  const int32_t length = Compress(cur, key, out, capacity);
  timings_.codec_ns = MonotonicNs() - t0;
  current_ ^= 1;
  have_previous_ = true;
  return length;
}

int32_t VpxEncoder::Compress(vpx_image_t& picture, bool key, uint8_t* out, size_t capacity) {
  const vpx_codec_err_t err = vpx_codec_encode(ctx_.get(), &picture, pts_++, 1,
                                               key ? VPX_EFLAG_FORCE_KF : 0, VPX_DL_REALTIME);
  if (err != VPX_CODEC_OK) {
    std::fprintf(stderr, "rc_vpx: encoding failed: %s\n", vpx_codec_error(ctx_.get()));
    ctx_.reset();  // the codec state is unknown: start again, with a key frame
    return 0;
  }
  size_t length = 0;
  bool fits = true;
  vpx_codec_iter_t iter = nullptr;
  while (const vpx_codec_cx_pkt_t* pkt = vpx_codec_get_cx_data(ctx_.get(), &iter)) {
    if (pkt->kind != VPX_CODEC_CX_FRAME_PKT) continue;
    if (length + pkt->data.frame.sz > capacity) {
      fits = false;
      continue;
    }
    std::memcpy(out + length, pkt->data.frame.buf, pkt->data.frame.sz);
    length += pkt->data.frame.sz;
  }
  if (!fits || length == 0) {
    // The receiver will not see this frame, so the next one must not depend on it.
    key_requested_.store(true, std::memory_order_relaxed);
    return 0;
  }
  return static_cast<int32_t>(length);
}

}  // namespace rc_vpx
