// The X11 desktop when its display vanishes: the process stays, every service answers nothing.
#include "platform/desktop/x11/X11Desktop.h"

// GoogleTest before Xlib: Xlib's macros (None, Bool) break gtest's headers.
#include <gtest/gtest.h>

#include <thread>

#include "platform/desktop/CoreGraphics.h"
#include "platform/desktop/IOKit.h"
#include "platform/desktop/x11/test_support/X11TestFixture.h"
#include "platform/desktop/x11/x11_connection.h"

namespace desktop::x11 {
namespace {

CGEvent KeyDown(uint16_t macKey) {
  return {
      .kind = CGEventKind::kKeyboard, .type = kCGEventKeyDown, .keyCode = macKey, .keyDown = true};
}

// Regression: Xlib's default I/O error handler ended the process when the server went. The
// server is killed while the capture thread grabs and a key is held; both connections find out
// (the capture one on a grab, the control one on its next call).
TEST(DisplayLoss, EveryServiceAnswersNothingAndTheLossIsLoggedOnce) {
  std::string why;
  auto server = testing::XvfbServer::Start("640x480x24", {}, &why);
  if (!server) GTEST_SKIP() << "no Xvfb: " << why;
  auto desktop = CreateX11Desktop(server->display(), &why);
  ASSERT_NE(desktop, nullptr) << why;
  ASSERT_FALSE(desktop->system->screens().empty());
  ASSERT_TRUE(desktop->inputSources->inputSources(false).has_value());
  uint32_t assertion = 0;
  ASSERT_EQ(
      desktop->power->createAssertion(kIOPMAssertionTypeNoDisplaySleep, 255, "test", &assertion),
      0);
  desktop->events->post(0, KeyDown(0));

  std::atomic<bool> killed{false}, stop{false};
  std::atomic<int> grabs{0}, nullsAfterLoss{0};
  std::thread capture([&] {
    while (!stop) {
      bool lost = killed;
      auto image = desktop->display->createImage();
      if (!lost && image) ++grabs;
      if (lost && !image) ++nullsAfterLoss;
    }
  });
  ASSERT_TRUE(testing::WaitUntil([&] { return grabs > 5; }, 10));
  ::testing::internal::CaptureStderr();
  server->kill();
  killed = true;
  testing::WaitUntil([&] { return nullsAfterLoss >= 10; }, 10);
  stop = true;
  capture.join();
  EXPECT_GE(nullsAfterLoss.load(), 10);
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
  const std::string err = ::testing::internal::GetCapturedStderr();
  size_t lines = 0;
  for (auto at = err.find("x11: lost the connection to X display"); at != std::string::npos;
       at = err.find("x11: lost the connection to X display", at + 1)) {
    ++lines;
  }
  EXPECT_EQ(lines, 1u) << err;
  EXPECT_EQ(gLiveXImages.load(), 0);
}

}  // namespace
}  // namespace desktop::x11
