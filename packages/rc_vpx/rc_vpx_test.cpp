// Round trips through the C interface: frames encoded by rc_vpx are decoded by libvpx and
// compared with their source.

#include "packages/rc_vpx/rc_vpx.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "packages/rc_vpx/vpx_test_support.h"
#include "platform/testing/scenes/scenes.h"

namespace {

using namespace rc_vpx::testing;

// Lowest mean PSNR (dB) accepted at the default quality; the benchmark measures about 47 (VP9)
// and 32..34 (VP8) on these scenes.
constexpr double kVp9PsnrFloor = 42.0;
constexpr double kVp8PsnrFloor = 30.0;

struct EncoderDeleter {
  void operator()(void* h) const { Dispose_Encoder(h); }
};
using Encoder = std::unique_ptr<void, EncoderDeleter>;

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

// Encodes through the C interface into a right-sized frame (empty when none was produced).
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

  Encoder enc{Create_Encoder(GetParam())};
  Decoder dec{GetParam()};
};

TEST_P(RoundTrip, SceneFramesDecodeAboveThePsnrFloor) {
  constexpr int kW = 960, kH = 720, kFrames = 12;
  for (int kind : {SCENE_SMALL, SCENE_SCROLL}) {
    SCOPED_TRACE(kind);
    Encoder e(Create_Encoder(selector()));
    Decoder d(selector());
    scene_handle* scene = scene_open(kind, kW, kH);
    ASSERT_NE(scene, nullptr);
    std::vector<uint32_t> px(kW * kH);
    double sum = 0;
    for (int i = 0; i < kFrames; ++i) {
      scene_frame(scene, i, px.data(), kW);
      const auto* bgra = reinterpret_cast<const uint8_t*>(px.data());
      const auto frame = EncodeFrame(e.get(), bgra, kW, kH);
      EXPECT_EQ(HeaderSaysKey(selector(), frame), i == 0) << i;
      const vpx_image_t* img = d.Decode(frame);
      ASSERT_NE(img, nullptr) << i;
      sum += Psnr(bgra, kW, kH, kW * 4, *img);
    }
    scene_close(scene);
    EXPECT_GT(sum / kFrames, floor());
  }
}

// Key frames come first, on request and after a size change, as the header says and as the
// decoder reads it. Odd sizes and rows narrower than the stride decode too.
TEST_P(RoundTrip, KeyFramesFirstOnRequestAndAfterASizeChange) {
  const struct {
    int w, h;
    bool force, key;
  } frames[] = {{320, 240, false, true},  {320, 240, false, false}, {320, 240, true, true},
                {320, 240, false, false}, {161, 97, false, true},   {161, 97, false, false},
                {320, 240, false, true}};
  int i = 0;
  double sum = 0;
  for (const auto& f : frames) {
    SCOPED_TRACE(i);
    const int stride = f.w * 4 + 12;
    const auto px = Pattern(f.w, f.h, i++, stride);
    if (f.force) ForceKeyframe(enc.get());
    const auto frame = EncodeFrame(enc.get(), px.data(), f.w, f.h, 0, stride);
    EXPECT_EQ(HeaderSaysKey(selector(), frame), f.key);
    EXPECT_EQ(DecoderSaysKey(selector(), frame), f.key);
    const vpx_image_t* img = dec.Decode(frame);
    ASSERT_NE(img, nullptr);
    // Per frame a few dB under the floor of the mean (a stale or wrong picture gives about 15).
    const double psnr = Psnr(px.data(), f.w, f.h, stride, *img);
    EXPECT_GT(psnr, floor() - 6);
    sum += psnr;
  }
  EXPECT_GT(sum / std::size(frames), floor());
}

// Quality outside 0..100 counts as its end of the range: only first frames are compared, as VP8
// adapts its speed to the time later frames take.
TEST_P(RoundTrip, HigherQualityGivesHigherPsnrAndMoreBytesAndIsClampedToTheRange) {
  struct Run {
    std::vector<uint8_t> first;
    double psnr = 0;
    size_t bytes = 0;
  };
  auto run = [&](int quality) {
    Encoder e(Create_Encoder(selector()));
    Decoder d(selector());
    Run r;
    for (int i = 0; i < 4; ++i) {
      const auto px = Pattern(352, 288, i * 2);
      const auto frame = EncodeFrame(e.get(), px.data(), 352, 288, quality);
      const vpx_image_t* img = d.Decode(frame);
      EXPECT_NE(img, nullptr) << quality;
      if (img) r.psnr += Psnr(px.data(), 352, 288, 352 * 4, *img);
      r.bytes += frame.size();
      if (i == 0) r.first = frame;
    }
    return r;
  };
  const Run low = run(20), high = run(90);
  EXPECT_GT(high.psnr, low.psnr + 4.0);
  EXPECT_GT(high.bytes, low.bytes);
  EXPECT_EQ(run(-7).first, run(0).first);
  EXPECT_EQ(run(250).first, run(100).first);
}

