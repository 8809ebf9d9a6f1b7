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

void VpxEncoder::FillConfig(vpx_codec_enc_cfg_t& cfg, int quality, RateMode mode) const {
  const int q = QuantizerForQuality(quality);
  if (q < 0) {
    cfg.rc_end_usage = settings_.cbr ? VPX_CBR : VPX_VBR;
    const double bits = kDefaultBitsPerPixel * cfg.g_w * cfg.g_h * 30.0 / 1000.0;
    cfg.rc_target_bitrate = std::max(100u, static_cast<unsigned>(bits));
    cfg.rc_min_quantizer = kDefaultMinQ;
    cfg.rc_max_quantizer = kDefaultMaxQ;
  } else {
    // One quantizer for every frame; the bit rate follows the picture.
    cfg.rc_end_usage = VPX_VBR;
    cfg.rc_target_bitrate = 1000000;
    cfg.rc_min_quantizer = static_cast<unsigned>(q);
    cfg.rc_max_quantizer = static_cast<unsigned>(q);
  }
  if (mode == RateMode::kCoarseKey) {
    cfg.rc_min_quantizer = cfg.rc_max_quantizer = static_cast<unsigned>(settings_.key_quantizer);
  } else if (mode == RateMode::kRefine && q < 0) {
    // A cap, not a fixed value: the rate control may still spend more where it pays.
    cfg.rc_max_quantizer =
        static_cast<unsigned>(std::clamp(settings_.refine_quantizer, kDefaultMinQ, kDefaultMaxQ));
  }
}

bool VpxEncoder::CoarseKey(int width, int height, int quality) const {
  if (!settings_.active_map || settings_.refine_frames <= 0 || settings_.key_quantizer < 0 ||
      settings_.key_quantizer > 63 ||
      static_cast<int64_t>(width) * height < settings_.coarse_key_min_pixels) {
    return false;
  }
  const int q = QuantizerForQuality(quality);
  return q < settings_.key_quantizer;  // also for the default (-1)
}

bool VpxEncoder::StartCodec(int width, int height, int quality, StartedCodec& out) const {
  out.width = width;
  out.height = height;
  out.quality = quality;
  // The first frame is a key frame: the codec starts with its rate control.
  out.mode = CoarseKey(width, height, quality) ? RateMode::kCoarseKey : RateMode::kNormal;
  vpx_codec_enc_cfg_t& cfg = out.cfg;
  vpx_codec_iface_t* iface = codec_ == Codec::kVp9 ? vpx_codec_vp9_cx() : vpx_codec_vp8_cx();
  if (vpx_codec_enc_config_default(iface, &cfg, 0) != VPX_CODEC_OK) return false;
  cfg.g_w = static_cast<unsigned>(width);
  cfg.g_h = static_cast<unsigned>(height);
  // Every frame counts as 1/30 s: the rate control budgets per frame (see rc_vpx.h).
  cfg.g_timebase = {1, 30};
  cfg.g_threads =
      static_cast<unsigned>(settings_.threads > 0 ? settings_.threads : DefaultThreads());
  cfg.g_lag_in_frames = 0;
  cfg.g_error_resilient = 0;
  cfg.g_pass = VPX_RC_ONE_PASS;
  cfg.rc_dropframe_thresh = 0;  // one call, one frame
  cfg.rc_resize_allowed = 0;
  cfg.kf_mode = VPX_KF_DISABLED;  // key frames only when asked for
  cfg.rc_undershoot_pct = 50;
  cfg.rc_overshoot_pct = 50;
  cfg.rc_buf_initial_sz = 500;
  cfg.rc_buf_optimal_sz = 600;
  cfg.rc_buf_sz = 1000;
  FillConfig(cfg, quality, out.mode);

  auto ctx = ScopedCodec(new vpx_codec_ctx_t{});
  if (vpx_codec_enc_init(ctx.get(), iface, &cfg, 0) != VPX_CODEC_OK) {
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
    vpx_codec_control(c, VP9E_SET_TUNE_CONTENT,
                      settings_.screen_content ? VP9E_CONTENT_SCREEN : VP9E_CONTENT_DEFAULT);
    vpx_codec_control(c, VP9E_SET_ROW_MT, 1);
    vpx_codec_control(c, VP9E_SET_AQ_MODE, settings_.aq_mode);
    vpx_codec_control(c, VP9E_SET_NOISE_SENSITIVITY, 0);
    // One tile column per thread (log2), as far as the width allows (256-pixel tiles at least).
    int log2_tiles = 0;
    while ((1 << (log2_tiles + 1)) <= static_cast<int>(cfg.g_threads) &&
           (width >> (log2_tiles + 1)) >= 256) {
      ++log2_tiles;
    }
    vpx_codec_control(c, VP9E_SET_TILE_COLUMNS,
                      settings_.tile_columns >= 0 ? settings_.tile_columns : log2_tiles);
    if (settings_.disable_loopfilter) {
      vpx_codec_control(c, VP9E_SET_DISABLE_LOOPFILTER, settings_.disable_loopfilter);
    }
    if (settings_.frame_periodic_boost >= 0) {
      vpx_codec_control(c, VP9E_SET_FRAME_PERIODIC_BOOST, settings_.frame_periodic_boost);
    }
  } else {
    vpx_codec_control(c, VP8E_SET_CPUUSED,
                      settings_.cpu_used != EncoderSettings::kAuto ? settings_.cpu_used : 8);
    vpx_codec_control(c, VP8E_SET_SCREEN_CONTENT_MODE, 1);
    vpx_codec_control(c, VP8E_SET_NOISE_SENSITIVITY, 0);
    vpx_codec_control(c, VP8E_SET_TOKEN_PARTITIONS,
                      cfg.g_threads >= 4   ? VP8_FOUR_TOKENPARTITION
                      : cfg.g_threads >= 2 ? VP8_TWO_TOKENPARTITION
                                           : VP8_ONE_TOKENPARTITION);
  }
  vpx_codec_control(c, VP8E_SET_STATIC_THRESHOLD, settings_.static_thresh);
  out.ctx = std::move(ctx);
  return true;
}

