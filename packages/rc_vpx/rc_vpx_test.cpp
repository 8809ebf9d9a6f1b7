// Round trips through the C interface: frames encoded by rc_vpx are decoded by libvpx and
// compared with their source.

#include "packages/rc_vpx/rc_vpx.h"

#include <gtest/gtest.h>
#include <libyuv/compare.h>
#include <libyuv/convert.h>
#include <vpx/vp8dx.h>
#include <vpx/vpx_decoder.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "bench/scenes/scenes.h"

namespace {

// Lowest mean PSNR (dB) accepted at the default quality; the benchmark measures about 47 (VP9)
// and 32..34 (VP8) on these scenes.
constexpr double kVp9PsnrFloor = 42.0;
constexpr double kVp8PsnrFloor = 30.0;

struct EncoderDeleter {
  void operator()(void* h) const { Dispose_Encoder(h); }
};
using Encoder = std::unique_ptr<void, EncoderDeleter>;

// Key frame read from the bitstream itself: VP9 uncompressed header (frame_marker 0b10, two
// profile bits, show_existing_frame, frame_type 0 = key), VP8 frame tag (bit 0 clear = key).
bool HeaderSaysKey(int selector, const std::vector<uint8_t>& frame) {
  if (frame.empty()) return false;
  const uint8_t b = frame[0];
  if (selector == RC_VPX_VP8) return (b & 1) == 0;
  return (b >> 6) == 2 && (b & 0x30) == 0 && (b & 0x08) == 0 && (b & 0x04) == 0;
}

// A BGRA picture with a deterministic pattern of dark "glyph" bars on light ground; `seed`
// moves the pattern.
std::vector<uint8_t> Pattern(int w, int h, int seed, int stride = 0) {
  if (stride == 0) stride = w * 4;
  std::vector<uint8_t> px(static_cast<size_t>(stride) * h, 0xee);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const bool ink = ((x / 3 + y / 5 + seed) % 7 == 0) && (y % 11 < 8);
      uint8_t* p = &px[static_cast<size_t>(y) * stride + x * 4];
      p[0] = ink ? 40 : 240;
      p[1] = ink ? 30 : static_cast<uint8_t>(200 + (x + seed) % 50);
      p[2] = ink ? 20 : 230;
    }
  }
  return px;
}

class Decoder {
 public:
  explicit Decoder(int selector) {
    vpx_codec_dec_init(&ctx_, selector == RC_VPX_VP8 ? vpx_codec_vp8_dx() : vpx_codec_vp9_dx(),
                       nullptr, 0);
  }
  ~Decoder() { vpx_codec_destroy(&ctx_); }
  // Decodes one frame; returns the picture shown, or null.
  const vpx_image_t* Decode(const std::vector<uint8_t>& frame) {
    if (vpx_codec_decode(&ctx_, frame.data(), static_cast<unsigned>(frame.size()), nullptr, 0) !=
        VPX_CODEC_OK) {
      return nullptr;
    }
    vpx_codec_iter_t it = nullptr;
    return vpx_codec_get_frame(&ctx_, &it);
  }

 private:
  vpx_codec_ctx_t ctx_{};
};

bool DecoderSaysKey(int selector, const std::vector<uint8_t>& frame) {
  vpx_codec_stream_info_t si{};
  si.sz = sizeof(si);
  vpx_codec_peek_stream_info(selector == RC_VPX_VP8 ? vpx_codec_vp8_dx() : vpx_codec_vp9_dx(),
                             frame.data(), static_cast<unsigned>(frame.size()), &si);
  return si.is_kf != 0;
}

double Psnr(const uint8_t* bgra, int w, int h, int stride, const vpx_image_t& img) {
  const int cw = (w + 1) / 2, ch = (h + 1) / 2;
  std::vector<uint8_t> y(w * h), u(cw * ch), v(cw * ch);
  libyuv::ARGBToI420(bgra, stride, y.data(), w, u.data(), cw, v.data(), cw, w, h);
  return libyuv::I420Psnr(y.data(), w, u.data(), cw, v.data(), cw, img.planes[0], img.stride[0],
                          img.planes[1], img.stride[1], img.planes[2], img.stride[2], w, h);
}

