// The X11 desktop when its display vanishes: the process stays, every service answers nothing.
#include "platform/desktop/x11/X11Desktop.h"

// GoogleTest before Xlib: Xlib's macros (None, Bool) break gtest's headers.
#include <gtest/gtest.h>

#include <thread>

#include "platform/desktop/CoreGraphics.h"
#include "platform/desktop/IOKit.h"
#include "platform/desktop/x11/test_support/XvfbServer.h"
#include "platform/desktop/x11/x11_connection.h"

namespace desktop::x11 {
namespace {

using testing::XvfbServer;

size_t CountOf(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

CGEvent KeyDown(uint16_t macKey) {
  CGEvent e;
  e.kind = CGEventKind::kKeyboard;
  e.type = kCGEventKeyDown;
  e.keyCode = macKey;
  e.keyDown = true;
  return e;
}

class DisplayLoss : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    server = XvfbServer::Start("640x480x24", {}, &why);
    if (!server) GTEST_SKIP() << "no Xvfb: " << why;
    desktop = CreateX11Desktop(server->display(), &why);
    ASSERT_NE(desktop, nullptr) << why;
  }

  std::unique_ptr<XvfbServer> server;
  std::shared_ptr<Desktop> desktop;
};

TEST_F(DisplayLoss, EveryServiceAnswersNothingAndTheLossIsLoggedOnce) {
  ASSERT_NE(desktop->display->createImage(), nullptr);
  ASSERT_FALSE(desktop->system->screens().empty());
  ASSERT_TRUE(desktop->inputSources->inputSources(false).has_value());
  uint32_t assertion = 0;
  ASSERT_EQ(
      desktop->power->createAssertion(kIOPMAssertionTypeNoDisplaySleep, 255, "test", &assertion),
      0);
  desktop->events->post(0, KeyDown(0));  // 'a' held when the server goes

  ::testing::internal::CaptureStderr();
  server->kill();
  // Both connections find out: the capture one on the grab, the control one on the next call.
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(desktop->display->createImage(), nullptr);
    EXPECT_FALSE(desktop->cursor->currentCursor().has_value());
    EXPECT_TRUE(desktop->system->screens().empty());
    EXPECT_FALSE(desktop->system->windowList(0, 0).has_value());
    EXPECT_FALSE(desktop->inputSources->inputSources(false).has_value());
    EXPECT_EQ(desktop->inputSources->currentKeyboardInputSource(), nullptr);
    desktop->events->post(0, KeyDown(1));
    EXPECT_NE(desktop->events->moveCursorToPoint(0, CGPoint{5, 5}), 0);
    desktop->events->releaseHeldInput();
  }
  EXPECT_EQ(desktop->power->releaseAssertion(assertion), 0);
  desktop.reset();  // closing lost connections neither blocks nor crashes
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(CountOf(err, "x11: lost the connection to X display"), 1u) << err;
  EXPECT_EQ(gLiveXImages.load(), 0);
}

TEST_F(DisplayLoss, AGrabOnTheCaptureThreadWhileTheServerDies) {
  std::atomic<bool> stop{false};
  std::atomic<int> nullsAfterLoss{0};
  std::atomic<bool> killed{false};
  std::thread capture([&] {
    while (!stop) {
      auto image = desktop->display->createImage();
      if (killed && !image) ++nullsAfterLoss;
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ::testing::internal::CaptureStderr();
  server->kill();
  killed = true;
  for (int i = 0; i < 500 && nullsAfterLoss < 10; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  stop = true;
  capture.join();
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_GE(nullsAfterLoss.load(), 10);
  EXPECT_EQ(CountOf(err, "x11: lost the connection to X display"), 1u) << err;
}

}  // namespace
}  // namespace desktop::x11