bool VpxEncoder::WarmUp(StartedCodec& started) {
  // The codec's first frame costs several times a later key frame (buffers allocated and first
  // touched, worker threads started: 230 ms of CPU against 52 at 1920×1080): a flat picture is
  // coded and thrown away. The real first frame is a key frame, so nothing refers to it.
  ScopedImage flat(vpx_img_alloc(nullptr, VPX_IMG_FMT_I420, started.width, started.height, 32));
  if (!flat) return false;
  for (int p : {VPX_PLANE_Y, VPX_PLANE_U, VPX_PLANE_V}) {
    const int rows = p == VPX_PLANE_Y ? started.height : (started.height + 1) / 2;
    std::memset(flat->planes[p], p == VPX_PLANE_Y ? 16 : 128,
                static_cast<size_t>(flat->stride[p]) * rows);
  }
  if (vpx_codec_encode(started.ctx.get(), flat.get(), 0, 1, VPX_EFLAG_FORCE_KF, VPX_DL_REALTIME) !=
      VPX_CODEC_OK) {
    return false;
  }
  vpx_codec_iter_t iter = nullptr;
  while (vpx_codec_get_cx_data(started.ctx.get(), &iter) != nullptr) {
  }
  started.pts = 1;
  return true;
}

bool VpxEncoder::Reset(int width, int height, int quality) {
  ctx_.reset();
  have_previous_ = false;
  width_ = width;
  height_ = height;
  refine_band_ = -1;
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
  for (int i = 0; i < 2; ++i) {
    stale_[i].assign(blocks, 0);
    stale_all_[i] = true;  // fresh pictures hold nothing yet
  }
  // A codec prepared for this size is taken; one prepared for another size is of no more use.
  StartedCodec started = std::move(prepared_);
  prepared_ = {};
  if (!started.ctx || started.width != width || started.height != height) {
    started = {};
    if (!StartCodec(width, height, quality, started)) return false;
  }
  ctx_ = std::move(started.ctx);
  cfg_ = started.cfg;
  quality_ = started.quality;
  rate_mode_ = started.mode;
  pts_ = started.pts;
  threads_ = cfg_.g_threads;
  return true;
}

bool VpxEncoder::ApplyRate(int quality, RateMode mode) {
  if (quality == quality_ && mode == rate_mode_) return true;
  quality_ = quality;
  rate_mode_ = mode;
  FillConfig(cfg_, quality, mode);
  return vpx_codec_enc_config_set(ctx_.get(), &cfg_) == VPX_CODEC_OK;
}

int VpxEncoder::RefineBands() const {
  return std::min(settings_.refine_frames, mb_rows_);
}

int VpxEncoder::AddRefineBand() {
  // Band b: block rows [b·rows/bands, (b+1)·rows/bands), none of them empty.
  const int bands = RefineBands();
  const int r0 = refine_band_ * mb_rows_ / bands;
  const int r1 = (refine_band_ + 1) * mb_rows_ / bands;
  std::fill(active_.begin() + static_cast<ptrdiff_t>(r0) * mb_cols_,
            active_.begin() + static_cast<ptrdiff_t>(r1) * mb_cols_, 1);
  return static_cast<int>(std::count(active_.begin(), active_.end(), 1));
}