// Encodes through the C interface into a right-sized frame.
std::vector<uint8_t> EncodeFrame(void* enc, const uint8_t* px, int w, int h, int quality = 0,
                                 int stride = 0) {
  std::vector<uint8_t> out(static_cast<size_t>(w) * h * 4);
  const int n = Encode(enc, px, out.data(), w, h, quality, stride ? stride : w * 4, RC_VPX_BGRA);
  out.resize(n > 0 ? n : 0);
  return out;
}

class RoundTrip : public testing::TestWithParam<int> {
 protected:
  int selector() const { return GetParam(); }
  double floor() const { return selector() == RC_VPX_VP8 ? kVp8PsnrFloor : kVp9PsnrFloor; }
};

TEST_P(RoundTrip, SceneFramesDecodeAboveThePsnrFloor) {
  constexpr int kW = 960, kH = 720;
  for (int kind : {SCENE_SMALL, SCENE_SCROLL}) {
    SCOPED_TRACE(kind);
    Encoder enc(Create_Encoder(selector()));
    Decoder dec(selector());
    scene_handle* scene = scene_open(kind, kW, kH);
    ASSERT_NE(scene, nullptr);
    std::vector<uint32_t> px(kW * kH);
    double sum = 0;
    constexpr int kFrames = 12;
    for (int i = 0; i < kFrames; ++i) {
      scene_frame(scene, i, px.data(), kW);
      const auto* bgra = reinterpret_cast<const uint8_t*>(px.data());
      const auto frame = EncodeFrame(enc.get(), bgra, kW, kH);
      ASSERT_FALSE(frame.empty()) << i;
      EXPECT_EQ(HeaderSaysKey(selector(), frame), i == 0) << i;
      EXPECT_EQ(DecoderSaysKey(selector(), frame), i == 0) << i;
      const vpx_image_t* img = dec.Decode(frame);
      ASSERT_NE(img, nullptr) << i;
      ASSERT_EQ(static_cast<int>(img->d_w), kW);
      sum += Psnr(bgra, kW, kH, kW * 4, *img);
    }
    scene_close(scene);
    EXPECT_GT(sum / kFrames, floor());
  }
}

TEST_P(RoundTrip, ForceKeyframeMakesTheNextFrameKey) {
  Encoder enc(Create_Encoder(selector()));
  Decoder dec(selector());
  for (int i = 0; i < 6; ++i) {
    if (i == 3) ForceKeyframe(enc.get());
    const auto px = Pattern(320, 240, i);
    const auto frame = EncodeFrame(enc.get(), px.data(), 320, 240);
    ASSERT_FALSE(frame.empty());
    EXPECT_EQ(HeaderSaysKey(selector(), frame), i == 0 || i == 3) << i;
    EXPECT_EQ(DecoderSaysKey(selector(), frame), i == 0 || i == 3) << i;
    EXPECT_NE(dec.Decode(frame), nullptr) << i;
  }
}

TEST_P(RoundTrip, SizeChangeMidStreamDecodesAndStartsWithAKeyFrame) {
  Encoder enc(Create_Encoder(selector()));
  Decoder dec(selector());
  const int sizes[][2] = {{320, 240}, {320, 240}, {161, 97}, {161, 97}, {320, 240}};
  for (int i = 0; i < 5; ++i) {
    const int w = sizes[i][0], h = sizes[i][1];
    const auto px = Pattern(w, h, i);
    const auto frame = EncodeFrame(enc.get(), px.data(), w, h);
    ASSERT_FALSE(frame.empty()) << i;
    EXPECT_EQ(HeaderSaysKey(selector(), frame), i != 1 && i != 3) << i;
    const vpx_image_t* img = dec.Decode(frame);
    ASSERT_NE(img, nullptr) << i;
    EXPECT_EQ(static_cast<int>(img->d_w), w);
    EXPECT_EQ(static_cast<int>(img->d_h), h);
    EXPECT_GT(Psnr(px.data(), w, h, w * 4, *img), floor()) << i;
  }
}

