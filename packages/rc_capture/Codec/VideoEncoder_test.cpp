#include "packages/rc_capture/Codec/VideoEncoder.h"

#include <gtest/gtest.h>
#include <libyuv.h>
#include <vpx/vp8dx.h>
#include <vpx/vpx_decoder.h>

#include <limits>

#include "packages/rc_capture/Wrapper/fake_vpx.h"
#include "platform/desktop/sim/SimDesktop.h"

namespace rc_capture {
namespace {

using desktop::CGImage;
using desktop::CGImageRef;
using testing::FakeByte;
using testing::g_fakeVpx;

// ---- the buffer logic, against the fake rc_vpx

class VideoEncoderBufferTest : public testing::FakeVpxTest {
 protected:
  void SetUp() override {
    FakeVpxTest::SetUp();
    encoder->init();
  }
  std::shared_ptr<VideoEncoder> encoder = std::make_shared<VideoEncoder>();
};

TEST_F(VideoEncoderBufferTest, TheBufferIsReusedForTheSameSizeAndRemadeForANewOne) {
  ASSERT_TRUE(encoder->encode(CGImage::Allocate(8, 6)));
  const uint8_t* first = encoder->encBuffForTesting();
  EXPECT_EQ(g_fakeVpx.lastOut, first);
  ASSERT_TRUE(encoder->encode(CGImage::Allocate(8, 6)));
  EXPECT_EQ(encoder->encBuffForTesting(), first);

  // The fake writes width × height × 4 bytes: a buffer sized for the old image would overflow.
  ASSERT_TRUE(encoder->encode(CGImage::Allocate(20, 10)));
  EXPECT_EQ(encoder->encWidthForTesting(), 20);
  EXPECT_EQ(encoder->encHeightForTesting(), 10);
  EXPECT_EQ(g_fakeVpx.lastOut, encoder->encBuffForTesting());
  EXPECT_EQ(g_fakeVpx.lastWidth, 20);
  EXPECT_EQ(g_fakeVpx.lastHeight, 10);
  EXPECT_EQ(g_fakeVpx.lastStride, 80);
  EXPECT_EQ(g_fakeVpx.lastFlag, 1);
}

TEST_F(VideoEncoderBufferTest, TheResultIsExactlyTheBytesTheEncoderReports) {
  g_fakeVpx.encodeResult = 1234;
  auto data = encoder->encode(CGImage::Allocate(32, 32));
  ASSERT_TRUE(data);
  ASSERT_EQ(data->size(), 1234u);
  for (size_t i = 0; i < data->size(); ++i) ASSERT_EQ((*data)[i], FakeByte(i)) << i;
}

TEST_F(VideoEncoderBufferTest, NoFrameWhenTheEncoderProducesNothing) {
  for (int32_t result : {0, -1, std::numeric_limits<int32_t>::min()}) {
    g_fakeVpx.encodeResult = result;
    EXPECT_FALSE(encoder->encode(CGImage::Allocate(4, 4))) << result;
  }
}

TEST_F(VideoEncoderBufferTest, QualityOutsideThe32BitRangeIsClampedWhenHandedOver) {
  const struct {
    int64_t set;
    int32_t handed;
  } cases[] = {{0, 0},
               {77, 77},
               {-3, -3},
               {int64_t{1} << 40, std::numeric_limits<int32_t>::max()},
               {-(int64_t{1} << 40), std::numeric_limits<int32_t>::min()},
               {std::numeric_limits<int64_t>::min(), std::numeric_limits<int32_t>::min()}};
  for (const auto& c : cases) {
    encoder->encProfile = c.set;
    ASSERT_TRUE(encoder->encode(CGImage::Allocate(4, 4)));
    EXPECT_EQ(g_fakeVpx.lastQuality, c.handed) << c.set;
  }
}

TEST_F(VideoEncoderBufferTest, ImagesTheInterfaceCannotDescribeAreRefusedWithoutACall) {
  EXPECT_FALSE(encoder->encode(nullptr));
  auto narrowStride = std::make_shared<CGImage>(*CGImage::Allocate(8, 8));
  narrowStride->bytesPerRow = 8;
  EXPECT_FALSE(encoder->encode(narrowStride));
  auto huge = std::make_shared<CGImage>(*CGImage::Allocate(1, 1));
  huge->width = int64_t{1} << 31;
  huge->bytesPerRow = huge->width * 4;
  EXPECT_FALSE(encoder->encode(huge));
  EXPECT_EQ(g_fakeVpx.encodes, 0);
}

TEST_F(VideoEncoderBufferTest, SetIframeAsksTheSharedEncoder) {
  encoder->SetIframe();
  EXPECT_EQ(g_fakeVpx.keyframes, 1);
}

TEST_F(VideoEncoderBufferTest, DisposeFreesTheBufferAndTheEncoder) {
  ASSERT_TRUE(encoder->encode(CGImage::Allocate(4, 4)));
  encoder->Dispose(nullptr);
  EXPECT_EQ(encoder->encBuffForTesting(), nullptr);
  EXPECT_EQ(g_pEncoder, nullptr);
  EXPECT_TRUE(encoder->isDisposed());
  EXPECT_FALSE(encoder->encode(CGImage::Allocate(4, 4)));
}

// ---- change hints

CGImageRef Numbered(int64_t sequence, std::optional<CGImage::ChangeHint> changes = std::nullopt) {
  auto image = CGImage::Allocate(100, 50);
  image->sequence = sequence;
  image->changes = std::move(changes);
  return image;
}

TEST_F(VideoEncoderBufferTest, ANumberedImageSendsItsHintRightBeforeItsEncode) {
  ASSERT_TRUE(encoder->encode(CGImage::Allocate(100, 50)));
  EXPECT_EQ(g_fakeVpx.hints, 0);  // not numbered: no hint

  ASSERT_TRUE(encoder->encode(Numbered(5)));  // numbered, no change information
  EXPECT_EQ(g_fakeVpx.hints, 1);
  EXPECT_EQ(g_fakeVpx.encodesAtLastHint, 1);
  EXPECT_EQ(g_fakeVpx.hintSequence, 5);
  EXPECT_EQ(g_fakeVpx.hintPrevious, 0);

  // Rectangles become whole pixels covering them, clipped to the image; empty ones are dropped.
  ASSERT_TRUE(encoder->encode(Numbered(
      6,
      CGImage::ChangeHint{
          5,
          {{{1.5, 2.25}, {3, 4}}, {{90, 40}, {30, 30}}, {{-8, 1}, {10, 0}}, {{200, 0}, {5, 5}}}})));
  EXPECT_EQ(g_fakeVpx.encodesAtLastHint, 2);
  EXPECT_EQ(g_fakeVpx.hintSequence, 6);
  EXPECT_EQ(g_fakeVpx.hintPrevious, 5);
  EXPECT_EQ(g_fakeVpx.hintRects, (std::vector<int32_t>{1, 2, 4, 5, 90, 40, 10, 10}));

  // The same image again (a re-send) counts as unchanged.
  auto image = Numbered(7, CGImage::ChangeHint{6, {{{0, 0}, {100, 50}}}});
  ASSERT_TRUE(encoder->encode(image));
  ASSERT_TRUE(encoder->encode(image));
  EXPECT_EQ(g_fakeVpx.hintSequence, 7);
  EXPECT_EQ(g_fakeVpx.hintPrevious, 7);
  EXPECT_TRUE(g_fakeVpx.hintRects.empty());
}

TEST_F(VideoEncoderBufferTest, AHintThatCannotBeReadBecomesEverythingChanged) {
  const double inf = std::numeric_limits<double>::infinity();
  ASSERT_TRUE(encoder->encode(Numbered(3, CGImage::ChangeHint{2, {{{0, 0}, {inf, 1}}}})));
  EXPECT_EQ(g_fakeVpx.hintPrevious, 0);
  EXPECT_TRUE(g_fakeVpx.hintRects.empty());
}

// ---- real round trips: rc_vpx's VP9 frames through libvpx's VP9 decoder

// Lowest PSNR (dB, over Y, U and V) accepted for each frame of the simulated scene at the default
// quality. Measured: 38.2-48.8 dB over the first 12 frames at 320 × 200 (key frame 48.8, then
// inter frames of 150-660 bytes), 47-52 dB across the size changes.
constexpr double kDefaultQualityPsnrFloor = 32.0;

class Vp9Decoder {
 public:
  Vp9Decoder() { ok_ = vpx_codec_dec_init(&ctx_, vpx_codec_vp9_dx(), nullptr, 0) == VPX_CODEC_OK; }
  ~Vp9Decoder() {
    if (ok_) vpx_codec_destroy(&ctx_);
  }
  // The picture of one frame, or null when it does not decode.
  const vpx_image_t* decode(const std::vector<uint8_t>& frame) {
    if (!ok_ || vpx_codec_decode(&ctx_, frame.data(), static_cast<unsigned>(frame.size()), nullptr,
                                 0) != VPX_CODEC_OK) {
      return nullptr;
    }
    vpx_codec_iter_t iter = nullptr;
    return vpx_codec_get_frame(&ctx_, &iter);
  }