// VP9 repeats an unchanged picture with one byte that shows the last decoded frame again: the
// last frame, not an older reference (the key frame here, which the codec may still hold in
// another slot). VP8 codes the frame with every block inactive; its loop filter may touch the
// picture once, so only the size and the quality are checked there.
TEST_P(RoundTrip, UnchangedPicturesGiveTinyFramesShowingTheLastPicture) {
  std::vector<uint8_t> shown[2];
  double lastPsnr = 0;
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    const auto px = Pattern(640, 360, i == 0 ? 0 : 3);
    const auto frame = EncodeFrame(enc.get(), px.data(), 640, 360);
    const vpx_image_t* img = dec.Decode(frame);
    ASSERT_NE(img, nullptr);
    const uint8_t* luma = img->planes[0];
    const double psnr = Psnr(px.data(), 640, 360, 640 * 4, *img);
    if (i < 2) {
      shown[i].assign(luma, luma + img->d_h * static_cast<size_t>(img->stride[0]));
      lastPsnr = psnr;
      continue;
    }
    EXPECT_GT(psnr, lastPsnr - 1.0);
    if (selector() == RC_VPX_VP8) {
      EXPECT_LT(frame.size(), 128u);
      continue;
    }
    EXPECT_EQ(frame.size(), 1u);
    EXPECT_TRUE(std::equal(shown[1].begin(), shown[1].end(), luma));
    EXPECT_FALSE(std::equal(shown[0].begin(), shown[0].end(), luma));
  }
}