TEST_P(RoundTrip, HigherQualityGivesHigherPsnrAndMoreBytes) {
  auto run = [&](int quality, double* psnr, size_t* bytes) {
    Encoder enc(Create_Encoder(selector()));
    Decoder dec(selector());
    *psnr = 0;
    *bytes = 0;
    for (int i = 0; i < 4; ++i) {
      const auto px = Pattern(352, 288, i * 2);
      const auto frame = EncodeFrame(enc.get(), px.data(), 352, 288, quality);
      const vpx_image_t* img = dec.Decode(frame);
      ASSERT_NE(img, nullptr);
      *psnr += Psnr(px.data(), 352, 288, 352 * 4, *img);
      *bytes += frame.size();
    }
  };
  double low_psnr, high_psnr;
  size_t low_bytes, high_bytes;
  run(20, &low_psnr, &low_bytes);
  run(90, &high_psnr, &high_bytes);
  EXPECT_GT(high_psnr, low_psnr + 4.0);
  EXPECT_GT(high_bytes, low_bytes);
}

TEST_P(RoundTrip, OddSizesAndStrideWiderThanTheRow) {
  for (auto [w, h] : {std::pair{33, 17}, std::pair{17, 33}, std::pair{199, 101}}) {
    SCOPED_TRACE(w);
    Encoder enc(Create_Encoder(selector()));
    Decoder dec(selector());
    const int stride = w * 4 + 12;
    const auto px = Pattern(w, h, 1, stride);
    const auto frame = EncodeFrame(enc.get(), px.data(), w, h, 0, stride);
    ASSERT_FALSE(frame.empty());
    const vpx_image_t* img = dec.Decode(frame);
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(static_cast<int>(img->d_w), w);
    EXPECT_EQ(static_cast<int>(img->d_h), h);
    EXPECT_GT(Psnr(px.data(), w, h, stride, *img), floor() - 4);
  }
}

// VP9 repeats an unchanged picture with a frame that shows the last decoded frame again: it must
// show the last frame, not an older reference (the key frame here, which the codec may still hold
// in another slot). VP8 codes the frame with every block inactive; its loop filter may touch the
// picture once, so only the quality is checked there.
TEST_P(RoundTrip, UnchangedPicturesStillGiveSmallDecodableFrames) {
  Encoder enc(Create_Encoder(selector()));
  Decoder dec(selector());
  std::vector<uint8_t> shown[2];
  double last_psnr = 0;
  for (int i = 0; i < 5; ++i) {
    const auto px = Pattern(640, 360, i == 0 ? 0 : 3);
    const auto frame = EncodeFrame(enc.get(), px.data(), 640, 360);
    ASSERT_FALSE(frame.empty()) << i;
    const vpx_image_t* img = dec.Decode(frame);
    ASSERT_NE(img, nullptr) << i;
    const uint8_t* luma = img->planes[0];
    const size_t size = img->d_h * static_cast<size_t>(img->stride[0]);
    if (i < 2) {
      shown[i].assign(luma, luma + size);
      last_psnr = Psnr(px.data(), 640, 360, 640 * 4, *img);
    } else {
      EXPECT_LT(frame.size(), 128u) << i;
      EXPECT_GT(Psnr(px.data(), 640, 360, 640 * 4, *img), last_psnr - 1.0) << i;
      if (selector() == RC_VPX_VP8) continue;
      EXPECT_TRUE(std::equal(shown[1].begin(), shown[1].end(), luma)) << i;
      EXPECT_FALSE(std::equal(shown[0].begin(), shown[0].end(), luma)) << i;
    }
  }
}

// A frame that does not fit in width × height × 4 bytes (a 1×1 image) must not be written past
// the buffer; the stream goes on with a key frame.
TEST_P(RoundTrip, FrameLargerThanTheOutputBufferGivesNoFrame) {
  Encoder enc(Create_Encoder(selector()));
  const uint8_t pixel[4] = {10, 20, 30, 0};
  std::vector<uint8_t> out(4 + 64, 0xa5);
  EXPECT_EQ(Encode(enc.get(), pixel, out.data(), 1, 1, 0, 4, RC_VPX_BGRA), 0);
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 0xa5; }));
  const auto px = Pattern(64, 64, 0);
  const auto frame = EncodeFrame(enc.get(), px.data(), 64, 64);
  ASSERT_FALSE(frame.empty());
  EXPECT_TRUE(HeaderSaysKey(selector(), frame));
}