 private:
  vpx_codec_ctx_t ctx_{};
  bool ok_ = false;
};

// VP9 uncompressed header, profile 0: frame_marker (2 bits, 0b10), profile (2 bits),
// show_existing_frame (1 bit), frame_type (1 bit, 0 = key frame).
bool IsVp9KeyFrame(const std::vector<uint8_t>& frame) {
  if (frame.empty() || (frame[0] >> 6) != 2 || (frame[0] & 0x30) != 0) return false;
  const bool showExisting = frame[0] & 0x08;
  return !showExisting && (frame[0] & 0x04) == 0;
}

double Psnr(const CGImageRef& source, const vpx_image_t& decoded) {
  const int w = static_cast<int>(source->width), h = static_cast<int>(source->height);
  EXPECT_EQ(static_cast<int>(decoded.d_w), w);
  EXPECT_EQ(static_cast<int>(decoded.d_h), h);
  if (static_cast<int>(decoded.d_w) != w || static_cast<int>(decoded.d_h) != h) return 0;
  const int cw = (w + 1) / 2, ch = (h + 1) / 2;
  std::vector<uint8_t> y(w * h), u(cw * ch), v(cw * ch);
  libyuv::ARGBToI420(source->data, static_cast<int>(source->bytesPerRow), y.data(), w, u.data(), cw,
                     v.data(), cw, w, h);
  return libyuv::I420Psnr(y.data(), w, u.data(), cw, v.data(), cw, decoded.planes[0],
                          decoded.stride[0], decoded.planes[1], decoded.stride[1],
                          decoded.planes[2], decoded.stride[2], w, h);
}

class VideoEncoderRoundTripTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VpxDispose_Encoder();
    encoder->init();
    ASSERT_NE(g_pEncoder, nullptr);
  }
  void TearDown() override { encoder->Dispose(nullptr); }