int VpxEncoder::CompareBlocks(const vpx_image_t& cur, const vpx_image_t& prev,
                              const std::vector<uint8_t>* region) {
  std::fill(changed_.begin(), changed_.end(), 0);
  const int cw = (width_ + 1) / 2, ch = (height_ + 1) / 2;
  auto compare = [&](int x0, int y0, int x1, int y1, uint8_t* marks) {
    MarkChangedBlocks(cur.planes[VPX_PLANE_Y] + y0 * cur.stride[VPX_PLANE_Y] + x0,
                      cur.stride[VPX_PLANE_Y],
                      prev.planes[VPX_PLANE_Y] + y0 * prev.stride[VPX_PLANE_Y] + x0,
                      prev.stride[VPX_PLANE_Y], x1 - x0, y1 - y0, kBlock, marks, mb_cols_);
    const int cx0 = x0 / 2, cy0 = y0 / 2;
    const int cx1 = std::min((x1 + 1) / 2, cw), cy1 = std::min((y1 + 1) / 2, ch);
    for (int p : {VPX_PLANE_U, VPX_PLANE_V}) {
      MarkChangedBlocks(cur.planes[p] + cy0 * cur.stride[p] + cx0, cur.stride[p],
                        prev.planes[p] + cy0 * prev.stride[p] + cx0, prev.stride[p], cx1 - cx0,
                        cy1 - cy0, kBlock / 2, marks, mb_cols_);
    }
  };
  if (!region) {
    compare(0, 0, width_, height_, changed_.data());
  } else {
    // Runs of region blocks along each block row, one comparison per run.
    for (int row = 0; row < mb_rows_; ++row) {
      const uint8_t* r = region->data() + static_cast<size_t>(row) * mb_cols_;
      for (int col = 0; col < mb_cols_;) {
        if (!r[col]) {
          ++col;
          continue;
        }
        int end = col;
        while (end < mb_cols_ && r[end]) ++end;
        compare(col * kBlock, row * kBlock, std::min(end * kBlock, width_),
                std::min((row + 1) * kBlock, height_),
                changed_.data() + static_cast<size_t>(row) * mb_cols_ + col);
        col = end;
      }
    }
  }
  return AgeBlocks();
}

int VpxEncoder::AgeBlocks() {
  int active = 0;
  for (size_t i = 0; i < changed_.size(); ++i) {
    age_[i] = changed_[i] ? 0 : static_cast<uint8_t>(std::min(age_[i] + 1, 255));
    active_[i] = age_[i] <= settings_.settle_frames ? 1 : 0;
    active += active_[i];
  }
  return active;
}

void VpxEncoder::SetActiveMap(int active) {
  // A null map turns the map off (everything active, no segmentation overhead). Both codecs
  // refuse a map, null or not, whose size is not theirs, and then keep the one they had: the
  // rows and columns must always be given.
  vpx_active_map_t map{nullptr, static_cast<unsigned>(mb_rows_), static_cast<unsigned>(mb_cols_)};
  if (active < static_cast<int>(active_.size())) map.active_map = active_.data();
  if (vpx_codec_control(ctx_.get(), VP8E_SET_ACTIVEMAP, &map) != VPX_CODEC_OK) {
    std::fprintf(stderr, "rc_vpx: the codec refused the active map: %s\n",
                 vpx_codec_error(ctx_.get()));
  }
}

bool VpxEncoder::HintChangedRects(int64_t sequence, int64_t previous_sequence, const int32_t* rects,
                                  int32_t count) {
  hint_pending_ = false;
  if (sequence <= 0 || count < 0 || (count > 0 && !rects)) return false;
  hint_sequence_ = sequence;
  hint_previous_ = previous_sequence;
  hint_rects_.assign(rects, rects + static_cast<size_t>(count) * 4);
  hint_pending_ = true;
  return true;
}

