#include "packages/rc_capture/Video/CGCapture.h"

#include <gtest/gtest.h>

#include "packages/rc_capture/capture_test_support.h"
#include "platform/desktop/sim/SimDesktop.h"
#include "platform/desktop/sim/testing/SimDesktopFixture.h"
#include "platform/testing/TestSupport.h"

namespace rc_capture {
namespace {

using desktop::sim::SimDesktop;
using testing::g_fakeVpx;

class CGCaptureTest : public testing::FakeVpxTest {
 protected:
  void SetUp() override {
    FakeVpxTest::SetUp();
    capture->init();
    capture->evCaptureFrame = [this](std::vector<uint8_t> data,
                                     std::optional<BaseCapture::CursorFrame> cursor) {
      frames.emplace_back(std::move(data), std::move(cursor));
    };
  }
  void TearDown() override {
    capture->Dispose(nullptr);
    FakeVpxTest::TearDown();
  }

  desktop::sim::testing::ScopedSimDesktop sim;
  std::shared_ptr<CGCapture> capture = std::make_shared<CGCapture>();
  std::vector<std::pair<std::vector<uint8_t>, std::optional<BaseCapture::CursorFrame>>> frames;
};

TEST_F(CGCaptureTest, TheCursorRecordTruncatesSizeAndHotSpotAndDrawsThePngAtThatSize) {
  sim->setCursor(SimDesktop::MakeCursor(33, 33, {32.7, 32.2}, {4.9, 4.1}));
  auto cursor = capture->makeMouseCursorPacket();
  ASSERT_TRUE(cursor);
  EXPECT_EQ(std::tuple(cursor->width, cursor->height, cursor->x, cursor->y),
            std::tuple(32, 32, 4, 4));
  auto png = rctest::DecodePng(cursor->image);
  ASSERT_TRUE(png);
  EXPECT_EQ(std::pair(png->width, png->height), std::pair(32, 32));
}

// A tick grabs the desktop and sends the encoded frame, with the cursor record when there is a
// cursor, without one when there is none; nothing when the encoder gives nothing.
TEST_F(CGCaptureTest, ATickSendsTheFrameWithOrWithoutTheCursor) {
  sim->setDisplaySize(64, 48);
  g_fakeVpx.encodeResult = 10;
  capture->ThreadProc();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].first.size(), 10u);
  ASSERT_TRUE(frames[0].second);
  EXPECT_EQ(frames[0].second->width, 16);
  EXPECT_EQ(std::pair(g_fakeVpx.lastWidth, g_fakeVpx.lastHeight), std::pair(64, 48));

  sim->setCursor(std::nullopt);
  capture->ThreadProc();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_FALSE(frames[1].second);

  g_fakeVpx.encodeResult = 0;
  capture->ThreadProc();
  EXPECT_EQ(frames.size(), 2u);
}

// SendFrame (what a Start() while running does) has nothing to send before the first tick, nor
// after a failed grab, which clears the last image; Dispose drops it as well.
TEST_F(CGCaptureTest, WithoutALastImageSendFrameSendsNothing) {
  capture->SendFrame();
  EXPECT_TRUE(frames.empty());
  capture->ThreadProc();
  ASSERT_EQ(frames.size(), 1u);
  sim->failNextGrabs(1);
  capture->ThreadProc();
  EXPECT_EQ(capture->lastImageForTesting(), nullptr);
  capture->SendFrame();
  EXPECT_EQ(frames.size(), 1u);
  EXPECT_EQ(g_fakeVpx.encodes, 1);

  capture->ThreadProc();
  ASSERT_NE(capture->lastImageForTesting(), nullptr);
  capture->Dispose(nullptr);
  EXPECT_EQ(capture->lastImageForTesting(), nullptr);
}

}  // namespace
}  // namespace rc_capture
