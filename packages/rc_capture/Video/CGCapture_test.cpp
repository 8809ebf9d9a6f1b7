#include "packages/rc_capture/Video/CGCapture.h"

#include <gtest/gtest.h>
#include <png.h>

#include "packages/rc_capture/Wrapper/fake_vpx.h"
#include "platform/desktop/sim/SimDesktop.h"
#include "platform/desktop/sim/testing/SimDesktopFixture.h"

namespace rc_capture {
namespace {

using desktop::sim::SimDesktop;
using testing::g_fakeVpx;

struct PngSize {
  uint32_t width = 0;
  uint32_t height = 0;
};

// The size of a PNG, decoded in full with libpng; nothing when it does not decode.
std::optional<PngSize> DecodePng(const std::vector<uint8_t>& bytes) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) return std::nullopt;
  image.format = PNG_FORMAT_RGBA;
  std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) return std::nullopt;
  return PngSize{image.width, image.height};
}

struct Delivered {
  std::vector<uint8_t> data;
  std::optional<BaseCapture::CursorFrame> cursor;
};

class CGCaptureTest : public testing::FakeVpxTest {
 protected:
  void SetUp() override {
    FakeVpxTest::SetUp();
    capture->init();
    capture->evCaptureFrame = [this](std::vector<uint8_t> data,
                                     std::optional<BaseCapture::CursorFrame> cursor) {
      frames.push_back({std::move(data), std::move(cursor)});
    };
  }
  void TearDown() override {
    capture->Dispose(nullptr);
    FakeVpxTest::TearDown();
  }

  desktop::sim::testing::ScopedSimDesktop sim;
  std::shared_ptr<CGCapture> capture = std::make_shared<CGCapture>();
  std::vector<Delivered> frames;
};

TEST_F(CGCaptureTest, TheCursorRecordTruncatesSizeAndHotSpotAndDrawsThePngAtThatSize) {
  sim->setCursor(SimDesktop::MakeCursor(33, 33, {32.7, 32.2}, {4.9, 4.1}));
  auto cursor = capture->makeMouseCursorPacket();
  ASSERT_TRUE(cursor);
  EXPECT_EQ(cursor->width, 32);
  EXPECT_EQ(cursor->height, 32);
  EXPECT_EQ(cursor->x, 4);
  EXPECT_EQ(cursor->y, 4);
  auto png = DecodePng(cursor->image);
  ASSERT_TRUE(png);
  EXPECT_EQ(png->width, 32u);
  EXPECT_EQ(png->height, 32u);
}

TEST_F(CGCaptureTest, NoCursorRecordWithoutACursorOrItsImage) {
  sim->setCursor(std::nullopt);
  EXPECT_FALSE(capture->makeMouseCursorPacket());
  sim->setCursor(desktop::CursorImage{std::nullopt, {1, 1}});
  EXPECT_FALSE(capture->makeMouseCursorPacket());
  // A cursor smaller than one point has no PNG, hence no record.
  sim->setCursor(SimDesktop::MakeCursor(4, 4, {0.5, 0.5}, {0, 0}));
  EXPECT_FALSE(capture->makeMouseCursorPacket());
}

TEST_F(CGCaptureTest, ATickGrabsTheDesktopAndDeliversTheFrameWithTheCursor) {
  sim->setDisplaySize(64, 48);
  g_fakeVpx.encodeResult = 10;
  capture->ThreadProc();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].data.size(), 10u);
  ASSERT_TRUE(frames[0].cursor);
  EXPECT_EQ(frames[0].cursor->width, 16);
  EXPECT_EQ(frames[0].cursor->x, 1);
  EXPECT_EQ(g_fakeVpx.lastWidth, 64);
  EXPECT_EQ(g_fakeVpx.lastHeight, 48);
  EXPECT_EQ(capture->lastImageForTesting()->width, 64);

  sim->setCursor(std::nullopt);
  capture->ThreadProc();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_FALSE(frames[1].cursor);
}

TEST_F(CGCaptureTest, SendFrameBeforeTheFirstTickSendsNothing) {
  capture->SendFrame();
  EXPECT_TRUE(frames.empty());
  EXPECT_EQ(g_fakeVpx.encodes, 0);
}

TEST_F(CGCaptureTest, AFailedGrabClearsTheLastImageSoARestartSendsNothing) {
  capture->ThreadProc();
  ASSERT_EQ(frames.size(), 1u);
  sim->failNextGrabs(1);
  capture->ThreadProc();
  EXPECT_EQ(capture->lastImageForTesting(), nullptr);
  capture->SendFrame();
  EXPECT_EQ(frames.size(), 1u);
}

TEST_F(CGCaptureTest, NoFrameWhenTheEncoderProducesNothing) {
  g_fakeVpx.encodeResult = 0;
  capture->ThreadProc();
  EXPECT_TRUE(frames.empty());
  EXPECT_EQ(g_fakeVpx.encodes, 1);
}

TEST_F(CGCaptureTest, DisposeDropsTheLastImage) {
  capture->ThreadProc();
  ASSERT_NE(capture->lastImageForTesting(), nullptr);
  capture->Dispose(nullptr);
  EXPECT_EQ(capture->lastImageForTesting(), nullptr);
  EXPECT_TRUE(capture->isDisposed());
}

}  // namespace
}  // namespace rc_capture