void VpxEncoder::ApplyHint() {
  // Trusted only when it describes the change from the image of the previous Encode.
  const bool trusted = hint_pending_ && hint_previous_ > 0 && hint_previous_ == last_sequence_;
  last_sequence_ = hint_pending_ ? hint_sequence_ : 0;
  hint_pending_ = false;
  if (!trusted) {
    stale_all_[0] = stale_all_[1] = true;
    return;
  }
  for (size_t i = 0; i + 3 < hint_rects_.size(); i += 4) {
    // Clipped to the image, in 64 bits so that no sum overflows.
    const int64_t x0 = std::max<int64_t>(hint_rects_[i], 0);
    const int64_t y0 = std::max<int64_t>(hint_rects_[i + 1], 0);
    const int64_t x1 = std::min<int64_t>(int64_t{hint_rects_[i]} + hint_rects_[i + 2], width_);
    const int64_t y1 = std::min<int64_t>(int64_t{hint_rects_[i + 1]} + hint_rects_[i + 3], height_);
    if (x0 >= x1 || y0 >= y1) continue;
    const int c0 = static_cast<int>(x0 / kBlock), c1 = static_cast<int>((x1 - 1) / kBlock);
    const int r0 = static_cast<int>(y0 / kBlock), r1 = static_cast<int>((y1 - 1) / kBlock);
    for (int p = 0; p < 2; ++p) {
      if (stale_all_[p]) continue;
      for (int row = r0; row <= r1; ++row) {
        uint8_t* line = stale_[p].data() + static_cast<size_t>(row) * mb_cols_;
        std::fill(line + c0, line + c1 + 1, 1);
      }
    }
  }
}

void VpxEncoder::ConvertStale(int index, const uint8_t* pixels, int stride) {
  vpx_image_t& pic = *pictures_[index];
  auto convert = [&](int x0, int y0, int x1, int y1) {
    // Block corners are even, so the 2×2 chroma samples are the same as a whole-image pass's.
    const int cx = x0 / 2, cy = y0 / 2;
    libyuv::ARGBToI420(
        pixels + static_cast<size_t>(y0) * stride + static_cast<size_t>(x0) * 4, stride,
        pic.planes[VPX_PLANE_Y] + y0 * pic.stride[VPX_PLANE_Y] + x0, pic.stride[VPX_PLANE_Y],
        pic.planes[VPX_PLANE_U] + cy * pic.stride[VPX_PLANE_U] + cx, pic.stride[VPX_PLANE_U],
        pic.planes[VPX_PLANE_V] + cy * pic.stride[VPX_PLANE_V] + cx, pic.stride[VPX_PLANE_V],
        x1 - x0, y1 - y0);
  };
  std::vector<uint8_t>& stale = stale_[index];
  if (stale_all_[index]) {
    convert(0, 0, width_, height_);
    stale_all_[index] = false;
    std::fill(stale.begin(), stale.end(), 0);
    return;
  }
  for (int row = 0; row < mb_rows_; ++row) {
    uint8_t* r = stale.data() + static_cast<size_t>(row) * mb_cols_;
    for (int col = 0; col < mb_cols_;) {
      if (!r[col]) {
        ++col;
        continue;
      }
      int end = col;
      while (end < mb_cols_ && r[end]) r[end++] = 0;
      convert(col * kBlock, row * kBlock, std::min(end * kBlock, width_),
              std::min((row + 1) * kBlock, height_));
      col = end;
    }
  }
}

bool VpxEncoder::Prepare(int32_t width, int32_t height, int32_t quality) {
  if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide) return false;
  quality = ClampQuality(quality);
  {
    std::unique_lock lock(mutex_);
    prepared_cv_.wait(lock, [&] { return !preparing_; });
    if ((ctx_ && width == width_ && height == height_) ||
        (prepared_.ctx && width == prepared_.width && height == prepared_.height)) {
      return true;
    }
    preparing_ = true;
    preparing_width_ = width;
    preparing_height_ = height;
  }
  // Outside the lock: frames of another size go on meanwhile; one of this size waits for it.
  StartedCodec started;
  const bool ok = StartCodec(width, height, quality, started) && WarmUp(started);
  std::lock_guard lock(mutex_);
  preparing_ = false;
  prepared_cv_.notify_all();
  if (!ok) return false;
  if (!(ctx_ && width == width_ && height == height_)) prepared_ = std::move(started);
  return true;
}

int32_t VpxEncoder::Encode(const uint8_t* pixels, uint8_t* out, int32_t width, int32_t height,
                           int32_t quality, int32_t stride, int32_t flag) {
  std::unique_lock lock(mutex_);
  return EncodeLocked(lock, pixels, out, width, height, quality, stride, flag);
}