  CGImageRef frame(int64_t n, int64_t w = 320, int64_t h = 200) {
    scene->setDisplaySize(w, h);
    return scene->renderFrame(n);
  }

  std::shared_ptr<desktop::sim::SimDesktop> scene = desktop::sim::SimDesktop::Create();
  std::shared_ptr<VideoEncoder> encoder = std::make_shared<VideoEncoder>();
  Vp9Decoder decoder;
};

TEST_F(VideoEncoderRoundTripTest, TheSceneDecodesAboveThePsnrFloorAtTheDefaultQuality) {
  for (int64_t n = 0; n < 12; ++n) {
    auto image = frame(n);
    auto data = encoder->encode(image);
    ASSERT_TRUE(data) << n;
    EXPECT_EQ(IsVp9KeyFrame(*data), n == 0) << n;
    const vpx_image_t* picture = decoder.decode(*data);
    ASSERT_NE(picture, nullptr) << n;
    EXPECT_GT(Psnr(image, *picture), kDefaultQualityPsnrFloor) << n;
  }
}

// Through real rc_vpx: a numbered image whose hint says nothing changed is repeated in one
// byte; a re-send of the same image after SetIframe is a complete key frame.
TEST_F(VideoEncoderRoundTripTest, HintsReachTheEncoderAndKeyFramesStayComplete) {
  auto first = frame(0);
  auto numbered = [](const CGImageRef& image, int64_t sequence, int64_t since) {
    auto copy = std::make_shared<CGImage>(*image);
    copy->sequence = sequence;
    copy->changes = CGImage::ChangeHint{since, {}};
    return CGImageRef(copy);
  };
  ASSERT_TRUE(encoder->encode(numbered(first, 1, 0)));
  auto still = numbered(first, 2, 1);
  auto data = encoder->encode(still);
  ASSERT_TRUE(data);
  EXPECT_EQ(data->size(), 1u);
  encoder->SetIframe();
  data = encoder->encode(still);
  ASSERT_TRUE(data);
  ASSERT_TRUE(IsVp9KeyFrame(*data));
  Vp9Decoder fresh;
  const vpx_image_t* picture = fresh.decode(*data);
  ASSERT_NE(picture, nullptr);
  EXPECT_GT(Psnr(first, *picture), kDefaultQualityPsnrFloor);
}