// Only the first frame is compared: VP8 adapts its speed to the time later frames take.
TEST_P(RoundTrip, QualityOutsideTheRangeIsClamped) {
  auto stream = [&](int quality) {
    Encoder enc(Create_Encoder(selector()));
    const auto px = Pattern(128, 96, 1);
    return EncodeFrame(enc.get(), px.data(), 128, 96, quality);
  };
  EXPECT_EQ(stream(-7), stream(0));
  EXPECT_EQ(stream(250), stream(100));
}

// ForceKeyframe from another thread while Encode runs: no data race (run under the tsan preset),
// every frame decodes, and a request made between frames is honoured.
TEST_P(RoundTrip, ForceKeyframeFromAnotherThreadWhileEncoding) {
  Encoder enc(Create_Encoder(selector()));
  Decoder dec(selector());
  std::atomic<bool> stop{false};
  std::thread hammer([&] {
    while (!stop.load()) ForceKeyframe(enc.get());
  });
  for (int i = 0; i < 20; ++i) {
    const auto px = Pattern(160, 120, i);
    const auto frame = EncodeFrame(enc.get(), px.data(), 160, 120);
    ASSERT_FALSE(frame.empty());
    EXPECT_NE(dec.Decode(frame), nullptr) << i;
  }
  stop = true;
  hammer.join();
  const auto px = Pattern(160, 120, 99);
  EncodeFrame(enc.get(), px.data(), 160, 120);  // consumes any request left by the hammer
  ForceKeyframe(enc.get());
  EXPECT_TRUE(HeaderSaysKey(selector(), EncodeFrame(enc.get(), px.data(), 160, 120)));
}

// The codec keeps the last active map it was given: a frame where every block changed must
// reach it as "all active", or the blocks that were still in the frame before stay uncoded.
TEST_P(RoundTrip, AWholeChangeAfterAPartialOneIsCodedEverywhere) {
  constexpr int kW = 320, kH = 240;
  Encoder enc(Create_Encoder(selector()));
  Decoder dec(selector());
  auto first = Pattern(kW, kH, 0);
  std::vector<uint8_t> half = first;
  const std::vector<uint8_t> other = Pattern(kW, kH, 3);
  std::copy(other.begin(), other.begin() + other.size() / 2, half.begin());
  const std::vector<uint8_t>* stream[] = {&first, &first, &half, &other, &first};
  for (const std::vector<uint8_t>* px : stream) {
    const auto frame = EncodeFrame(enc.get(), px->data(), kW, kH);
    const vpx_image_t* img = dec.Decode(frame);
    ASSERT_NE(img, nullptr);
    // A block left uncoded shows the old picture: about 15 dB against the new one.
    EXPECT_GT(Psnr(px->data(), kW, kH, kW * 4, *img), floor() - 6);
  }
}

// ---- change hints: with right hints the stream is the one made without them

// Frame i of a small animation: the pattern with a 41×23 box that moves by an odd step and
// stands still on frames 4 and 5 (so that one hint says nothing changed).
std::vector<uint8_t> MovingBox(int w, int h, int stride, int i) {
  auto px = Pattern(w, h, 0, stride);
  const int step = i == 5 ? 4 : i;
  const int bx = (17 + 13 * step) % (w - 41), by = (9 + 7 * step) % (h - 23);
  for (int y = by; y < by + 23; ++y) {
    for (int x = bx; x < bx + 41; ++x) {
      uint8_t* p = &px[static_cast<size_t>(y) * stride + x * 4];
      p[0] = static_cast<uint8_t>(30 * step);
      p[1] = static_cast<uint8_t>(255 - 20 * step);
      p[2] = static_cast<uint8_t>(x * 7 + y);
    }
  }
  return px;
}

