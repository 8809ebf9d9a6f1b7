#include "packages/rc_capture/Codec/VideoEncoder.h"

#include <gtest/gtest.h>

#include <limits>

#include "packages/rc_capture/capture_test_support.h"
#include "packages/rc_vpx/vpx_test_support.h"
#include "platform/desktop/sim/SimDesktop.h"

namespace rc_capture {
namespace {

using desktop::CGImage;
using desktop::CGImageRef;
using testing::g_fakeVpx;
constexpr int32_t kInt32Max = std::numeric_limits<int32_t>::max();
constexpr int32_t kInt32Min = std::numeric_limits<int32_t>::min();

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
  EXPECT_EQ(g_fakeVpx.lastOut, encoder->encBuffForTesting());
  EXPECT_EQ(encoder->encWidthForTesting(), 20);
  EXPECT_EQ(encoder->encHeightForTesting(), 10);
  EXPECT_EQ(g_fakeVpx.lastStride, 80);
}

TEST_F(VideoEncoderBufferTest, TheFrameIsExactlyTheFirstNBytesOrAbsentForNBelowOne) {
  for (int32_t result : {1234, 1, 0, -1, kInt32Min}) {
    g_fakeVpx.encodeResult = result;
    auto data = encoder->encode(CGImage::Allocate(32, 32));
    ASSERT_EQ(data.has_value(), result > 0) << result;
    if (!data) continue;
    ASSERT_EQ(data->size(), static_cast<size_t>(result));
    for (size_t i = 0; i < data->size(); ++i) ASSERT_EQ((*data)[i], testing::FakeByte(i)) << i;
  }
}

TEST_F(VideoEncoderBufferTest, QualityOutsideThe32BitRangeIsClampedWhenHandedOver) {
  const std::pair<int64_t, int32_t> cases[] = {{77, 77},
                                               {-3, -3},
                                               {int64_t{1} << 40, kInt32Max},
                                               {std::numeric_limits<int64_t>::min(), kInt32Min}};
  for (const auto& [set, handed] : cases) {
    encoder->encProfile = set;
    ASSERT_TRUE(encoder->encode(CGImage::Allocate(4, 4)));
    EXPECT_EQ(g_fakeVpx.lastQuality, handed) << set;
  }
}

// Sizes must fit the interface's 32-bit values and the buffer's width × height × 4 bytes.
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

// A numbered image's hint goes to the encoder right before its encode. Rectangles become whole
// pixels covering them, clipped to the image; empty ones are dropped. A re-send of the same image
// counts as unchanged; a hint that cannot be read counts as everything changed.
TEST_F(VideoEncoderBufferTest, ChangeHintsAreHandedToTheEncoder) {
  auto numbered = [](int64_t sequence, std::optional<CGImage::ChangeHint> changes) {
    auto image = CGImage::Allocate(100, 50);
    image->sequence = sequence;
    image->changes = std::move(changes);
    return image;
  };
  ASSERT_TRUE(encoder->encode(CGImage::Allocate(100, 50)));
  EXPECT_EQ(g_fakeVpx.hints, 0);  // not numbered: no hint

  ASSERT_TRUE(encoder->encode(numbered(5, std::nullopt)));
  EXPECT_EQ(g_fakeVpx.encodesAtLastHint, 1);
  EXPECT_EQ(g_fakeVpx.hintSequence, 5);
  EXPECT_EQ(g_fakeVpx.hintPrevious, 0);

  ASSERT_TRUE(encoder->encode(numbered(
      6,
      CGImage::ChangeHint{
          5,
          {{{1.5, 2.25}, {3, 4}}, {{90, 40}, {30, 30}}, {{-8, 1}, {10, 0}}, {{200, 0}, {5, 5}}}})));
  EXPECT_EQ(g_fakeVpx.encodesAtLastHint, 2);
  EXPECT_EQ(g_fakeVpx.hintPrevious, 5);
  EXPECT_EQ(g_fakeVpx.hintRects, (std::vector<int32_t>{1, 2, 4, 5, 90, 40, 10, 10}));

  auto image = numbered(7, CGImage::ChangeHint{6, {{{0, 0}, {100, 50}}}});
  ASSERT_TRUE(encoder->encode(image));
  ASSERT_TRUE(encoder->encode(image));
  EXPECT_EQ(g_fakeVpx.hintSequence, 7);
  EXPECT_EQ(g_fakeVpx.hintPrevious, 7);
  EXPECT_TRUE(g_fakeVpx.hintRects.empty());

  const double inf = std::numeric_limits<double>::infinity();
  ASSERT_TRUE(encoder->encode(numbered(8, CGImage::ChangeHint{7, {{{0, 0}, {inf, 1}}}})));
  EXPECT_EQ(g_fakeVpx.hintPrevious, 0);
  EXPECT_TRUE(g_fakeVpx.hintRects.empty());
}

// ---- real round trips: rc_vpx's VP9 frames through libvpx's VP9 decoder

// Lowest PSNR (dB) accepted for each frame of the simulated scene at the default quality.
// Measured: 38.2-48.8 dB at 320 × 200, 47-52 dB across the size changes.
constexpr double kDefaultQualityPsnrFloor = 32.0;

class VideoEncoderRoundTripTest : public ::testing::Test {
 protected:
  void SetUp() override { VpxDispose_Encoder(); }
  void TearDown() override { VpxDispose_Encoder(); }