TEST_F(VideoEncoderRoundTripTest, SetIframeMakesTheNextFrameAKeyFrame) {
  std::vector<bool> keys;
  for (int64_t n = 0; n < 6; ++n) {
    if (n == 3) encoder->SetIframe();
    auto data = encoder->encode(frame(n));
    ASSERT_TRUE(data);
    ASSERT_NE(decoder.decode(*data), nullptr);
    keys.push_back(IsVp9KeyFrame(*data));
  }
  EXPECT_EQ(keys, (std::vector<bool>{true, false, false, true, false, false}));
}

TEST_F(VideoEncoderRoundTripTest, ASizeChangeMidStreamDecodes) {
  const struct {
    int64_t w, h;
  } sizes[] = {{320, 200}, {320, 200}, {640, 360}, {640, 360}, {161, 99}, {320, 200}};
  int64_t n = 0;
  for (const auto& s : sizes) {
    auto image = frame(n++, s.w, s.h);
    auto data = encoder->encode(image);
    ASSERT_TRUE(data);
    EXPECT_EQ(encoder->encWidthForTesting(), s.w);
    const vpx_image_t* picture = decoder.decode(*data);
    ASSERT_NE(picture, nullptr) << s.w << "x" << s.h;
    EXPECT_GT(Psnr(image, *picture), kDefaultQualityPsnrFloor);
  }
}

TEST_F(VideoEncoderRoundTripTest, HigherQualityGivesAHigherPsnrAndMoreBytes) {
  auto run = [&](int64_t quality) {
    VpxDispose_Encoder();
    auto enc = std::make_shared<VideoEncoder>();
    enc->init();
    enc->encProfile = quality;
    Vp9Decoder dec;
    double psnr = 0;
    size_t bytes = 0;
    for (int64_t n = 0; n < 8; ++n) {
      auto image = frame(n);
      auto data = enc->encode(image);
      EXPECT_TRUE(data);
      if (!data) break;
      bytes += data->size();
      const vpx_image_t* picture = dec.decode(*data);
      EXPECT_NE(picture, nullptr);
      if (picture) psnr += Psnr(image, *picture) / 8;
    }
    enc->Dispose(nullptr);
    return std::pair{psnr, bytes};
  };
  const auto [lowPsnr, lowBytes] = run(20);
  const auto [highPsnr, highBytes] = run(90);
  EXPECT_GT(highPsnr, lowPsnr + 3.0);
  EXPECT_GT(highBytes, lowBytes);
  encoder->init();  // for TearDown
}

}  // namespace
}  // namespace rc_capture