// The bounding box (x, y, width, height) of the pixels that differ; nothing when none do.
std::vector<int32_t> ChangedBox(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, int w,
                                int h, int stride) {
  int x0 = w, y0 = h, x1 = -1, y1 = -1;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const size_t o = static_cast<size_t>(y) * stride + x * 4;
      if (std::equal(&a[o], &a[o] + 3, &b[o])) continue;
      x0 = std::min(x0, x), y0 = std::min(y0, y), x1 = std::max(x1, x), y1 = std::max(y1, y);
    }
  }
  if (x1 < 0) return {};
  return {x0, y0, x1 - x0 + 1, y1 - y0 + 1};
}

bool SamePicture(const vpx_image_t& a, const vpx_image_t& b) {
  if (a.d_w != b.d_w || a.d_h != b.d_h) return false;
  for (int p = 0; p < 3; ++p) {
    const unsigned w = p ? (a.d_w + 1) / 2 : a.d_w, h = p ? (a.d_h + 1) / 2 : a.d_h;
    for (unsigned y = 0; y < h; ++y) {
      if (!std::equal(a.planes[p] + y * a.stride[p], a.planes[p] + y * a.stride[p] + w,
                      b.planes[p] + y * b.stride[p])) {
        return false;
      }
    }
  }
  return true;
}

// One stream encoded without hints and one with them, frame by frame: the decoded VP9 pictures
// must be equal, key frames also when decoded on their own.
class HintedAndPlain {
 public:
  HintedAndPlain(int selector, int w, int h)
      : selector_(selector),
        w_(w),
        h_(h),
        plain_(Create_Encoder(selector)),
        hinted_(Create_Encoder(selector)),
        plain_dec_(selector),
        hinted_dec_(selector) {}
  void* hinted() { return hinted_.get(); }
  void ForceKeyframes() {
    ForceKeyframe(plain_.get());
    ForceKeyframe(hinted_.get());
  }
  // Encodes px with both; returns the hinted frame's size.
  size_t Encode(const std::vector<uint8_t>& px, int stride) {
    SCOPED_TRACE(++count_);
    const auto a = EncodeFrame(plain_.get(), px.data(), w_, h_, 0, stride);
    const auto b = EncodeFrame(hinted_.get(), px.data(), w_, h_, 0, stride);
    EXPECT_FALSE(a.empty());
    EXPECT_FALSE(b.empty());
    const vpx_image_t* pa = plain_dec_.Decode(a);
    const vpx_image_t* pb = hinted_dec_.Decode(b);
    EXPECT_TRUE(pa && pb);
    if (!pa || !pb) return b.size();
    if (selector_ == RC_VPX_VP8) {
      // VP8 adapts its speed to the time frames take, so two VP8 streams of the same pictures
      // differ a little: the hinted one must show the source as well.
      EXPECT_GT(Psnr(px.data(), w_, h_, stride, *pb), kVp8PsnrFloor);
      return b.size();
    }
    EXPECT_TRUE(SamePicture(*pa, *pb));
    if (HeaderSaysKey(selector_, b)) {
      Decoder fresh(selector_);
      const vpx_image_t* pk = fresh.Decode(b);
      EXPECT_TRUE(pk && pa && SamePicture(*pk, *pa));
    }
    return b.size();
  }

 private:
  int selector_, w_, h_, count_ = 0;
  Encoder plain_, hinted_;
  Decoder plain_dec_, hinted_dec_;
};

// Odd size and a stride wider than the row: the hinted conversion works on sub-rectangles whose
// chroma must match a whole-image conversion's, the odd last column and row included.
TEST_P(RoundTrip, RightHintsGiveTheSamePicturesAsNoHints) {
  constexpr int kW = 333, kH = 201, kStride = kW * 4 + 20;
  HintedAndPlain streams(selector(), kW, kH);
  std::vector<uint8_t> previous;
  for (int i = 0; i < 10; ++i) {
    SCOPED_TRACE(i);
    const auto px = MovingBox(kW, kH, kStride, i);
    if (i == 7) streams.ForceKeyframes();
    if (i == 0) {
      EXPECT_EQ(Encode_HintChangedRects(streams.hinted(), 1, 0, nullptr, 0), 1);
    } else {
      const auto box = ChangedBox(previous, px, kW, kH, kStride);
      EXPECT_EQ(i == 5, box.empty());
      EXPECT_EQ(Encode_HintChangedRects(streams.hinted(), i + 1, i, box.data(),
                                        static_cast<int32_t>(box.size() / 4)),
                1);
    }
    const size_t size = streams.Encode(px, kStride);
    if (selector() == RC_VPX_VP9 && i == 5) {
      EXPECT_EQ(size, 1u);
    }
    previous = px;
  }
}

