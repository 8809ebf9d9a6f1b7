#include "platform/desktop/sim/SimDesktop.h"

#include <gtest/gtest.h>

#include "platform/desktop/AppKit.h"
#include "platform/desktop/ApplicationServices.h"
#include "platform/desktop/CoreGraphics.h"
#include "platform/desktop/sim/testing/SimDesktopFixture.h"

namespace desktop::sim {
namespace {

using testing::SimDesktopTest;

// The host runs on the simulated desktop for as long as a client sends commands: what it
// records of them stays bounded, the latest kept.
TEST_F(SimDesktopTest, RecordsKeepTheLatestEntriesUpToTheLimit) {
  constexpr size_t kExtra = 5;
  const size_t total = SimDesktop::kRecordLimit + kExtra;
  auto source = CGEventSourceCreate(kCGEventSourceStateHIDSystemState);
  for (size_t i = 0; i < total; ++i) {
    CGPoint p{double(i), 1};
    CGDisplayMoveCursorToPoint(0, p);
    CGEventPost(kCGHIDEventTap, CGEventCreateMouseEvent(source, kCGEventMouseMoved, p, 0));
    CGWindowListCopyWindowInfo(uint32_t(i), 0);
    NSWorkspace::openURL("u" + std::to_string(i));
  }
  auto posted = sim->postedEvents();
  auto moves = sim->cursorMoves();
  ASSERT_EQ(posted.size(), SimDesktop::kRecordLimit);
  ASSERT_EQ(moves.size(), SimDesktop::kRecordLimit);
  EXPECT_EQ(posted.front().event.location.x, double(kExtra));
  EXPECT_EQ(posted.back().event.location.x, double(total - 1));
  EXPECT_EQ(moves.front().x, double(kExtra));
  EXPECT_EQ(moves.back().x, double(total - 1));
  auto options = sim->windowListOptions();
  ASSERT_EQ(options.size(), SimDesktop::kRecordLimit);
  EXPECT_EQ(options.front(), kExtra);
  EXPECT_EQ(sim->openedURLs().size(), SimDesktop::kRecordLimit);
  EXPECT_EQ(sim->permissionCalls().size(), SimDesktop::kRecordLimit);
  EXPECT_EQ(sim->openedURLs().back(), "u" + std::to_string(total - 1));
}

}  // namespace
}  // namespace desktop::sim
