#include "packages/rc_input/RemoteControl.h"

#include <gtest/gtest.h>

#include "packages/rc_input/InputChannelFixture.h"

namespace rc_input::testing {
namespace {

using namespace desktop;

class MouseTest : public InputChannelTest {
 protected:
  // The click state of every press and release posted so far.
  std::vector<int64_t> clickStates() {
    std::vector<int64_t> out;
    for (const auto& e : events()) {
      if (e.type != kCGEventMouseMoved) out.push_back(field(e, kCGMouseEventClickState));
    }
    return out;
  }
};

TEST_F(MouseTest, QuickPressesCountWithinTheWindowAndSlowOnesStartAgain) {
  struct Case {
    int64_t gapMs;
    int64_t expected;
  };
  // The first press is far from time 0, so it counts 1.
  const Case cases[] = {{0, 1}, {150, 2}, {279, 3}, {279, 4}, {280, 1}, {200, 2}, {300, 1}};
  for (const auto& c : cases) {
    advanceMs(c.gapMs);
    at("leftDown", 10, 10);
    at("leftUp", 10, 10);
  }
  std::vector<int64_t> expected;
  for (const auto& c : cases) expected.insert(expected.end(), {c.expected, c.expected});
  EXPECT_EQ(clickStates(), expected);
}

TEST_F(MouseTest, TheCountIsSharedByAllButtonsAndIgnoresOtherButtons) {
  at("leftDown", 1, 1);
  advanceMs(100);
  at("rightDown", 50, 50);  // no distance tolerance either
  advanceMs(100);
  withData("xDown", 1, 1, 1);
  auto all = events();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(field(all[1], kCGMouseEventClickState), 2);
  EXPECT_EQ(all[1].type, kCGEventRightMouseDown);
  EXPECT_EQ(field(all[2], kCGMouseEventClickState), 3);
  EXPECT_EQ((std::pair{all[2].type, all[2].mouseButton}), (std::pair{kCGEventOtherMouseDown, 3u}));
}

TEST_F(MouseTest, DoubleClickCommandsBypassCounting) {
  at("leftDown", 1, 1);
  advanceMs(100);
  at("rightDBClick", 100, 200);
  advanceMs(100);
  at("leftDown", 1, 1);
  auto all = events();
  ASSERT_EQ(all.size(), 6u);
  const std::pair<CGEventType, int64_t> expected[] = {{kCGEventRightMouseDown, -1},
                                                      {kCGEventRightMouseUp, -1},
                                                      {kCGEventRightMouseDown, 2},
                                                      {kCGEventRightMouseUp, 2}};
  for (int i = 0; i < 4; ++i) {
    const auto& e = all[1 + i];
    EXPECT_EQ(e.type, expected[i].first) << i;
    EXPECT_EQ(field(e, kCGMouseEventClickState), expected[i].second) << i;
    EXPECT_EQ(e.location, (CGPoint{100, 200}));
    EXPECT_EQ(e.mouseButton, kCGMouseButtonRight);
  }
  EXPECT_EQ(field(all[5], kCGMouseEventClickState), 2);  // 200 ms after the first press
}

// Reproduces: the clock was set back between two presses; the negative interval made the
// second press a double click.
TEST_F(MouseTest, AClockSetBackStartsANewSequence) {
  at("leftDown", 1, 1);
  advanceMs(-60'000);
  at("leftDown", 1, 1);
  EXPECT_EQ(clickStates(), (std::vector<int64_t>{1, 1}));
}

TEST_F(MouseTest, MovesWithAHeldButtonDragWithDeltas) {
  at("leftDown", 10, 10);
  at("mouseMove", 15, 12);  // no move before the press: (0, 0) means no deltas
  at("mouseMove", 20, 20);
  at("leftUp", 20, 20);
  at("mouseMove", 25, 25);
  auto all = events();
  ASSERT_EQ(all.size(), 5u);
  EXPECT_EQ(all[1].type, kCGEventLeftMouseDragged);
  EXPECT_EQ(field(all[1], kCGMouseEventDeltaX), -1);
  EXPECT_EQ(field(all[1], kCGMouseEventClickState), 1);
  EXPECT_EQ(all[2].type, kCGEventLeftMouseDragged);
  EXPECT_EQ(field(all[2], kCGMouseEventDeltaX), 5);
  EXPECT_EQ(field(all[2], kCGMouseEventDeltaY), 8);
  EXPECT_EQ(field(all[2], kCGMouseEventClickState), 0);
  EXPECT_EQ(field(all[2], kCGMouseEventPressure), 0);
  EXPECT_EQ(all[4].type, kCGEventMouseMoved);
  EXPECT_EQ(field(all[4], kCGMouseEventDeltaX), -1);
  EXPECT_EQ(sim->cursorMoves().back(), (CGPoint{25, 25}));
}

TEST_F(MouseTest, DragsOfEachButtonUseItsDragType) {
  struct Case {
    const char* down;
    int32_t data;
    CGEventType drag;
    CGMouseButton button;
  };
  const Case cases[] = {{"rightDown", 0, kCGEventRightMouseDragged, 1},
                        {"centerDown", 0, kCGEventOtherMouseDragged, 2},
                        {"xDown", 1, kCGEventOtherMouseDragged, 3},
                        {"xDown", 2, kCGEventOtherMouseDragged, 4}};
  for (const auto& c : cases) {
    sim->clearPostedEvents();
    withData(c.down, 40, 40, c.data);
    at("mouseMove", 50, 45);
    auto e = lastEvent();
    EXPECT_EQ(e.type, c.drag) << c.down << c.data;
    EXPECT_EQ(e.mouseButton, c.button) << c.down << c.data;
    withData("xUp", 0, 0, 1);  // any release ends drag tracking
    at("mouseMove", 40, 40);
  }
}

// Reproduces: with a side button held, every move posted a left-button press at the new
// position instead of a drag.
TEST_F(MouseTest, MovesWithASideButtonHeldNeverPressTheLeftButton) {
  withData("xDown", 10, 10, 2);
  at("mouseMove", 20, 20);
  at("mouseMove", 30, 25);
  for (const auto& e : events()) EXPECT_NE(e.type, kCGEventLeftMouseDown);
  auto e = lastEvent();
  EXPECT_EQ(e.type, kCGEventOtherMouseDragged);
  EXPECT_EQ(e.mouseButton, XButton2);
  EXPECT_EQ(field(e, kCGMouseEventDeltaX), 10);
  EXPECT_EQ(field(e, kCGMouseEventDeltaY), 5);
}

// Reproduces: a side-button double click was posted as a left-button double click.
TEST_F(MouseTest, SideButtonDoubleClickUsesOtherButtonTypes) {
  withData("xDBClick", 7, 8, 1);
  auto all = events();
  ASSERT_EQ(all.size(), 4u);
  const CGEventType types[] = {kCGEventOtherMouseDown, kCGEventOtherMouseUp, kCGEventOtherMouseDown,
                               kCGEventOtherMouseUp};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(all[i].type, types[i]);
    EXPECT_EQ(all[i].mouseButton, XButton1);
  }
}

TEST_F(MouseTest, ReleasesAndPressesOfUnknownButtonsPostNothing) {
  auto& control = plugin->getInputControl();
  engine.runOnPlatformThreadAndWait([&] {
    control.mouseDown(1, 1, 0);
    control.mouseDown(1, 1, 5);  // counts, but posts nothing and keeps the left press held
    control.mouseUp(1, 1, 5);
    control.mouseMove(2, 2);
  });
  auto all = events();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[1].type, kCGEventLeftMouseDragged);
}

}  // namespace
}  // namespace rc_input::testing
