#include "packages/rc_capture/Wrapper/vpx_wrapper.h"

#include <gtest/gtest.h>

#include "packages/rc_capture/Codec/VideoEncoder.h"
#include "packages/rc_capture/capture_test_support.h"

namespace rc_capture {
namespace {

using testing::g_fakeHandle;
using testing::g_fakeVpx;
using VpxInterfaceTest = testing::FakeVpxTest;

TEST_F(VpxInterfaceTest, EveryCallWithoutAnEncoderDoesNothing) {
  ASSERT_EQ(g_pEncoder, nullptr);
  uint8_t pixels[16] = {};
  uint8_t out[16] = {7};
  EXPECT_EQ(VpxEncode(pixels, out, 2, 2, 0, 8, 1), 0);
  EXPECT_EQ(out[0], 7);
  VpxForceKeyframe();
  EXPECT_EQ(VpxHintChangedRects(1, 0, nullptr, 0), 0);
  VpxDispose_Encoder();
  EXPECT_EQ(g_fakeVpx.encodes + g_fakeVpx.keyframes + g_fakeVpx.disposes + g_fakeVpx.hints, 0);
}

TEST_F(VpxInterfaceTest, TwoVideoEncodersShareOneEncoderThatTheFirstDisposeDestroys) {
  auto a = std::make_shared<VideoEncoder>(), b = std::make_shared<VideoEncoder>();
  a->init();
  b->init();
  EXPECT_EQ(g_fakeVpx.creates, 1);
  EXPECT_EQ(g_pEncoder, &g_fakeHandle);

  b->Dispose(nullptr);
  EXPECT_EQ(g_pEncoder, nullptr);
  auto image = desktop::CGImage::Allocate(4, 4);
  EXPECT_FALSE(a->encode(image));
  a->Dispose(nullptr);
  EXPECT_EQ(g_fakeVpx.disposes, 1);
  EXPECT_EQ(g_fakeVpx.encodes, 0);

  // A VideoEncoder made afterwards creates a new one, with which the disposed ones never encode
  // (a stale capture thread of a disposed capturer did, beside the new capturer's thread, and
  // crashed inside the codec).
  auto c = std::make_shared<VideoEncoder>();
  c->init();
  EXPECT_EQ(g_fakeVpx.creates, 2);
  EXPECT_TRUE(c->encode(image));
  EXPECT_FALSE(b->encode(image));
  EXPECT_FALSE(a->encode(image));
  EXPECT_EQ(g_fakeVpx.encodes, 1);
}

}  // namespace
}  // namespace rc_capture