int32_t VpxEncoder::EncodeLocked(std::unique_lock<std::mutex>& lock, const uint8_t* pixels,
                                 uint8_t* out, int32_t width, int32_t height, int32_t quality,
                                 int32_t stride, int32_t flag) {
  if (!pixels || !out || flag != RC_VPX_BGRA || width <= 0 || height <= 0 || width > kMaxSide ||
      height > kMaxSide || stride / 4 < width) {
    hint_pending_ = false;
    last_sequence_ = 0;  // no image taken: a later hint cannot refer to this call's
    return 0;
  }
  const size_t capacity = static_cast<size_t>(width) * height * 4;
  if (capacity > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    hint_pending_ = false;
    last_sequence_ = 0;
    return 0;
  }
  quality = ClampQuality(quality);

  if (!ctx_ || width != width_ || height != height_) {
    // A codec being prepared for this size is waited for rather than made twice.
    prepared_cv_.wait(lock, [&] {
      return !preparing_ || preparing_width_ != width || preparing_height_ != height;
    });
    if (!Reset(width, height, quality)) {
      ctx_.reset();
      width_ = height_ = 0;
      hint_pending_ = false;
      last_sequence_ = 0;
      return 0;
    }
    key_requested_.store(true, std::memory_order_relaxed);
  }
  const bool key = key_requested_.exchange(false, std::memory_order_relaxed);
  RateMode mode = RateMode::kNormal;
  if (key) {
    refine_band_ = CoarseKey(width_, height_, quality) ? 0 : -1;
    if (refine_band_ == 0) mode = RateMode::kCoarseKey;
  } else if (refine_band_ >= 0) {
    mode = RateMode::kRefine;
  }
  ApplyHint();

  timings_ = {};
  int64_t t0 = MonotonicNs();
  const int prev = current_ ^ 1;
  vpx_image_t& cur = *pictures_[current_];
  ConvertStale(current_, pixels, stride);
  int64_t t1 = MonotonicNs();
  timings_.conversion_ns = t1 - t0;
  if (settings_.active_map) {
    if (key || !have_previous_) {
      std::fill(age_.begin(), age_.end(), 0);
      last_active_blocks_ = mb_cols_ * mb_rows_;
      SetActiveMap(last_active_blocks_);
    } else {
      // Only where the previous picture is stale can the two differ (see VpxEncoder.h).
      const std::vector<uint8_t>& region = stale_[prev];
      if (stale_all_[prev] || std::find(region.begin(), region.end(), 1) != region.end()) {
        last_active_blocks_ =
            CompareBlocks(cur, *pictures_[prev], stale_all_[prev] ? nullptr : &region);
        // A block found equal to the current picture, which is up to date, is up to date in
        // the previous picture as well: it need not be compared again.
        std::vector<uint8_t>& stale = stale_[prev];
        for (size_t i = 0; i < stale.size(); ++i)
          stale[i] = stale_all_[prev] ? changed_[i] : stale[i] & changed_[i];
        stale_all_[prev] = false;
      } else {
        std::fill(changed_.begin(), changed_.end(), 0);
        last_active_blocks_ = AgeBlocks();
      }
      if (refine_band_ >= 0) last_active_blocks_ = AddRefineBand();
      if (last_active_blocks_ == 0 && codec_ == Codec::kVp9 && settings_.repeat_unchanged) {
        // Uncompressed header: frame_marker 0b10, profile 0 (two zero bits),
        // show_existing_frame 1, frame_to_show_map_idx 0: the slot the codec keeps its last
        // frame in, since only one reference pattern (last, golden, altref in slots 0, 1, 2)
        // is ever used here.
        out[0] = 0x88;
        timings_.analysis_ns = MonotonicNs() - t1;
        return 1;
      }
      SetActiveMap(last_active_blocks_);
    }
  }
  t0 = MonotonicNs();
  timings_.analysis_ns = t0 - t1;
  if (settings_.one_thread_below_pct > 0 && codec_ == Codec::kVp9) {
    const unsigned want =
        !key && last_active_blocks_ * 100 < settings_.one_thread_below_pct * mb_cols_ * mb_rows_
            ? 1u
            : threads_;
    if (want != cfg_.g_threads) {
      cfg_.g_threads = want;
      if (vpx_codec_enc_config_set(ctx_.get(), &cfg_) != VPX_CODEC_OK) {
        ctx_.reset();
        hint_pending_ = false;
        last_sequence_ = 0;
        return 0;
      }
    }
  }
  if (!ApplyRate(quality, mode)) {
    ctx_.reset();  // start again at the next call, with a key frame
    hint_pending_ = false;
    last_sequence_ = 0;
    return 0;
  }
  const int32_t length = Compress(cur, key, out, capacity);
  timings_.codec_ns = MonotonicNs() - t0;
  current_ ^= 1;
  have_previous_ = true;
  if (length > 0 && mode == RateMode::kRefine && ++refine_band_ >= RefineBands()) {
    refine_band_ = -1;
  }
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