// A trusted hint that says "nothing changed" is believed without looking: the picture is
// repeated even though (here, on purpose) the pixels differ. That is what spares a still
// desktop the conversion and the comparison.
TEST(RcVpxHints, ATrustedEmptyHintRepeatsThePictureWithoutLooking) {
  Encoder enc(Create_Encoder(RC_VPX_VP9));
  const auto a = Pattern(320, 240, 0), b = Pattern(320, 240, 3);
  ASSERT_EQ(Encode_HintChangedRects(enc.get(), 7, 0, nullptr, 0), 1);
  ASSERT_GT(EncodeFrame(enc.get(), a.data(), 320, 240).size(), 1u);
  ASSERT_EQ(Encode_HintChangedRects(enc.get(), 8, 7, nullptr, 0), 1);
  EXPECT_EQ(EncodeFrame(enc.get(), b.data(), 320, 240).size(), 1u);
  // Without a hint the change is found.
  EXPECT_GT(EncodeFrame(enc.get(), b.data(), 320, 240).size(), 1u);
}

// Hints that do not follow on from the previous Encode's image are ignored: each case below
// gives an empty (false) hint after changing the picture, and the change must still be coded.
TEST_P(RoundTrip, StaleOrMissingHintsAreNotTrusted) {
  constexpr int kW = 320, kH = 240;
  HintedAndPlain streams(selector(), kW, kH);
  void* e = streams.hinted();
  int seed = 0;
  auto next = [&] { return Pattern(kW, kH, ++seed); };
  std::vector<uint8_t> out(kW * kH * 4);
  ASSERT_EQ(Encode_HintChangedRects(e, 10, 0, nullptr, 0), 1);
  streams.Encode(next(), kW * 4);

  // A previous sequence other than the last image's.
  ASSERT_EQ(Encode_HintChangedRects(e, 12, 11, nullptr, 0), 1);
  EXPECT_GT(streams.Encode(next(), kW * 4), 1u);
  // A hint after an Encode that had none.
  streams.Encode(next(), kW * 4);
  ASSERT_EQ(Encode_HintChangedRects(e, 13, 12, nullptr, 0), 1);
  EXPECT_GT(streams.Encode(next(), kW * 4), 1u);
  // A hint after an Encode that took no image.
  const auto px = next();
  ASSERT_EQ(Encode_HintChangedRects(e, 14, 13, nullptr, 0), 1);
  EXPECT_EQ(Encode(e, px.data(), out.data(), kW, kH, 0, kW * 4, 0), 0);
  ASSERT_EQ(Encode_HintChangedRects(e, 15, 14, nullptr, 0), 1);
  EXPECT_GT(streams.Encode(px, kW * 4), 1u);
  // A hint is used once: the Encode after the next has none.
  ASSERT_EQ(Encode_HintChangedRects(e, 16, 15, nullptr, 0), 1);
  streams.Encode(px, kW * 4);
  EXPECT_GT(streams.Encode(next(), kW * 4), 1u);
}