  // Frame n of the simulated scene at w × h.
  CGImageRef frame(int64_t n, int64_t w = 320, int64_t h = 200) {
    scene->setDisplaySize(w, h);
    return scene->renderFrame(n);
  }
  // 0 when the frame did not decode.
  double psnr(const CGImageRef& source, const vpx_image_t* decoded) {
    return decoded ? rc_vpx::testing::Psnr(source->data, static_cast<int>(source->width),
                                           static_cast<int>(source->height),
                                           static_cast<int>(source->bytesPerRow), *decoded)
                   : 0;
  }

  std::shared_ptr<desktop::sim::SimDesktop> scene = desktop::sim::SimDesktop::Create();
  rc_vpx::testing::Decoder decoder{RC_VPX_VP9};
};

// Key frames first and after SetIframe, as the frame header says; sizes change mid-stream.
TEST_F(VideoEncoderRoundTripTest, TheSceneDecodesAboveThePsnrFloorAcrossKeyFramesAndSizes) {
  const struct {
    int64_t w, h;
    bool setIframe, key;
  } frames[] = {{320, 200, false, true},  {320, 200, false, false}, {320, 200, true, true},
                {320, 200, false, false}, {640, 360, false, true},  {640, 360, false, false},
                {161, 99, false, true},   {320, 200, false, true}};
  auto encoder = std::make_shared<VideoEncoder>();
  encoder->init();
  int64_t n = 0;
  for (const auto& f : frames) {
    SCOPED_TRACE(n);
    auto image = frame(n++, f.w, f.h);
    if (f.setIframe) encoder->SetIframe();
    auto data = encoder->encode(image);
    ASSERT_TRUE(data);
    EXPECT_EQ(rc_vpx::testing::HeaderSaysKey(RC_VPX_VP9, *data), f.key);
    EXPECT_GT(psnr(image, decoder.Decode(*data)), kDefaultQualityPsnrFloor);
  }
  encoder->Dispose(nullptr);
}

TEST_F(VideoEncoderRoundTripTest, HigherQualityGivesAHigherPsnrAndMoreBytes) {
  auto run = [&](int64_t quality) {
    VpxDispose_Encoder();
    auto encoder = std::make_shared<VideoEncoder>();
    encoder->init();
    encoder->encProfile = quality;
    rc_vpx::testing::Decoder dec(RC_VPX_VP9);
    std::pair<double, size_t> total{0, 0};
    for (int64_t n = 0; n < 8; ++n) {
      auto image = frame(n);
      auto data = encoder->encode(image);
      EXPECT_TRUE(data);
      if (!data) break;
      total.first += psnr(image, dec.Decode(*data)) / 8;
      total.second += data->size();
    }
    encoder->Dispose(nullptr);
    return total;
  };
  const auto [lowPsnr, lowBytes] = run(20);
  const auto [highPsnr, highBytes] = run(90);
  EXPECT_GT(highPsnr, lowPsnr + 3.0);
  EXPECT_GT(highBytes, lowBytes);
}

}  // namespace
}  // namespace rc_capture