// ForceKeyframe from another thread while Encode runs: no data race (run under the tsan preset),
// every frame decodes, and a request made between frames is honoured.
TEST_P(RoundTrip, ForceKeyframeFromAnotherThreadWhileEncoding) {
  std::atomic<bool> stop{false};
  std::thread hammer([&] {
    while (!stop.load()) ForceKeyframe(enc.get());
  });
  for (int i = 0; i < 20; ++i) {
    const auto px = Pattern(160, 120, i);
    EXPECT_NE(dec.Decode(EncodeFrame(enc.get(), px.data(), 160, 120)), nullptr) << i;
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
  const auto first = Pattern(kW, kH, 0), other = Pattern(kW, kH, 3);
  auto half = first;
  std::copy(other.begin(), other.begin() + other.size() / 2, half.begin());
  const std::vector<uint8_t>* stream[] = {&first, &first, &half, &other, &first};
  for (const auto* px : stream) {
    const vpx_image_t* img = dec.Decode(EncodeFrame(enc.get(), px->data(), kW, kH));
    ASSERT_NE(img, nullptr);
    // A block left uncoded shows the old picture: about 15 dB against the new one.
    EXPECT_GT(Psnr(px->data(), kW, kH, kW * 4, *img), floor() - 6);
  }
}

// ---- change hints: with right hints the stream is the one made without them

// Frame i of a small animation: the pattern with a 41×23 box that moves by an odd step and
// stands still on frames 4 and 5. BoxAt gives the box's top left corner.
std::pair<int, int> BoxAt(int w, int h, int i) {
  const int step = i == 5 ? 4 : i;
  return {(17 + 13 * step) % (w - 41), (9 + 7 * step) % (h - 23)};
}
std::vector<uint8_t> MovingBox(int w, int h, int stride, int i) {
  auto px = Pattern(w, h, 0, stride);
  const auto [bx, by] = BoxAt(w, h, i);
  const int step = i == 5 ? 4 : i;
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

bool SamePicture(const vpx_image_t& a, const vpx_image_t& b) {
  if (a.d_w != b.d_w || a.d_h != b.d_h) return false;
  for (int p = 0; p < 3; ++p) {
    const unsigned w = p ? (a.d_w + 1) / 2 : a.d_w, h = p ? (a.d_h + 1) / 2 : a.d_h;
    for (unsigned y = 0; y < h; ++y) {
      const uint8_t* row = a.planes[p] + y * a.stride[p];
      if (!std::equal(row, row + w, b.planes[p] + y * b.stride[p])) return false;
    }
  }
  return true;
}

// One stream encoded without hints and one with them, frame by frame: the decoded VP9 pictures
// must be equal, key frames also when decoded on their own. VP8 adapts its speed to the time
// frames take, so two VP8 streams of the same pictures differ a little: there the hinted one
// must show the source as well.
class HintedAndPlain {
 public:
  HintedAndPlain(int selector, int w, int h)
      : selector_(selector), w_(w), h_(h), plainDec_(selector), hintedDec_(selector) {}
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
    const vpx_image_t* pa = plainDec_.Decode(a);
    const vpx_image_t* pb = hintedDec_.Decode(b);
    EXPECT_TRUE(pa && pb);
    if (!pa || !pb) return b.size();
    if (selector_ == RC_VPX_VP8) {
      EXPECT_GT(Psnr(px.data(), w_, h_, stride, *pb), kVp8PsnrFloor);
      return b.size();
    }
    EXPECT_TRUE(SamePicture(*pa, *pb));
    if (HeaderSaysKey(selector_, b)) {
      Decoder fresh(selector_);
      const vpx_image_t* pk = fresh.Decode(b);
      EXPECT_TRUE(pk && SamePicture(*pk, *pa));
    }
    return b.size();
  }

 private:
  int selector_, w_, h_, count_ = 0;
  Encoder plain_{Create_Encoder(selector_)}, hinted_{Create_Encoder(selector_)};
  Decoder plainDec_, hintedDec_;
};

// Odd size and a stride wider than the row: the hinted conversion works on sub-rectangles whose
// chroma must match a whole-image conversion's, the odd last column and row included. Each hint
// names the box where it was and where it is; frame 5 has an empty one.
TEST_P(RoundTrip, RightHintsGiveTheSamePicturesAsNoHints) {
  constexpr int kW = 333, kH = 201, kStride = kW * 4 + 20;
  HintedAndPlain streams(selector(), kW, kH);
  for (int i = 0; i < 10; ++i) {
    SCOPED_TRACE(i);
    if (i == 7) streams.ForceKeyframes();
    const auto [x0, y0] = BoxAt(kW, kH, i - 1);
    const auto [x1, y1] = BoxAt(kW, kH, i);
    const int32_t rects[8] = {x0, y0, 41, 23, x1, y1, 41, 23};
    const int32_t count = (i == 0 || i == 5) ? 0 : 2;
    EXPECT_EQ(Encode_HintChangedRects(streams.hinted(), i + 1, i, rects, count), 1);
    const size_t size = streams.Encode(MovingBox(kW, kH, kStride, i), kStride);
    if (selector() == RC_VPX_VP9 && i == 5) {
      EXPECT_EQ(size, 1u);
    }
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

// Null handles, unknown selectors and every invalid Encode and hint argument give 0 (no frame,
// no hint: an earlier valid one is dropped too). So does a frame that would not fit in
// width × height × 4 bytes (a 1×1 image), which must not be written past the buffer. A good call
// afterwards still works and gives a key frame.
TEST_P(RoundTrip, EveryInvalidCallGivesZeroAndAGoodCallStillWorks) {
  for (int s : {0, 3, -1, 9}) EXPECT_EQ(Create_Encoder(s), nullptr) << s;
  const auto px = Pattern(32, 32, 0), other = Pattern(32, 32, 2);
  std::vector<uint8_t> out(32 * 32 * 4, 0xa5);
  EXPECT_EQ(Encode(nullptr, px.data(), out.data(), 32, 32, 0, 128, 1), 0);
  EXPECT_EQ(Encode_HintChangedRects(nullptr, 1, 0, nullptr, 0), 0);
  ForceKeyframe(nullptr);
  Dispose_Encoder(nullptr);

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
  const uint8_t pixel[4] = {10, 20, 30, 0};
  EXPECT_EQ(Encode(e, pixel, out.data(), 1, 1, 0, 4, RC_VPX_BGRA), 0);
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 0xa5; }));
  ASSERT_EQ(Encode_HintChangedRects(e, 1, 0, nullptr, 0), 1);
  EXPECT_TRUE(HeaderSaysKey(selector(), EncodeFrame(e, px.data(), 32, 32)));

  const int32_t rect[4] = {0, 0, 8, 8};
  ASSERT_EQ(Encode_HintChangedRects(e, 2, 1, nullptr, 0), 1);  // then replaced by:
  EXPECT_EQ(Encode_HintChangedRects(e, 0, 1, rect, 1), 0);
  EXPECT_EQ(Encode_HintChangedRects(e, 2, 1, rect, -1), 0);
  EXPECT_EQ(Encode_HintChangedRects(e, 2, 1, nullptr, 1), 0);
  EXPECT_GT(EncodeFrame(e, other.data(), 32, 32).size(), 1u);  // the change outside rect is seen
}

INSTANTIATE_TEST_SUITE_P(Codecs, RoundTrip, testing::Values(RC_VPX_VP9, RC_VPX_VP8),
                         [](const auto& info) { return info.param == RC_VPX_VP9 ? "Vp9" : "Vp8"; });

}  // namespace