TEST(RcVpxHints, InvalidHintsAreRefusedAndLeaveNoHint) {
  EXPECT_EQ(Encode_HintChangedRects(nullptr, 1, 0, nullptr, 0), 0);
  Encoder enc(Create_Encoder(RC_VPX_VP9));
  const int32_t rect[4] = {0, 0, 8, 8};
  const auto a = Pattern(64, 64, 0), b = Pattern(64, 64, 2);
  ASSERT_EQ(Encode_HintChangedRects(enc.get(), 1, 0, nullptr, 0), 1);
  ASSERT_FALSE(EncodeFrame(enc.get(), a.data(), 64, 64).empty());
  ASSERT_EQ(Encode_HintChangedRects(enc.get(), 2, 1, nullptr, 0), 1);  // then replaced by:
  EXPECT_EQ(Encode_HintChangedRects(enc.get(), 0, 1, rect, 1), 0);
  EXPECT_EQ(Encode_HintChangedRects(enc.get(), 2, 1, rect, -1), 0);
  EXPECT_EQ(Encode_HintChangedRects(enc.get(), 2, 1, nullptr, 1), 0);
  // No hint left: the change outside `rect` is seen.
  EXPECT_GT(EncodeFrame(enc.get(), b.data(), 64, 64).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Codecs, RoundTrip, testing::Values(RC_VPX_VP9, RC_VPX_VP8),
                         [](const auto& info) { return info.param == RC_VPX_VP9 ? "Vp9" : "Vp8"; });

TEST(RcVpxApi, SelectorsOtherThanOneAndTwoGiveNoEncoder) {
  for (int selector : {0, 3, -1, 9}) EXPECT_EQ(Create_Encoder(selector), nullptr) << selector;
}

TEST(RcVpxApi, NullHandleIsIgnored) {
  const auto px = Pattern(16, 16, 0);
  std::vector<uint8_t> out(16 * 16 * 4);
  EXPECT_EQ(Encode(nullptr, px.data(), out.data(), 16, 16, 0, 64, RC_VPX_BGRA), 0);
  ForceKeyframe(nullptr);
  Dispose_Encoder(nullptr);
}

TEST(RcVpxApi, EveryInvalidArgumentGivesZeroAndAGoodCallStillWorks) {
  Encoder enc(Create_Encoder(RC_VPX_VP9));
  const auto px = Pattern(32, 32, 0);
  std::vector<uint8_t> out(32 * 32 * 4);
  void* e = enc.get();
  EXPECT_EQ(Encode(e, nullptr, out.data(), 32, 32, 0, 128, 1), 0);
  EXPECT_EQ(Encode(e, px.data(), nullptr, 32, 32, 0, 128, 1), 0);
  for (int flag : {0, 2, -1}) EXPECT_EQ(Encode(e, px.data(), out.data(), 32, 32, 0, 128, flag), 0);
  for (int w : {0, -32}) EXPECT_EQ(Encode(e, px.data(), out.data(), w, 32, 0, 128, 1), 0);
  for (int h : {0, -32}) EXPECT_EQ(Encode(e, px.data(), out.data(), 32, h, 0, 128, 1), 0);
  for (int stride : {127, 0, -128}) {
    EXPECT_EQ(Encode(e, px.data(), out.data(), 32, 32, 0, stride, 1), 0);
  }
  EXPECT_EQ(Encode(e, px.data(), out.data(), 100000, 1, 0, 400000, 1), 0);  // beyond the codec
  const int n = Encode(e, px.data(), out.data(), 32, 32, 0, 128, 1);
  ASSERT_GT(n, 0);
  EXPECT_TRUE(HeaderSaysKey(RC_VPX_VP9, std::vector<uint8_t>(out.begin(), out.begin() + n)));
}

}  // namespace

TEST(RcVpxApi, LastTimingsSplitConversionFromTheCodec) {
  int64_t conversion = -1, analysis = -1, codec = -1;
  EXPECT_EQ(Encode_LastTimings(nullptr, &conversion, &analysis, &codec), 0);
  EXPECT_EQ(conversion, -1);  // untouched

  Encoder enc(Create_Encoder(RC_VPX_VP9));
  const auto first = Pattern(320, 240, 0);
  ASSERT_FALSE(EncodeFrame(enc.get(), first.data(), 320, 240).empty());
  ASSERT_EQ(Encode_LastTimings(enc.get(), &conversion, &analysis, &codec), 1);
  EXPECT_GT(conversion, 0);
  EXPECT_GT(codec, 0);  // the key frame ran the codec
  EXPECT_GE(analysis, 0);

  // An unchanged picture is repeated without the codec: its codec time is zero, the conversion
  // and the comparison still ran.
  ASSERT_FALSE(EncodeFrame(enc.get(), first.data(), 320, 240).empty());
  ASSERT_EQ(Encode_LastTimings(enc.get(), &conversion, nullptr, &codec), 1);
  EXPECT_GT(conversion, 0);
  EXPECT_EQ(codec, 0);
}
